// Tests of data blocks: reserving full capacity at the end, bounded appends, exact-length writes, loading.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "platform/direct_file.h"
#include "mdf_builder.h"
#include "block/data_block.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

class DataBlockTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  // A new file of size bytes, all written, so that its logical end is its physical size.
  void CreateFile(uint32_t size) {
    ASSERT_TRUE(file_.CreateTruncate(dir_.WPath("d.mf4").c_str()));
    ASSERT_TRUE(file_.WriteAt(0, size, Bytes(size, 0x11).data()));
  }
  Bytes Disk() const {
    Bytes d;
    EXPECT_TRUE(qm::test::ReadFileBytes(dir_.Path("d.mf4"), &d));
    return d;
  }
  qm::test::TempDir dir_;
  mDirectFile file_;
};

TEST_F(DataBlockTest, ReserveAtEndAlignsAndExtendsByFullCapacity) {
  CreateFile(1001);
  M4DTBlock dt(4194304);
  EXPECT_EQ(dt.ReserveAtEnd(&file_), 1008u);
  EXPECT_EQ(file_.GetEnd(), 1008u + 24u + 4194304u) << "the full capacity is reserved";
  EXPECT_EQ(Disk().size(), 1001u) << "the file grows only as the block is written";
  EXPECT_EQ(dt.GetVarSize(), 0u);

  M4SDBlock sd(32);
  EXPECT_EQ(sd.ReserveAtEnd(&file_), 4195336u) << "an aligned end is used as it is";
}

TEST_F(DataBlockTest, FlushWritesDataFromOffsetThenExactHeader) {
  CreateFile(64);
  M4DTBlock dt(32);
  ASSERT_EQ(dt.ReserveAtEnd(&file_), 64u);
  ASSERT_TRUE(dt.Flush(0));
  Bytes d = Disk();
  EXPECT_EQ(std::string(d.begin() + 64, d.begin() + 68), "##DT");
  EXPECT_EQ(qm::LoadLE64(&d[64 + 8]), 24u) << "an empty block is a bare header";

  ASSERT_TRUE(dt.Append(10, "abcdefghij"));
  ASSERT_TRUE(dt.Flush(0));
  // Bytes before `from` are taken as already on disk and are not written again.
  const uint8_t marker = 0xEE;
  ASSERT_TRUE(file_.WriteAt(64 + 24, 1, &marker));
  ASSERT_TRUE(dt.Append(5, "KLMNO"));
  ASSERT_TRUE(dt.Flush(10));
  d = Disk();
  EXPECT_EQ(qm::LoadLE64(&d[64 + 8]), 39u);
  EXPECT_EQ(qm::LoadLE64(&d[64 + 16]), 0u);
  EXPECT_EQ(std::string(d.begin() + 88, d.begin() + 103), "\xEE" "bcdefghijKLMNO");
  EXPECT_EQ(file_.GetEnd(), 64u + 24u + 32u) << "the reservation is not given up by a flush";
}

TEST_F(DataBlockTest, ReservingAgainWritesTheBlockAndStartsAnEmptyOne) {
  CreateFile(64);
  M4RDBlock rd(20);
  ASSERT_EQ(rd.ReserveAtEnd(&file_), 64u);
  ASSERT_TRUE(rd.Append(20, Bytes(20, 0x5A).data()));
  EXPECT_EQ(rd.ReserveAtEnd(&file_), 112u) << "64 + 24 + 20 = 108, aligned";
  EXPECT_EQ(rd.GetVarSize(), 0u);
  EXPECT_EQ(rd.Data()[0], 0x5A) << "the buffer keeps the previous block's bytes";
  EXPECT_EQ(file_.GetEnd(), 112u + 24u + 20u);
  const Bytes d = Disk();
  ASSERT_EQ(d.size(), 108u) << "the new block is reserved, not yet written";
  EXPECT_EQ(std::string(d.begin() + 64, d.begin() + 68), "##RD");
  EXPECT_EQ(qm::LoadLE64(&d[64 + 8]), 44u);
  EXPECT_EQ(Bytes(d.begin() + 88, d.begin() + 108), Bytes(20, 0x5A));
  EXPECT_EQ(Bytes(d.begin() + 108, d.end()), Bytes(d.size() - 108, 0)) << "the new block is not written yet";
}

TEST_F(DataBlockTest, LoadedBlockHoldsItsWholeDataSection) {
  qm::test::MdfBuilder m;
  Bytes payload(100);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  const uint64_t full = m.AddDT(payload);
  const uint64_t empty = m.AddDT({});
  ASSERT_TRUE(m.WriteTo(dir_.Path("d.mf4")));
  ASSERT_TRUE(file_.OpenReadWrite(dir_.WPath("d.mf4").c_str()));

  auto dt = LoadAs<M4DataBlock>(&file_, full, qm::fmt::kDT);
  ASSERT_NE(dt, nullptr);
  EXPECT_EQ(dt->GetHeaderLength(), 124u);
  EXPECT_EQ(dt->GetCapacity(), 100u);
  EXPECT_EQ(dt->GetVarSize(), 100u);
  EXPECT_EQ(dt->GetFreeSpace(), 0u);
  EXPECT_EQ(Bytes(dt->Data(), dt->Data() + 100), payload);
  ASSERT_TRUE(dt->Write(BlockParts::kAll));
  EXPECT_EQ(Disk(), m.Bytes()) << "rewriting a loaded block reproduces it";

  auto e = LoadAs<M4DataBlock>(&file_, empty, qm::fmt::kDT);
  ASSERT_NE(e, nullptr) << "an empty data section is not a failure";
  EXPECT_EQ(e->GetCapacity(), 0u);
  EXPECT_EQ(e->GetVarSize(), 0u);
}

}  // namespace
