// Tests for the sort driver: the sorted copy's tree, texts, records and progress lines, and its failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "sort_test_support.h"

namespace qm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Records = std::vector<std::pair<uint64_t, Bytes>>;

class SortDriverTest : public ::testing::Test {
 protected:
  SortRun Sort(const MdfBuilder& b) { return RunSort(dir_, WriteImage(dir_, b, "src.mf4"), "dst.mf4"); }
  MdfBuilder Sorted() const { return LoadImage(dir_.Path("dst.mf4")); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir_.Path(name)); }
  TempDir dir_;
};

// The progress lines of data groups of n channel groups each, of which the named ones were copied.
Lines Progress(const std::vector<std::pair<int, Lines>>& dataGroups) {
  Lines out;
  for (const auto& [n, names] : dataGroups) {
    out.push_back("processing " + std::to_string(n) + " channel groups ...");
    for (const std::string& name : names) out.insert(out.end(), {"copy channel group '" + name + "' ...", "... done"});
  }
  return out;
}

Bytes RecordsWithId(const Records& records, uint64_t id) {
  Bytes out;
  for (const auto& [rid, payload] : records)
    if (rid == id) out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

TEST_F(SortDriverTest, CopiesHeaderHistoryGroupsChannelsAndRecords) {
  MdfBuilder b(410, "other");
  b.SetStartTime(1700000000123456789ULL, 60, 30, 2);
  b.SetHDComment("<HDcomment><TX>line1\nline2</TX></HDcomment>");
  b.AddFH(111, "<FHcomment><TX>Created\nhere</TX></FHcomment>", -120, 60, 2);
  b.AddFH(222, "");
  const uint64_t dg1 = b.AddDG(2);
  const uint64_t fast = b.AddCG(dg1, 0x0102, 3, 8, 1, 0, "Fast", "fast\ngroup");  // 9-byte records
  const uint64_t slow = b.AddCG(dg1, 7, 2, 4, 0, 0, "Slow");
  b.AddCG(dg1, 9, 0, 2);  // no name, no records
  b.AddCN(fast, "Time", "s", 2, 1, 4, 0, 64, b.AddCC(1, {-1.0, 2.5}, "lin"));
  b.AddCN(fast, "Flags", nullptr, 0, 0, 0, 8, 3, b.AddCC(0, {}), 0x0B);
  const uint64_t bare = b.AddCN(fast, nullptr, nullptr, 0, 0, 0, 8, 8);
  b.SetLink(bare, fmt::kCnMdUnit, b.AddText("V", true));  // a unit stored as ##MD
  b.SetLink(bare, fmt::kCnMdComment, b.AddText("c\nd", true));
  b.AddCN(slow, "Temp", "degC", 0, 0, 4, 0, 32);
  const Records records = {{0x0102, Payload(1, 9)}, {7, Payload(2, 4)}, {0x0102, Payload(3, 9)},
                           {0x0102, Payload(4, 9)}, {7, Payload(5, 4)}};
  const Records others = {{1, Payload(6, 5)}, {1, Payload(7, 5)}};
  b.SetDGData(dg1, b.AddSplitData(MdfBuilder::UnsortedRecords(2, records), {}).root);
  const uint64_t dg2 = b.AddDG(1);
  b.AddCG(dg2, 1, 2, 5, 0, 0, "Other");
  b.SetDGData(dg2, b.AddDT(MdfBuilder::UnsortedRecords(1, others)));

  const SortRun run = Sort(b);
  ASSERT_TRUE(run.result);
  EXPECT_EQ(run.lines, Progress({{3, {"Fast", "Slow", ""}}, {1, {"Other"}}}));
  const MdfBuilder m = Sorted();
  const auto& d = m.Bytes();
  EXPECT_EQ(std::string(d.begin(), d.begin() + 24), "MDF     4.00    Brenik  ");
  EXPECT_EQ(LoadLE16(&d[fmt::kIdVerOffset]), 400);

  // Header: start time and comment copied (LF gains a CR), nothing else.
  const uint64_t hd = m.DataPos(fmt::kHDPosition);
  EXPECT_EQ(Field64(m, hd), 1700000000123456789ULL);
  EXPECT_EQ(LoadLE16(&d[hd + 8]), 60);
  EXPECT_EQ(LoadLE16(&d[hd + 10]), 30);
  EXPECT_EQ(d[hd + 12], 2);
  EXPECT_EQ(TextOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdMdComment)), "<HDcomment><TX>line1\r\nline2</TX></HDcomment>");

  // History: both entries with their times and comments, then the sort entry.
  const auto fh = ChainOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdFhFirst));
  ASSERT_EQ(fh.size(), 3u);
  EXPECT_EQ(Field64(m, m.DataPos(fh[0])), 111u);
  EXPECT_EQ(static_cast<int16_t>(LoadLE16(&d[m.DataPos(fh[0]) + 8])), -120);
  EXPECT_EQ(TextOf(m, m.GetLink(fh[0], fmt::kFhMdComment)), "<FHcomment><TX>Created\r\nhere</TX></FHcomment>");
  EXPECT_EQ(m.GetLink(fh[1], fmt::kFhMdComment), 0u);
  EXPECT_EQ(TextOf(m, m.GetLink(fh[2], fmt::kFhMdComment)),
            "<FHcomment><TX>Sorted</TX><tool_id>Quillmark</tool_id><tool_vendor>Karvoll GmbH</tool_vendor>"
            "<tool_version>1.6.0.0</tool_version></FHcomment>");
  EXPECT_GT(Field64(m, m.DataPos(fh[2])), 1600000000000000000ULL);

  // One data group per channel group, record ID size 0, record IDs 1, 2, 3, ...
  const auto dgs = DataGroupsOf(m);
  ASSERT_EQ(dgs.size(), 4u);
  const std::vector<std::string> names = {"Fast", "Slow", "", "Other"};
  const std::vector<uint64_t> cycles = {3, 2, 0, 2}, sizes = {9, 4, 2, 5};
  const std::vector<Bytes> data = {RecordsWithId(records, 0x0102), RecordsWithId(records, 7), {},
                                   RecordsWithId(others, 1)};
  std::vector<uint64_t> cgs;
  for (size_t i = 0; i < dgs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(d[m.DataPos(dgs[i])], 0);
    const uint64_t cg = cgs.emplace_back(m.GetLink(dgs[i], fmt::kDgCgFirst));
    EXPECT_EQ(m.GetLink(cg, fmt::kCgNext), 0u);
    const uint64_t rec = m.DataPos(cg);
    EXPECT_EQ(Field64(m, rec), i + 1);
    EXPECT_EQ(Field64(m, rec + 8), cycles[i]);
    EXPECT_EQ(LoadLE32(&d[rec + 24]), sizes[i]);  // invalidation bytes moved into the data bytes
    EXPECT_EQ(LoadLE32(&d[rec + 28]), 0u);
    EXPECT_EQ(TextOf(m, m.GetLink(cg, fmt::kCgTxAcqName)), names[i]);
    EXPECT_EQ(DataOf(m, m.GetLink(dgs[i], fmt::kDgData)), data[i]);
  }
  EXPECT_EQ(TextOf(m, m.GetLink(cgs[0], fmt::kCgMdComment)), "fast\r\ngroup");
  EXPECT_EQ(BlockId(m, m.GetLink(cgs[0], fmt::kCgMdComment)), "##MD");

  // Channels: layout, texts, the linear conversion kept, the identity one dropped.
  const auto cns = ChainOf(m, m.GetLink(cgs[0], fmt::kCgCnFirst));
  ASSERT_EQ(cns.size(), 3u);
  EXPECT_EQ(TextOf(m, m.GetLink(cns[0], fmt::kCnTxName)), "Time");
  EXPECT_EQ(TextOf(m, m.GetLink(cns[0], fmt::kCnMdUnit)), "s");
  const uint64_t cn0 = m.DataPos(cns[0]);
  EXPECT_EQ(Bytes(&d[cn0], &d[cn0] + 4), (Bytes{2, 1, 4, 0}));
  EXPECT_EQ(LoadLE32(&d[cn0 + 8]), 64u);
  const uint64_t cc = m.GetLink(cns[0], fmt::kCnCcConversion);
  ASSERT_EQ(BlockId(m, cc), "##CC");
  EXPECT_EQ(d[m.DataPos(cc)], fmt::kCcTypeLinear);
  EXPECT_EQ(LoadLEDouble(&d[m.DataPos(cc) + 24]), -1.0);
  EXPECT_EQ(LoadLEDouble(&d[m.DataPos(cc) + 32]), 2.5);
  EXPECT_EQ(TextOf(m, m.GetLink(cc, fmt::kCcTxName)), "lin");
  EXPECT_EQ(m.GetLink(cns[1], fmt::kCnCcConversion), 0u);
  EXPECT_EQ(d[m.DataPos(cns[1]) + 3], 3);  // bit offset 0x0B reduced to its low three bits
  EXPECT_EQ(LoadLE32(&d[m.DataPos(cns[1]) + 4]), 8u);
  EXPECT_EQ(m.GetLink(cns[2], fmt::kCnTxName), 0u);
  EXPECT_EQ(BlockId(m, m.GetLink(cns[2], fmt::kCnMdUnit)), "##TX");
  EXPECT_EQ(TextOf(m, m.GetLink(cns[2], fmt::kCnMdUnit)), "V");
  EXPECT_EQ(TextOf(m, m.GetLink(cns[2], fmt::kCnMdComment)), "c\r\nd");
  EXPECT_EQ(TextOf(m, m.GetLink(ChainOf(m, m.GetLink(cgs[1], fmt::kCgCnFirst))[0], fmt::kCnTxName)), "Temp");
}

TEST_F(SortDriverTest, FailedGroupIsWrittenAndEndsTheCopy) {
  MdfBuilder b;
  const uint64_t dg = b.AddDG(1);
  b.AddCG(dg, 1, 2, 4, 0, 0, "A");
  b.AddCG(dg, 2, 0, 4, 0, 0, "B");
  // Record ID 9 is declared by no group.
  b.SetDGData(dg, b.AddDT(MdfBuilder::UnsortedRecords(1, {{1, Payload(1, 4)}, {9, Payload(2, 4)}, {1, Payload(3, 4)}})));
  b.AddCG(b.AddDG(1), 1, 0, 4, 0, 0, "C");
  const SortRun run = Sort(b);
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.lines, Progress({{2, {"A"}}}));
  const MdfBuilder m = Sorted();
  const auto dgs = DataGroupsOf(m);
  ASSERT_EQ(dgs.size(), 1u);
  EXPECT_EQ(DataOf(m, m.GetLink(dgs[0], fmt::kDgData)), Payload(1, 4));
}

TEST_F(SortDriverTest, UnreadableCompressedTailIsCopiedWithAWarning) {
  MdfBuilder b;
  const uint64_t dg = b.AddDG(1);
  b.AddCG(dg, 1, 1, 4, 0, 0, "A");
  const uint64_t good = b.AddDZ(MdfBuilder::UnsortedRecords(1, {{1, Payload(1, 4)}}), fmt::kZipDeflate, 0);
  const uint64_t bad = b.AddDZ(MdfBuilder::UnsortedRecords(1, {{1, Payload(2, 4)}}), fmt::kZipDeflate, 0);
  b.SetDZLengths(bad, 5, Field64(b, b.DataPos(bad) + 16) + 100);  // more than the payload holds
  b.SetDGData(dg, b.AddDL({good, bad}));
  const SortRun run = Sort(b);
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.errors, "warning: compressed data could not be read; records after offset 5 were not copied\n");
  const MdfBuilder m = Sorted();
  EXPECT_EQ(DataOf(m, m.GetLink(DataGroupsOf(m)[0], fmt::kDgData)), Payload(1, 4));
}

TEST_F(SortDriverTest, LoopingChainsEndTheWalk) {
  MdfBuilder b;
  const uint64_t fh1 = b.AddFH(1, "");
  b.SetLink(b.AddFH(2, ""), fmt::kFhNext, fh1);
  const uint64_t dg1 = b.AddDG(1);
  const uint64_t cg1 = b.AddCG(dg1, 1, 1, 1, 0, 0, "A");
  b.SetLink(b.AddCG(dg1, 2, 1, 1, 0, 0, "B"), fmt::kCgNext, cg1);
  const uint64_t cn1 = b.AddCN(cg1, "x", nullptr, 0, 0, 0, 0, 8);
  b.SetLink(b.AddCN(cg1, "y", nullptr, 0, 0, 0, 0, 8), fmt::kCnNext, cn1);
  b.SetDGData(dg1, b.AddDT(MdfBuilder::UnsortedRecords(1, {{1, {0x11}}, {2, {0x22}}})));
  b.SetLink(b.AddDG(1), fmt::kDgNext, dg1);
  const SortRun run = Sort(b);
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.lines, Progress({{2, {"A", "B"}}, {0, {}}}));
  const MdfBuilder m = Sorted();
  EXPECT_EQ(ChainOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdFhFirst)).size(), 3u);
  const auto dgs = DataGroupsOf(m);
  ASSERT_EQ(dgs.size(), 2u);
  EXPECT_EQ(ChainOf(m, m.GetLink(m.GetLink(dgs[0], fmt::kDgCgFirst), fmt::kCgCnFirst)).size(), 2u);
}

TEST_F(SortDriverTest, FileNameCases) {
  MdfBuilder b;
  b.AddCG(b.AddDG(1), 1, 0, 4, 0, 0, "A");
  const std::string src = WriteImage(dir_, b, "src.mf4");

  // Sorting onto itself: the source is held for reading, the destination cannot be created.
  SortFailure failure = SortFailure::kNone;
  EXPECT_FALSE(RunSort(dir_, src, src, {.failure = &failure}).result);
  EXPECT_EQ(failure, SortFailure::kDestination);
  EXPECT_EQ(LoadImage(dir_.Path(src)).Bytes(), b.Bytes());

  // An existing destination is replaced.
  MdfBuilder junk;
  junk.AppendRaw(Bytes(5000, 0xAB));
  EXPECT_TRUE(RunSort(dir_, src, WriteImage(dir_, junk, "old.mf4")).result);
  const MdfBuilder m = LoadImage(dir_.Path("old.mf4"));
  EXPECT_NE(m.GetLink(fmt::kHDPosition, fmt::kHdDgFirst), 0u);
  EXPECT_LT(m.Size(), 5000u);  // nothing of the old content is left behind the copy

  // A source that is missing or too short leaves no destination behind.
  EXPECT_FALSE(RunSort(dir_, "missing.mf4", "new1.mf4", {.failure = &failure}).result);
  EXPECT_EQ(failure, SortFailure::kSource);
  EXPECT_FALSE(Exists("new1.mf4"));
  MdfBuilder cut;
  cut.Bytes().resize(63);
  EXPECT_FALSE(RunSort(dir_, WriteImage(dir_, cut, "short.mf4"), "new2.mf4").result);
  EXPECT_FALSE(Exists("new2.mf4"));
}

TEST_F(SortDriverTest, SourcesWithoutGroupsKeepHeaderAndHistory) {
  MdfBuilder none;
  none.AddFH(5, "<FHcomment/>");
  MdfBuilder emptyDg;
  emptyDg.AddDG(2);
  for (const MdfBuilder* b : {&none, &emptyDg}) {
    const SortRun run = Sort(*b);
    EXPECT_TRUE(run.result);
    const MdfBuilder m = Sorted();
    EXPECT_EQ(m.GetLink(fmt::kHDPosition, fmt::kHdDgFirst), 0u);
    const auto fh = ChainOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdFhFirst));
    EXPECT_EQ(fh.size(), b == &none ? 2u : 1u);
    EXPECT_NE(TextOf(m, m.GetLink(fh.back(), fmt::kFhMdComment)).find("<TX>Sorted</TX>"), std::string::npos);
    EXPECT_EQ(run.lines, b == &none ? Lines{} : Progress({{0, {}}}));
  }
}

}  // namespace
}  // namespace qm::test
