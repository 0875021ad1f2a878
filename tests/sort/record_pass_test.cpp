// Tests for splitting unsorted data groups by record ID: the length map and the per-group record pass.
#include "sort/record_pass.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "block/block_factory.h"
#include "block/hierarchy_blocks.h"
#include "file/mdf4_file.h"
#include "sort_test_support.h"

namespace qm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Records = std::vector<std::pair<uint64_t, Bytes>>;

struct Group {
  uint64_t id;
  uint32_t dataBytes;
  uint32_t invalBytes = 0;
  uint16_t flags = 0;
};

Bytes RecordsOf(const Records& records, uint64_t id, size_t limit = SIZE_MAX) {
  Bytes out;
  for (size_t i = 0; i < records.size() && i < limit; ++i)
    if (records[i].first == id) out.insert(out.end(), records[i].second.begin(), records[i].second.end());
  return out;
}

// One data group of idSize with the groups declared and `data` (when given) as its data.
struct Source {
  MdfBuilder b;
  uint64_t dg = 0;
  Source(uint8_t idSize, const std::vector<Group>& groups, const Bytes* data = nullptr) : dg(b.AddDG(idSize)) {
    for (const Group& g : groups) b.AddCG(dg, g.id, 0, g.dataBytes, g.invalBytes, g.flags);
    if (data != nullptr) b.SetDGData(dg, b.AddSplitData(*data, {}).root);
  }
};

class RecordPassTest : public ::testing::Test {
 protected:
  // Writes the source, runs the pass for targetId into a data group of a new file and reads
  // back, independently, what that group received.
  PassOutcome Run(const Source& s, uint64_t targetId, Bytes* copied) {
    const std::string name = "src" + std::to_string(runs_++) + ".mf4";
    EXPECT_TRUE(s.b.WriteTo(dir_.Path(name)));
    MDF4File src;
    EXPECT_TRUE(src.Open(dir_.WPath(name).c_str()));
    std::unique_ptr<M4DGBlock> dg = LoadAs<M4DGBlock>(&src.Direct(), s.dg, fmt::kDG);
    RecordLengthMap map;
    if (!dg || !BuildRecordLengthMap(*dg, &map)) {
      ADD_FAILURE() << "source data group not loaded";
      return {};
    }
    MDF4File dst;
    EXPECT_TRUE(dst.Create(dir_.WPath("dst.mf4").c_str(), nullptr, fmt::kVersion));
    M4DGBlock* target = dst.HD().AddDG(new M4DGBlock(0));
    const PassOutcome out = CopyGroupRecords(*dg, map, targetId, target, dst.Counters());
    const uint64_t targetPos = target->GetPosition();
    dst.Close();
    const MdfBuilder image = LoadImage(dir_.Path("dst.mf4"));
    *copied = DataOf(image, image.GetLink(targetPos, fmt::kDgData));
    return out;
  }

  TempDir dir_;
  int runs_ = 0;
};

class RecordIdSizeTest : public RecordPassTest, public ::testing::WithParamInterface<int> {};

TEST_P(RecordIdSizeTest, SplitsRecordsByLittleEndianIdAndIgnoresStrayBytes) {
  const uint8_t size = static_cast<uint8_t>(GetParam());
  // Multi-byte IDs: a wrongly ordered read names no group at all.
  const uint64_t wide = 0x0807060504030201ULL >> (64 - 8 * size);
  const uint64_t top = (size == 8 ? ~0ULL : (1ULL << (8 * size)) - 1) - 1;
  const std::vector<Group> groups = {{wide, 2, 1}, {top, 8}, {1, 1}};
  Records records;  // an irregular interleaving, each record with distinct contents
  for (size_t i = 0; i < 40; ++i) {
    const Group& g = groups[(i * i + i / 3) % groups.size()];
    records.emplace_back(g.id, Payload(i, g.dataBytes + g.invalBytes));
  }
  Bytes data = MdfBuilder::UnsortedRecords(size, records);
  data.insert(data.end(), static_cast<size_t>(size - 1), uint8_t{0xEE});  // fewer bytes than an ID after the last record
  const Source s(size, groups, &data);
  for (const Group& g : groups) {
    SCOPED_TRACE(g.id);
    Bytes copied;
    const PassOutcome out = Run(s, g.id, &copied);
    EXPECT_EQ(out.end, PassEnd::kExhausted);
    EXPECT_EQ(copied, RecordsOf(records, g.id));
    EXPECT_EQ(out.recordsCopied * (g.dataBytes + g.invalBytes), copied.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordIdSizeTest, ::testing::Values(1, 2, 4, 8));

TEST_F(RecordPassTest, FailureKeepsTheRecordsBeforeIt) {
  const std::vector<Group> groups = {{1, 4}, {2, 0xFFFFFFF0u, 0x20u}, {3, 0, 0, fmt::kCgFlagVlsd}};  // 2: 2^32 + 16 bytes
  const Bytes vlsd = {2, 0, 0, 0, 7, 7};  // a VLSD record: its length, then its bytes
  const Bytes a = Payload(1, 4), b = Payload(2, 4), c = Payload(3, 4);
  const struct {
    const char* what;
    uint8_t idSize;
    std::vector<Group> groups;
    Records records;
    size_t cut;  // bytes removed from the end of the data
    uint64_t target;
    PassEnd end;
    size_t before;  // records read before the failure
  } cases[] = {
      {"undeclared ID", 1, groups, {{1, a}, {1, b}, {7, c}, {1, c}}, 0, 1, PassEnd::kUnknownRecordId, 2},
      {"data ends inside a record", 1, groups, {{1, a}, {1, b}, {1, c}}, 1, 1, PassEnd::kShortRecord, 2},
      {"record longer than the data", 1, groups, {{1, a}, {2, b}, {1, c}}, 0, 1, PassEnd::kRecordTooLarge, 1},
      {"data ends inside a VLSD record", 1, groups, {{1, a}, {3, vlsd}, {1, b}, {3, vlsd}}, 1, 1, PassEnd::kShortRecord, 3},
      {"data ends inside a VLSD length", 1, groups, {{1, a}, {3, vlsd}}, 4, 1, PassEnd::kShortRecord, 1},
      // Without IDs every record is ID 0, and a record is expected where the data ends.
      {"no IDs", 0, {{0, 4}}, {{0, a}, {0, b}}, 0, 0, PassEnd::kShortRecord, 2},
      {"no IDs, ID 0 undeclared", 0, {{1, 4}}, {{0, a}}, 0, 1, PassEnd::kUnknownRecordId, 0},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.what);
    Bytes data = MdfBuilder::UnsortedRecords(t.idSize, t.records), copied;
    data.resize(data.size() - t.cut);
    const PassOutcome out = Run(Source(t.idSize, t.groups, &data), t.target, &copied);
    EXPECT_EQ(out.end, t.end);
    EXPECT_FALSE(out.Ok());
    EXPECT_EQ(copied, RecordsOf(t.records, t.target, t.before));
  }
}

TEST_F(RecordPassTest, UnusableSourcesFailBeforeReadingAndEmptyDataSucceeds) {
  Bytes copied;
  Source wrongType(2, {{1, 4}});  // a list naming a text block
  wrongType.b.SetDGData(wrongType.dg, wrongType.b.AddDL({wrongType.b.AddText("no data")}));
  EXPECT_EQ(Run(wrongType, 1, &copied).end, PassEnd::kUnreadableSource);

  const Bytes wide = MdfBuilder::UnsortedRecords(9, {{1, Payload(1, 4)}});  // IDs wider than 64 bits
  EXPECT_EQ(Run(Source(9, {{1, 4}}, &wide), 1, &copied).end, PassEnd::kBadRecordIdSize);

  const Bytes zeros(16, 0);  // no IDs and empty records: nothing would ever be consumed
  EXPECT_EQ(Run(Source(0, {{0, 0}}, &zeros), 0, &copied).end, PassEnd::kNoProgress);
  EXPECT_TRUE(copied.empty());

  const PassOutcome noLink = Run(Source(2, {{1, 4}}), 1, &copied);
  EXPECT_EQ(noLink.end, PassEnd::kExhausted);
  EXPECT_EQ(noLink.recordsCopied, 0u);
  const Bytes none;
  EXPECT_EQ(Run(Source(2, {{1, 4}}, &none), 1, &copied).end, PassEnd::kExhausted) << "an empty list";
}

}  // namespace
}  // namespace qm::test
