// Tests for splitting unsorted data groups by record ID: the length map and the per-group record pass.
#include "sort/record_pass.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "block/block_factory.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "file/mdf4_file.h"
#include "mdf_builder.h"
#include "sort_test_support.h"
#include "temp_dir.h"

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

// Records of the groups in an irregular interleaving, each with distinct contents.
Records Interleaved(const std::vector<Group>& groups, size_t count) {
  Records out;
  for (size_t i = 0; i < count; ++i) {
    const Group& g = groups[(i * i + i / 3) % groups.size()];
    out.emplace_back(g.id, Payload(i, g.dataBytes + g.invalBytes));
  }
  return out;
}

Bytes RecordsOf(const Records& records, uint64_t id, size_t limit = SIZE_MAX) {
  Bytes out;
  for (size_t i = 0; i < records.size() && i < limit; ++i)
    if (records[i].first == id) out.insert(out.end(), records[i].second.begin(), records[i].second.end());
  return out;
}

// One data group of idSize with the groups declared; its data link is set by the test.
struct Source {
  MdfBuilder b;
  uint64_t dg = 0;
  Source(uint8_t idSize, const std::vector<Group>& groups) : dg(b.AddDG(idSize)) {
    for (const Group& g : groups) b.AddCG(dg, g.id, 0, g.dataBytes, g.invalBytes, g.flags);
  }
  void Data(const Bytes& bytes, const MdfBuilder::SplitLayout& layout = {}) {
    b.SetDGData(dg, b.AddSplitData(bytes, layout).root);
  }
};

class RecordPassTest : public ::testing::Test {
 protected:
  // Writes the source, runs the pass for targetId into a data group of a new file and reads
  // back, independently, what that group received.
  PassOutcome Run(const Source& s, uint64_t targetId, Bytes* copied, RecordLengthMap* map = nullptr) {
    const std::string name = "src" + std::to_string(runs_++) + ".mf4";
    EXPECT_TRUE(s.b.WriteTo(dir_.Path(name)));
    MDF4File src;
    EXPECT_TRUE(src.Open(dir_.WPath(name).c_str()));
    std::unique_ptr<M4DGBlock> dg = LoadAs<M4DGBlock>(&src, s.dg, fmt::kDG);
    RecordLengthMap local;
    if (map == nullptr) map = &local;
    if (!dg || !BuildRecordLengthMap(*dg, map)) {
      ADD_FAILURE() << "source data group not loaded";
      return {};
    }
    MDF4File dst;
    EXPECT_TRUE(dst.Create(dir_.WPath("dst.mf4").c_str(), nullptr, fmt::kVersion));
    M4DGBlock* target = dst.HD().AddDG(new M4DGBlock(0));
    const PassOutcome out = CopyGroupRecords(*dg, *map, targetId, target);
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
  const Records records = Interleaved(groups, 40);
  Bytes data = MdfBuilder::UnsortedRecords(size, records);
  data.insert(data.end(), static_cast<size_t>(size - 1), uint8_t{0xEE});  // fewer bytes than an ID after the last record
  Source s(size, groups);
  s.Data(data);
  for (const Group& g : groups) {
    Bytes copied;
    const PassOutcome out = Run(s, g.id, &copied);
    EXPECT_EQ(out.end, PassEnd::kExhausted) << g.id;
    EXPECT_EQ(copied, RecordsOf(records, g.id)) << g.id;
    EXPECT_EQ(out.recordsCopied * (g.dataBytes + g.invalBytes), copied.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordIdSizeTest, ::testing::Values(1, 2, 4, 8));

TEST_F(RecordPassTest, MapKeepsTheFirstLengthAndTheBufferFollowsTheData) {
  // The VLSD group declares 2^64 - 1 bytes; it never appears in the data, so the pass needs no
  // such buffer. The second group with ID 5 has another length, which must not be used.
  const std::vector<Group> groups = {{5, 4}, {9, 0xFFFFFFFF, 0xFFFFFFFF, fmt::kCgFlagVlsd}, {5, 6}};
  const Records records = {{5, Payload(1, 4)}, {5, Payload(2, 4)}, {5, Payload(3, 4)}};
  Source s(1, groups);
  s.Data(MdfBuilder::UnsortedRecords(1, records));
  RecordLengthMap map;
  Bytes copied;
  const PassOutcome out = Run(s, 5, &copied, &map);
  EXPECT_EQ(map.lengths.size(), 2u);
  EXPECT_EQ(map.lengths.at(5), 4u);
  EXPECT_EQ(map.lengths.at(9), ~0ULL);
  EXPECT_EQ(map.largest, ~0ULL);
  EXPECT_EQ(out.end, PassEnd::kExhausted);
  EXPECT_EQ(copied, RecordsOf(records, 5));
}

TEST_F(RecordPassTest, RecordsCrossBlocksListsAndCompressedBlocks) {
  const std::vector<Group> groups = {{0x0102, 5}, {0xFFFE, 9}};
  const Records records = Interleaved(groups, 60);
  const Bytes data = MdfBuilder::UnsortedRecords(2, records);
  auto layout = [](uint64_t blockSize, uint32_t perList, bool hl, bool compress, uint8_t zip = 0,
                   uint32_t columns = 0, bool equal = true) {
    MdfBuilder::SplitLayout l;
    l.blockSize = blockSize;
    l.blocksPerList = perList;
    l.withHL = hl;
    l.compress = compress;
    l.zipType = zip;
    l.zipParameter = columns;
    l.equalLength = equal;
    return l;
  };
  const std::vector<MdfBuilder::SplitLayout> layouts = {
      layout(7, 3, true, false),           // IDs and records split by blocks and lists
      layout(7, 2, false, false, 0, 0, false),  // lists with offsets instead of an equal length
      layout(50, 2, true, true),           // zip type 0
      layout(52, 0, false, true, 1, 7),    // transposed, 52 mod 7 bytes of tail per block
      layout(52, 0, false, true, 1, 1),    // one column: unchanged
      layout(52, 0, false, true, 1, 1000)  // more columns than data: unchanged
  };
  for (size_t i = 0; i <= layouts.size(); ++i) {
    Source s(2, groups);
    if (i < layouts.size()) {
      s.Data(data, layouts[i]);
    } else {
      // A list that starts with a compressed block may continue with plain ones.
      const uint64_t dz = s.b.AddDZ(Bytes(data.begin(), data.begin() + 100), fmt::kZipDeflate, 0);
      const uint64_t dt = s.b.AddDT(Bytes(data.begin() + 100, data.end()));
      s.b.SetDGData(s.dg, s.b.AddDL({dz, dt}));
    }
    for (const Group& g : groups) {
      Bytes copied;
      EXPECT_EQ(Run(s, g.id, &copied).end, PassEnd::kExhausted) << "layout " << i;
      EXPECT_EQ(copied, RecordsOf(records, g.id)) << "layout " << i << " group " << g.id;
    }
  }
}

TEST_F(RecordPassTest, DataLargerThanAReadPieceKeepsRecordsWhole) {
  // Over a mebibyte of small records with one record larger than a mebibyte among them.
  const std::vector<Group> groups = {{1, 11}, {2, 1536 * 1024}};
  Records records;
  for (size_t i = 0; i < 150000; ++i) {
    records.emplace_back(1, Payload(i, 11));
    if (i == 70000) records.emplace_back(2, Payload(7, groups[1].dataBytes));
  }
  Source s(1, groups);
  s.Data(MdfBuilder::UnsortedRecords(1, records));
  for (const Group& g : groups) {
    Bytes copied;
    EXPECT_EQ(Run(s, g.id, &copied).end, PassEnd::kExhausted);
    EXPECT_EQ(copied, RecordsOf(records, g.id));
  }
}

TEST_F(RecordPassTest, FailureKeepsTheRecordsBeforeIt) {
  const std::vector<Group> groups = {{1, 4}, {2, 16, 1, fmt::kCgFlagVlsd}};  // 2: 2^32 + 16 bytes
  const Bytes a = Payload(1, 4), b = Payload(2, 4), c = Payload(3, 4);
  struct Case {
    const char* what;
    uint8_t idSize;
    std::vector<Group> groups;
    Records records;
    size_t cut;  // bytes removed from the end of the data
    uint64_t target;
    PassEnd end;
    size_t before;  // records read before the failure
  };
  const std::vector<Case> cases = {
      {"undeclared ID", 1, groups, {{1, a}, {1, b}, {7, c}, {1, c}}, 0, 1, PassEnd::kUnknownRecordId, 2},
      {"data ends inside a record", 1, groups, {{1, a}, {1, b}, {1, c}}, 1, 1, PassEnd::kShortRecord, 2},
      {"record longer than the data", 1, groups, {{1, a}, {2, b}, {1, c}}, 0, 1, PassEnd::kRecordTooLarge, 1},
      // Without IDs every record is ID 0, and a record is expected where the data ends.
      {"no IDs", 0, {{0, 4}}, {{0, a}, {0, b}}, 0, 0, PassEnd::kShortRecord, 2},
      {"no IDs, ID 0 undeclared", 0, {{1, 4}}, {{0, a}}, 0, 1, PassEnd::kUnknownRecordId, 0},
  };
  for (const Case& t : cases) {
    Bytes data = MdfBuilder::UnsortedRecords(t.idSize, t.records);
    data.resize(data.size() - t.cut);
    Source s(t.idSize, t.groups);
    s.Data(data);
    Bytes copied;
    const PassOutcome out = Run(s, t.target, &copied);
    EXPECT_EQ(out.end, t.end) << t.what;
    EXPECT_FALSE(out.Ok()) << t.what;
    EXPECT_EQ(copied, RecordsOf(t.records, t.target, t.before)) << t.what;
  }
}

TEST_F(RecordPassTest, UnusableSourcesFailBeforeReadingAndEmptyDataSucceeds) {
  const Bytes records = MdfBuilder::UnsortedRecords(2, {{1, Payload(1, 4)}});
  Bytes copied;

  Source wrongType(2, {{1, 4}});  // a list naming a text block
  wrongType.b.SetDGData(wrongType.dg, wrongType.b.AddDL({wrongType.b.AddText("no data")}));
  EXPECT_EQ(Run(wrongType, 1, &copied).end, PassEnd::kUnreadableSource);

  Source wideIds(9, {{1, 4}});  // IDs wider than 64 bits
  wideIds.Data(MdfBuilder::UnsortedRecords(9, {{1, Payload(1, 4)}}));
  EXPECT_EQ(Run(wideIds, 1, &copied).end, PassEnd::kBadRecordIdSize);

  Source empty(0, {{0, 0}});  // no IDs and empty records: nothing would ever be consumed
  empty.Data(Bytes(16, 0));
  EXPECT_EQ(Run(empty, 0, &copied).end, PassEnd::kNoProgress);
  EXPECT_TRUE(copied.empty());

  Source noLink(2, {{1, 4}});
  PassOutcome out = Run(noLink, 1, &copied);
  EXPECT_EQ(out.end, PassEnd::kExhausted);
  EXPECT_EQ(out.recordsCopied, 0u);
  Source emptyList(2, {{1, 4}});
  emptyList.Data({});
  EXPECT_EQ(Run(emptyList, 1, &copied).end, PassEnd::kExhausted);
}

TEST_F(RecordPassTest, CompressedBlockThatCannotBeInflated) {
  const std::vector<Group> groups = {{1, 6}, {2, 2}};
  const Records records = Interleaved(groups, 20);
  const Bytes data = MdfBuilder::UnsortedRecords(1, records);
  size_t boundary = 0;  // end of the 10th record
  for (size_t i = 0; i < 10; ++i) boundary += 1 + records[i].second.size();
  for (size_t split : {boundary, boundary + 2}) {
    Source s(1, groups);
    const uint64_t good = s.b.AddDZ(Bytes(data.begin(), data.begin() + split), fmt::kZipDeflate, 0);
    const uint64_t bad = s.b.AddDZ(Bytes(data.begin() + split, data.end()), fmt::kZipDeflate, 0);
    // The stored payload is shorter than the stated compressed length: it never inflates.
    s.b.SetDZLengths(bad, data.size() - split, s.b.DataLengthOf(bad) + 1000);
    s.b.SetDGData(s.dg, s.b.AddDL({good, bad}));
    Bytes copied;
    const PassOutcome out = Run(s, 1, &copied);
    EXPECT_EQ(copied, RecordsOf(records, 1, 10));
    if (split == boundary) {
      // At a record boundary the rest is taken as the end of the data, told apart from it.
      EXPECT_EQ(out.end, PassEnd::kUnreadableTail);
      EXPECT_TRUE(out.Ok());
      EXPECT_EQ(out.offset, boundary);
    } else {
      EXPECT_EQ(out.end, PassEnd::kShortRecord);
    }
  }

  // A block that claims far more uncompressed bytes than its payload can hold does not make a
  // matching record buffer: the declared 2^64 - 1 bytes would not be allocatable.
  Source s(1, {{1, 0xFFFFFFFF, 0xFFFFFFFF, fmt::kCgFlagVlsd}});
  const uint64_t dz = s.b.AddDZ(Payload(1, 64), fmt::kZipDeflate, 0);
  s.b.SetDZLengths(dz, 1ULL << 62, Field64(s.b, s.b.DataPos(dz) + 16));
  s.b.SetDGData(s.dg, s.b.AddDL({dz}));
  Bytes copied;
  EXPECT_EQ(Run(s, 1, &copied).end, PassEnd::kUnreadableTail);
}

}  // namespace
}  // namespace qm::test
