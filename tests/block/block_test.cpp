// Tests of the block framework: placement at the aligned end, writing and rewriting in place, links.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "block/byte_order.h"
#include "block/descriptive_blocks.h"
#include "block/hierarchy_blocks.h"
#include "block/text_block.h"
#include "platform/direct_file.h"
#include "mdf_builder.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A file whose first 64 bytes stand in for the identification block.
class BlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    ASSERT_TRUE(file_.CreateTruncate(dir_.WPath("b.mf4").c_str()));
    const Bytes id(64, 0x11);
    ASSERT_TRUE(file_.WriteAt(0, 64, id.data()));
  }
  Bytes Disk() {
    Bytes d;
    EXPECT_TRUE(qm::test::ReadFileBytes(dir_.Path("b.mf4"), &d));
    return d;
  }
  static std::string Id(const Bytes& d, uint64_t pos) { return std::string(d.begin() + pos, d.begin() + pos + 4); }
  static uint64_t U64(const Bytes& d, uint64_t pos) { return qm::LoadLE64(&d[pos]); }

  qm::test::TempDir dir_;
  mDirectFile file_;
};

TEST_F(BlockTest, PlacementStartsBehindIdBlockAndAlignsToEight) {
  M4TXBlock a, b;
  a.appendBytes("abcde", 5);  // 24 + 6 = 30 bytes
  b.appendBytes("x", 1);
  EXPECT_EQ(a.Place(&file_, BlockParts::kAll), 64u);
  EXPECT_EQ(b.Place(&file_, BlockParts::kAll), 96u) << "94 rounded up";
  const Bytes d = Disk();
  ASSERT_EQ(d.size(), 96u + 26u);
  EXPECT_EQ(Id(d, 64), "##TX");
  EXPECT_EQ(U64(d, 64 + 8), 30u) << "the length never includes the alignment fill";
  EXPECT_EQ(U64(d, 64 + 16), 0u) << "no links";
  EXPECT_EQ(std::string(d.begin() + 88, d.begin() + 96), std::string("abcde\0\0\0", 8));
}

TEST_F(BlockTest, ReservedBlockLeavesZeroGapUntilWritten) {
  M4CGBlock reserved(7);
  M4DGBlock behind(2);
  ASSERT_EQ(reserved.Place(&file_, BlockParts::kNone), 64u);
  ASSERT_EQ(behind.Place(&file_, BlockParts::kAll), 168u);
  Bytes d = Disk();
  ASSERT_EQ(d.size(), 168u + 64u);
  EXPECT_EQ(Bytes(d.begin() + 64, d.begin() + 168), Bytes(104, 0));

  ASSERT_TRUE(reserved.Write(BlockParts::kAll));
  d = Disk();
  EXPECT_EQ(Id(d, 64), "##CG");
  EXPECT_EQ(U64(d, 64 + 8), 104u);
  EXPECT_EQ(U64(d, 64 + 24 + 48), 7u) << "cg_record_id";
  EXPECT_EQ(Id(d, 168), "##DG") << "the block behind is untouched";
}

TEST_F(BlockTest, WriteHeadRewritesHeadButNotVariablePart) {
  M4CCLinear cc(2.5, -1.0);
  ASSERT_EQ(cc.Place(&file_, BlockParts::kAll), 64u);
  Bytes d = Disk();
  ASSERT_EQ(d.size(), 64u + 96u);
  EXPECT_EQ(qm::LoadLEDouble(&d[64 + 80]), -1.0) << "offset first";
  EXPECT_EQ(qm::LoadLEDouble(&d[64 + 88]), 2.5) << "then factor";

  cc.SetLink(0, 0x1234);
  cc.cc_precision = 3;
  cc.var[0] = 99.0;
  EXPECT_EQ(cc.WriteHead(), 64u + 80u) << "just past the fixed record";
  d = Disk();
  EXPECT_EQ(U64(d, 64 + 24), 0x1234u);
  EXPECT_EQ(d[64 + 56 + 1], 3);
  EXPECT_EQ(qm::LoadLEDouble(&d[64 + 80]), -1.0);

  cc.SetLink(0, 0x5678);
  ASSERT_TRUE(cc.Write(BlockParts::kData));
  d = Disk();
  EXPECT_EQ(qm::LoadLEDouble(&d[64 + 80]), 99.0);
  EXPECT_EQ(U64(d, 64 + 24), 0x1234u) << "the head stays as it was";
}

TEST_F(BlockTest, LinkGrowthChangesWrittenCountAndLength) {
  M4DGBlock dg(2);
  dg.SetLink(6, 0xABC);
  EXPECT_EQ(dg.GetLinkCount(), 7u);
  EXPECT_FALSE(dg.HasLink(5)) << "grown entries are zero";
  EXPECT_TRUE(dg.HasLink(6));
  EXPECT_EQ(dg.GetLink(7), 0u);
  EXPECT_FALSE(dg.HasLink(1000000));
  EXPECT_EQ(dg.GetLinkCount(), 7u) << "reading beyond the count does not grow it";

  ASSERT_EQ(dg.Place(&file_, BlockParts::kAll), 64u);
  const Bytes d = Disk();
  EXPECT_EQ(U64(d, 64 + 16), 7u);
  EXPECT_EQ(U64(d, 64 + 8), 24u + 56u + 8u);
  EXPECT_EQ(U64(d, 64 + 24 + 48), 0xABCu);
  EXPECT_EQ(d[64 + 24 + 56], 2) << "the record follows the grown link array";
}

}  // namespace
