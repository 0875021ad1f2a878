// The sorted copy: one data group per channel group with its records, the header, history and
// channels copied; and the one-pass sort against the group-by-group sort: same bytes, result
// and lines for every source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/time_test_hook.h"
#include "quillmark/quillmark.h"
#include "scenario.h"
#include "sidecar.h"
#include "sort_test_support.h"

namespace qm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Records = std::vector<std::pair<uint64_t, Bytes>>;

// Reads and buffers so small that every record, ID, block header and list straddles reads and
// buffer flushes; and odd large sizes.
constexpr SortOptions kTiny{.readChunk = 7, .groupBuffer = 5};
constexpr SortOptions kOdd{.readChunk = (1u << 20) + 13, .groupBuffer = (64u << 10) + 5};

class SortTest : public ::testing::Test {
 protected:
  // A fixed clock: the "Sorted" history entry of both sorts carries the same time.
  void SetUp() override { os::SetNowOverrideForTests(true, 1700000000); }
  void TearDown() override { os::SetNowOverrideForTests(false, 0); }

  // Sorts source group by group (the reference) and in one pass with each option set, and
  // expects the same result, lines, warnings and bytes; the one pass must have copied
  // `onePass` data groups itself and left `perGroup` to the group-by-group copy.
  void ExpectSameAsReference(const std::string& source, uint32_t onePass, uint32_t perGroup,
                             const std::vector<SortOptions>& variants = {{}, kTiny}) {
    const SortRun ref = RunSort(dir_, source, "reference.mf4", {.onePass = false});
    Bytes refBytes, got;
    ASSERT_TRUE(ReadFileBytes(dir_.Path("reference.mf4"), &refBytes) && !refBytes.empty());
    for (size_t v = 0; v < variants.size(); ++v) {
      SCOPED_TRACE("option set " + std::to_string(v));
      SortCounts counts;
      SortOptions options = variants[v];
      options.counts = &counts;
      const SortRun run = RunSort(dir_, source, "onepass.mf4", options);
      EXPECT_EQ(run.result, ref.result);
      EXPECT_EQ(run.lines, ref.lines);
      EXPECT_EQ(run.errors, ref.errors);
      EXPECT_EQ(counts.onePass, onePass);
      EXPECT_EQ(counts.perGroup, perGroup);
      ASSERT_TRUE(ReadFileBytes(dir_.Path("onepass.mf4"), &got));
      EXPECT_TRUE(got == refBytes) << "the one pass wrote other bytes";
    }
  }
  std::string Write(const MdfBuilder& b) { return WriteImage(dir_, b, "src.mf4"); }

  TempDir dir_;
};

Bytes RecordsWithId(const Records& records, uint64_t id) {
  Bytes out;
  for (const auto& [rid, payload] : records)
    if (rid == id) out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// Another writer's file: the copy has Quillmark's identification, the header's start time and
// comment (LF gains a CR), the history and a "Sorted" entry, one data group per channel group
// with record IDs 1, 2, ... and exactly its records, and the channels with their texts and the
// linear conversion (the identity one dropped).
TEST_F(SortTest, CopiesHeaderHistoryGroupsChannelsAndRecords) {
  MdfBuilder b(410, "other");
  b.SetStartTime(1700000000123456789ULL, 60, 30, 2);
  b.SetHDComment("<HDcomment><TX>line1\nline2</TX></HDcomment>");
  b.AddFH(111, "<FHcomment><TX>Created\nhere</TX></FHcomment>", -120, 60, 2);
  const uint64_t dg1 = b.AddDG(2);
  const uint64_t fast = b.AddCG(dg1, 0x0102, 3, 8, 1, 0, "Fast", "fast\ngroup");  // 9-byte records
  b.AddCG(dg1, 7, 2, 4, 0, 0, "Slow");
  b.AddCN(fast, "Time", "s", 2, 1, 4, 0, 64, b.AddCC(1, {-1.0, 2.5}, "lin"));  // offset, factor
  b.AddCN(fast, "Flags", nullptr, 0, 0, 0, 8, 3, b.AddCC(0, {}), 0x0B);
  const Records records = {{0x0102, Payload(1, 9)}, {7, Payload(2, 4)}, {0x0102, Payload(3, 9)},
                           {0x0102, Payload(4, 9)}, {7, Payload(5, 4)}};
  b.SetDGData(dg1, b.AddSplitData(MdfBuilder::UnsortedRecords(2, records), {.blockSize = 7}).root);
  b.AddCG(b.AddDG(1), 1, 0, 5, 0, 0, "Empty");
  ExpectSameAsReference(Write(b), 2, 0);

  const MdfBuilder m = LoadImage(dir_.Path("onepass.mf4"));
  const auto& d = m.Bytes();
  EXPECT_EQ(std::string(d.begin(), d.begin() + 24), "MDF     4.00    Brenik  ");
  const uint64_t hd = m.DataPos(fmt::kHDPosition);
  EXPECT_EQ(Bytes(&d[hd], &d[hd] + 13), Bytes(&b.Bytes()[hd], &b.Bytes()[hd] + 13)) << "start time and zone";
  EXPECT_EQ(TextOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdMdComment)), "<HDcomment><TX>line1\r\nline2</TX></HDcomment>");
  const auto fh = ChainOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdFhFirst));
  ASSERT_EQ(fh.size(), 2u);
  EXPECT_EQ(Field64(m, m.DataPos(fh[0])), 111u);
  EXPECT_EQ(TextOf(m, m.GetLink(fh[0], fmt::kFhMdComment)), "<FHcomment><TX>Created\r\nhere</TX></FHcomment>");
  EXPECT_EQ(TextOf(m, m.GetLink(fh[1], fmt::kFhMdComment)),
            "<FHcomment><TX>Sorted</TX><tool_id>Quillmark</tool_id><tool_vendor>Karvoll GmbH</tool_vendor>"
            "<tool_version>1.6.0.0</tool_version></FHcomment>");
  const auto dgs = DataGroupsOf(m);
  ASSERT_EQ(dgs.size(), 3u);
  const std::string names[] = {"Fast", "Slow", "Empty"};
  const uint64_t cycles[] = {3, 2, 0}, sizes[] = {9, 4, 5};
  const Bytes data[] = {RecordsWithId(records, 0x0102), RecordsWithId(records, 7), {}};
  for (size_t i = 0; i < dgs.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(d[m.DataPos(dgs[i])], 0) << "no record IDs";
    const uint64_t cg = m.GetLink(dgs[i], fmt::kDgCgFirst), rec = m.DataPos(cg);
    EXPECT_EQ(Field64(m, rec), i + 1);
    EXPECT_EQ(Field64(m, rec + 8), cycles[i]);
    EXPECT_EQ(Field64(m, rec + 24), sizes[i]) << "invalidation bytes moved into the data bytes";
    EXPECT_EQ(TextOf(m, m.GetLink(cg, fmt::kCgTxAcqName)), names[i]);
    EXPECT_EQ(DataOf(m, m.GetLink(dgs[i], fmt::kDgData)), data[i]);
  }
  const uint64_t cg = m.GetLink(dgs[0], fmt::kDgCgFirst);
  EXPECT_EQ(TextOf(m, m.GetLink(cg, fmt::kCgMdComment)), "fast\r\ngroup");
  const auto cns = ChainOf(m, m.GetLink(cg, fmt::kCgCnFirst));
  ASSERT_EQ(cns.size(), 2u);
  EXPECT_EQ(TextOf(m, m.GetLink(cns[0], fmt::kCnMdUnit)), "s");
  const uint64_t cc = m.GetLink(cns[0], fmt::kCnCcConversion);
  EXPECT_EQ(LoadLEDouble(&d[m.DataPos(cc) + 24]), -1.0);
  EXPECT_EQ(LoadLEDouble(&d[m.DataPos(cc) + 32]), 2.5);
  EXPECT_EQ(m.GetLink(cns[1], fmt::kCnCcConversion), 0u);
  EXPECT_EQ(d[m.DataPos(cns[1]) + 3], 3) << "bit offset 0x0B reduced to its low three bits";
}

// Files written through the C interface: groups of widths from 0 to 6 doubles, some without
// data, appended in an irregular order, closed and reopened in between.
class InterleavedGroupsTest : public SortTest, public ::testing::WithParamInterface<int> {};

TEST_P(InterleavedGroupsTest, MatchTheReference) {
  const int groups = GetParam();
  std::mt19937 random(static_cast<uint32_t>(groups));
  std::vector<ScenarioOp> ops = {{ScenarioOp::kCreate}};
  for (int g = 0; g < groups; ++g) AddGroupOps(ops, "g" + std::to_string(g), static_cast<int>(random() % 6), g % 3 != 1);
  const int calls = 30 + 3 * groups;
  for (int c = 0; c < calls; ++c) {
    if (c == calls / 2) ops.insert(ops.end(), {{ScenarioOp::kClose}, {ScenarioOp::kCreate}});
    const int g = groups == 1 ? 0 : static_cast<int>(random() % (groups - 1));
    ops.push_back({ScenarioOp::kData1D, "g" + std::to_string(g), 0, false, 1 + static_cast<uint32_t>(random() % 1000)});
  }
  ops.push_back({ScenarioOp::kClose});
  MDF4Handle h{};
  ASSERT_EQ(RunFrom(dir_.Path("src.mf4"), ops, 0, h), ops.size());
  ExpectSameAsReference("src.mf4", 1, 0);
}

INSTANTIATE_TEST_SUITE_P(Groups, InterleavedGroupsTest, ::testing::Values(1, 3, 100));

TEST_F(SortTest, GroupsEndingOnAndAcrossBlockAndListBoundaries) {
  // One double per record: 8 bytes. Data of exactly one block, of exactly one full list, of a
  // full list and 8 bytes (a second list), and of more than 20 MiB in odd pieces.
  constexpr uint32_t kBlock = fmt::kDataBlockCapacity;
  std::vector<ScenarioOp> ops = {{ScenarioOp::kCreate}};
  std::map<std::string, uint32_t> left = {{"block", kBlock / 8}, {"list", 5 * kBlock / 8}, {"list+1", 5 * kBlock / 8 + 1},
                                          {"big", 5 * kBlock / 8 + 123457}, {"one", 1}, {"none", 0}};
  for (const auto& [name, n] : left) AddGroupOps(ops, name, 1, false);
  std::mt19937 random(7);
  for (bool more = true; more;) {
    more = false;
    for (auto& [name, n] : left) {
      if (n == 0) continue;
      // Mostly large calls (a small one now and then), so that the writing stays quick.
      const uint32_t k = std::min<uint32_t>(n, random() % 4 == 0 ? 1 + random() % 1000 : 300000 + random() % 7);
      ops.push_back({ScenarioOp::kData1D, name, 0, false, k});
      n -= k;
      more = more || n != 0;
    }
  }
  ops.push_back({ScenarioOp::kClose});
  MDF4Handle h{};
  ASSERT_EQ(RunFrom(dir_.Path("src.mf4"), ops, 0, h), ops.size());
  ExpectSameAsReference("src.mf4", 1, 0, {{}, kOdd});
}

TEST_F(SortTest, FilesOfOtherWritersMatchTheReference) {
  if (!HaveTestData()) GTEST_SKIP() << "no testdata folder";
  // The already sorted file has record ID size 0: it is left to the group-by-group copy.
  for (const char* name : {"a_unsorted_dt", "b_unsorted_dl_chain", "c_unsorted_hl_dz_deflate",
                           "other_writer_unsorted_2cg", "h_sorted"}) {
    SCOPED_TRACE(name);
    MdfBuilder source;
    ASSERT_TRUE(ReadFileBytes(TestDataPath(std::string(name) + ".mf4"), &source.Bytes()));
    const bool sorted = std::string(name) == "h_sorted";
    ExpectSameAsReference(Write(source), sorted ? 0 : 1, sorted ? 1 : 0);
  }
}

// One data group, record ID size 2, groups 1 (4-byte records) and 2 (6-byte records) declaring
// counts1 and counts2 records, with `records` and then `tail` as data.
MdfBuilder TwoGroups(uint64_t count1, uint64_t count2, const Records& records, const Bytes& tail = {}) {
  MdfBuilder b;
  const uint64_t dg = b.AddDG(2);
  b.AddCN(b.AddCG(dg, 1, count1, 4, 0, 0, "A"), "x", "V", 0, 0, 0, 0, 32, b.AddCC(1, {0.5, 2.0}, "lin"));
  b.AddCN(b.AddCG(dg, 2, count2, 5, 1, 0, "B"), "y", nullptr, 0, 0, 4, 0, 32);
  Bytes data = MdfBuilder::UnsortedRecords(2, records);
  data.insert(data.end(), tail.begin(), tail.end());
  b.SetDGData(dg, b.AddSplitData(data, {.blockSize = 10, .blocksPerList = 2}).root);
  return b;
}

TEST_F(SortTest, DataThatContradictsItsDeclarationsIsCopiedGroupByGroup) {
  const Records records = {{1, Payload(1, 4)}, {2, Payload(2, 6)}, {1, Payload(3, 4)}, {1, Payload(4, 4)},
                           {2, Payload(5, 6)}};
  Records allOfOne, undeclared = records;
  for (int i = 1; i <= 8; ++i) allOfOne.push_back({1, Payload(i, 4)});
  undeclared.insert(undeclared.begin() + 2, {9, Payload(6, 4)});
  MdfBuilder rational = TwoGroups(3, 2, records);
  const uint64_t second = rational.GetLink(rational.GetLink(DataGroupsOf(rational)[0], fmt::kDgCgFirst), fmt::kCgNext);
  rational.AddCN(second, "r", nullptr, 0, 0, 4, 0, 32, rational.AddCC(3, {1, 2, 3, 4, 5, 6}));
  const struct {
    const char* what;
    MdfBuilder source;
    uint32_t onePass;
  } cases[] = {
      {"declared counts match", TwoGroups(3, 2, records), 1},
      {"stray bytes shorter than an ID are ignored", TwoGroups(3, 2, records, {0xEE}), 1},
      // Declared sizes that do not add up to the data's: refused before anything is placed.
      {"a group declares a record more", TwoGroups(4, 2, records), 0},
      {"data ends inside a record", TwoGroups(3, 3, records, {2, 0, 1, 2, 3}), 0},
      // Sizes that add up, data that does not match: found during the pass, after placing.
      {"records of one group where another is declared", TwoGroups(4, 3, allOfOne), 0},
      {"an undeclared ID", TwoGroups(4, 2, undeclared), 0},
      {"a conversion that stops the sort", rational, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectSameAsReference(Write(c.source), c.onePass, 1 - c.onePass);
  }
}

// A VLSD group between fixed-length groups: its records (ID, 4-byte length, bytes) are stepped
// over, it and the channel whose values it holds are left out with a note, and every other
// group gets exactly its records, in one pass when the VLSD group's size is declared right.
TEST_F(SortTest, VariableLengthGroupsAreSteppedOver) {
  Records records;
  uint64_t vlsdBytes = 0;
  for (uint64_t i = 0; i < 300; ++i) {
    records.push_back({1 + i % 2, Payload(i, i % 2 == 0 ? 4 : 6)});
    if (i % 3 != 0) continue;
    Bytes variable = {static_cast<uint8_t>(i % 50), 0, 0, 0};  // its length, then its bytes
    const Bytes bytes = Payload(i + 7, i % 50);
    variable.insert(variable.end(), bytes.begin(), bytes.end());
    records.push_back({3, variable});
    vlsdBytes += bytes.size();
  }
  for (const bool declaredRight : {true, false}) {
    SCOPED_TRACE(declaredRight ? "VLSD size declared right" : "VLSD size declared wrong");
    MdfBuilder m;
    const uint64_t dg = m.AddDG(1);
    m.AddCN(m.AddCG(dg, 1, 150, 4, 0, 0, "A"), "x", nullptr, 0, 0, 0, 0, 32);
    const uint64_t gb = m.AddCG(dg, 2, 150, 6, 0, 0, "B");
    const uint64_t gv = m.AddCG(dg, 3, 100, static_cast<uint32_t>(vlsdBytes + (declaredRight ? 0 : 1)), 0,
                                fmt::kCgFlagVlsd, "V");
    m.SetLink(m.AddCN(gb, "signal", nullptr, 1, 0, 0, 0, 64), fmt::kCnData, gv);  // values in V
    m.AddCN(gb, "y", nullptr, 0, 0, 0, 0, 16);
    m.SetDGData(dg, m.AddSplitData(MdfBuilder::UnsortedRecords(1, records), {.blockSize = 64, .blocksPerList = 3}).root);
    ExpectSameAsReference(Write(m), declaredRight ? 1 : 0, declaredRight ? 0 : 1);
    const SortRun run = RunSort(dir_, "src.mf4", "sorted.mf4");
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.errors, "note: channel group 'V' holds variable-length signal data and is not copied "
                          "(nor the channels whose values it holds: 'signal' of group 'B')\n");
    const MdfBuilder sorted = LoadImage(dir_.Path("sorted.mf4"));
    const std::vector<uint64_t> groups = DataGroupsOf(sorted);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(DataOf(sorted, sorted.GetLink(groups[0], fmt::kDgData)), RecordsWithId(records, 1));
    EXPECT_EQ(DataOf(sorted, sorted.GetLink(groups[1], fmt::kDgData)), RecordsWithId(records, 2));
    const uint64_t channels = sorted.GetLink(sorted.GetLink(groups[1], fmt::kDgCgFirst), fmt::kCgCnFirst);
    EXPECT_EQ(TextOf(sorted, sorted.GetLink(channels, fmt::kCnTxName)), "y");
    EXPECT_EQ(sorted.GetLink(channels, fmt::kCnNext), 0u);
  }
}

TEST_F(SortTest, AFailedOnePassIsUndoneBeforeTheGroupByGroupCopy) {
  // Three data groups of two groups with 4-byte records; the bad one (first, middle or last)
  // swaps the counts, so its sizes add up and the pass fails only at its records.
  const Records records = {{1, Payload(1, 4)}, {2, Payload(2, 4)}, {1, Payload(3, 4)}};
  for (int bad = 0; bad < 3; ++bad) {
    SCOPED_TRACE("bad data group " + std::to_string(bad));
    MdfBuilder b;
    b.SetHDComment("<HDcomment><TX>three</TX></HDcomment>");
    for (int d = 0; d < 3; ++d) {
      const uint64_t dg = b.AddDG(2);
      const std::string n = std::to_string(d);
      b.AddCN(b.AddCG(dg, 1, d == bad ? 1 : 2, 4, 0, 0, ("A" + n).c_str()), "x", "s", 0, 0, 0, 0, 32);
      b.AddCG(dg, 2, d == bad ? 2 : 1, 4, 0, 0, ("B" + n).c_str(), "comment");
      b.SetDGData(dg, b.AddDT(MdfBuilder::UnsortedRecords(2, records)));
    }
    ExpectSameAsReference(Write(b), 2, 1);
  }
}

}  // namespace
}  // namespace qm::test
