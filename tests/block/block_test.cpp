// Tests of the block framework: placement at the aligned end, writing and rewriting in place, links.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "block/block.h"
#include "block/byte_order.h"
#include "block/descriptive_blocks.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "block/text_block.h"
#include "file/direct_file.h"
#include "mdf_builder.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using qm::test::ReadFileBytes;
using qm::test::TempDir;

// A file that holds a 64-byte stand-in for the identification block, so that the logical end
// is 64 as it is behind a real one.
class BlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_.Path("b.mf4");
    ASSERT_TRUE(file_.CreateTruncate(dir_.WPath("b.mf4").c_str()));
    const std::vector<uint8_t> id(f::kIdBlockSize, 0x11);
    ASSERT_TRUE(file_.WriteAt(0, f::kIdBlockSize, id.data()));
  }

  std::vector<uint8_t> Disk() {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(ReadFileBytes(path_, &bytes));
    return bytes;
  }
  static uint64_t Length(const std::vector<uint8_t>& d, uint64_t pos) {
    return qm::LoadLE64(&d[pos + f::kHeaderLengthOffset]);
  }
  static uint64_t LinkCount(const std::vector<uint8_t>& d, uint64_t pos) {
    return qm::LoadLE64(&d[pos + f::kHeaderLinkCountOffset]);
  }
  static uint64_t Link(const std::vector<uint8_t>& d, uint64_t pos, int i) {
    return qm::LoadLE64(&d[pos + f::kBlockHeaderSize + f::kLinkSize * i]);
  }

  TempDir dir_;
  std::string path_;
  mDirectFile file_;
};

void Text(M4TXBlock& tx, const std::string& s) { tx.appendBytes(s.data(), s.size()); }

TEST_F(BlockTest, PlacementStartsBehindIdBlockAndAlignsToEight) {
  M4TXBlock a, b;
  Text(a, "abcde");  // 24 + 6 = 30 bytes
  Text(b, "x");
  EXPECT_EQ(a.Place(&file_, m4Block::kPlaceAll), 64u);
  EXPECT_EQ(file_.GetEnd(), 94u);
  EXPECT_EQ(b.Place(&file_, m4Block::kPlaceAll), 96u) << "next multiple of 8 behind 94";
  EXPECT_EQ(file_.GetEnd(), 96u + 26u);

  const auto d = Disk();
  ASSERT_EQ(d.size(), 122u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[64]), 4), "##TX");
  EXPECT_EQ(Length(d, 64), 30u) << "the length never includes the alignment fill";
  EXPECT_EQ(LinkCount(d, 64), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[88]), 6), std::string("abcde\0", 6));
  EXPECT_EQ(d[94], 0);
  EXPECT_EQ(d[95], 0);
}

TEST_F(BlockTest, PlacingTwiceKeepsThePositionAndReservesNothingMore) {
  M4DGBlock dg(2);
  const uint64_t pos = dg.Place(&file_, 0);
  ASSERT_EQ(pos, 64u);
  const uint64_t end = file_.GetEnd();
  EXPECT_EQ(end, 64u + 64u);
  EXPECT_EQ(dg.Place(nullptr, m4Block::kPlaceAll), pos) << "null file keeps the block's file";
  EXPECT_EQ(dg.Place(&file_, m4Block::kPlaceAll), pos);
  EXPECT_EQ(file_.GetEnd(), end);
}

TEST_F(BlockTest, ReservedBlockLeavesZeroGapUntilWritten) {
  M4CGBlock reserved(7);
  M4DGBlock behind(2);
  ASSERT_EQ(reserved.Place(&file_, 0), 64u);
  ASSERT_EQ(behind.Place(&file_, m4Block::kPlaceAll), 64u + 104u);

  auto d = Disk();
  ASSERT_EQ(d.size(), 64u + 104u + 64u);
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 64, d.begin() + 168), std::vector<uint8_t>(104, 0));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[168]), 4), "##DG");

  // Writing it later fills exactly its own slot.
  ASSERT_TRUE(reserved.Write(true, true));
  d = Disk();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[64]), 4), "##CG");
  EXPECT_EQ(Length(d, 64), 104u);
  EXPECT_EQ(qm::LoadLE64(&d[64 + 24 + 48]), 7u) << "cg_record_id";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[168]), 4), "##DG");
}

TEST_F(BlockTest, UnplacedOrFilelessBlockWritesNothing) {
  M4DGBlock dg;
  EXPECT_EQ(dg.Place(nullptr, m4Block::kPlaceAll), 0u);
  EXPECT_EQ(dg.WriteHead(), 0u);
  EXPECT_FALSE(dg.Write(true, true));
  EXPECT_EQ(Disk().size(), 64u);
  EXPECT_EQ(file_.GetEnd(), 64u);
}

TEST_F(BlockTest, WriteHeadRewritesHeadButNotVariablePart) {
  M4CCLinear cc(2.5, -1.0);
  const uint64_t pos = cc.Place(&file_, m4Block::kPlaceAll);
  ASSERT_EQ(pos, 64u);
  auto d = Disk();
  ASSERT_EQ(d.size(), 64u + 96u);
  EXPECT_EQ(Length(d, pos), 96u);
  EXPECT_EQ(d[pos + 24 + 32], f::kCcTypeLinear);
  EXPECT_EQ(qm::LoadLE16(&d[pos + 24 + 32 + 6]), 2u) << "cc_val_count";
  EXPECT_EQ(qm::LoadLEDouble(&d[pos + 80]), -1.0) << "offset first";
  EXPECT_EQ(qm::LoadLEDouble(&d[pos + 88]), 2.5) << "then factor";

  cc.SetLink(f::kCcTxName, 0x1234);
  cc.cc_precision = 3;
  cc.var[0] = 99.0;
  EXPECT_EQ(cc.WriteHead(), pos + 24 + 32 + 24) << "just past the fixed record";
  d = Disk();
  EXPECT_EQ(Link(d, pos, 0), 0x1234u);
  EXPECT_EQ(d[pos + 24 + 32 + 1], 3);
  EXPECT_EQ(qm::LoadLEDouble(&d[pos + 80]), -1.0) << "variable part not rewritten";

  // The variable part alone: the head on disk stays as it was.
  cc.SetLink(f::kCcTxName, 0x5678);
  ASSERT_TRUE(cc.Write(true, false));
  d = Disk();
  EXPECT_EQ(qm::LoadLEDouble(&d[pos + 80]), 99.0);
  EXPECT_EQ(Link(d, pos, 0), 0x1234u);
  EXPECT_EQ(d.size(), 64u + 96u);
}

TEST_F(BlockTest, LinkGrowthChangesWrittenCountAndLength) {
  M4DGBlock dg(2);
  EXPECT_EQ(dg.GetLinkCount(), 4u);
  dg.SetLink(6, 0xABC);
  EXPECT_EQ(dg.GetLinkCount(), 7u);
  EXPECT_EQ(dg.GetLink(4), 0u) << "grown entries are zero";
  EXPECT_FALSE(dg.HasLink(5));
  EXPECT_TRUE(dg.HasLink(6));
  EXPECT_EQ(dg.GetLink(7), 0u);
  EXPECT_FALSE(dg.HasLink(7));
  EXPECT_EQ(dg.GetLink(1000000), 0u);
  EXPECT_EQ(dg.GetLinkCount(), 7u) << "reading beyond the count does not grow";
  dg.LinkAt(7) = 0xDEF;
  EXPECT_EQ(dg.GetLinkCount(), 8u);

  const uint64_t pos = dg.Place(&file_, m4Block::kPlaceAll);
  const auto d = Disk();
  EXPECT_EQ(LinkCount(d, pos), 8u);
  EXPECT_EQ(Length(d, pos), 24u + 64u + 8u);
  EXPECT_EQ(Link(d, pos, 6), 0xABCu);
  EXPECT_EQ(Link(d, pos, 7), 0xDEFu);
  EXPECT_EQ(d[pos + 24 + 64], 2) << "record follows the grown link array";
  EXPECT_EQ(d.size(), pos + 96u);
}

TEST_F(BlockTest, HeaderReservedFieldIsWrittenZero) {
  M4FHBlock fh;
  fh.fh_time_ns = 0x0102030405060708ULL;
  fh.fh_tz_offset_min = -60;
  const uint64_t pos = fh.Place(&file_, m4Block::kPlaceAll);
  const auto d = Disk();
  EXPECT_EQ(qm::LoadLE32(&d[pos + 4]), 0u);
  EXPECT_EQ(Length(d, pos), 56u);
  EXPECT_EQ(qm::LoadLE64(&d[pos + 24 + 16]), 0x0102030405060708ULL);
  EXPECT_EQ(static_cast<int16_t>(qm::LoadLE16(&d[pos + 24 + 16 + 8])), -60);
}

}  // namespace
