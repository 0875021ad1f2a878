// Tests of the block factory: every block type read back as its own class, and hostile headers refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <typeinfo>
#include <utility>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/descriptive_blocks.h"
#include "block/hierarchy_blocks.h"
#include "block/list_blocks.h"
#include "block/text_block.h"
#include "platform/direct_file.h"
#include "mdf_builder.h"
#include "block/data_block.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using qm::test::MdfBuilder;

class BlockFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  void OpenImage(const MdfBuilder& m) {
    ASSERT_TRUE(m.WriteTo(dir_.Path("r.mf4")));
    ASSERT_TRUE(file_.OpenReadWrite(dir_.WPath("r.mf4").c_str()));
  }
  qm::test::TempDir dir_;
  mDirectFile file_;
};

std::vector<uint64_t> Links(const m4Block& b) {
  std::vector<uint64_t> out;
  for (uint32_t i = 0; i < b.GetLinkCount(); ++i) out.push_back(b.GetLink(i));
  return out;
}

TEST_F(BlockFactoryTest, ShortRecordLeavesTheRestZeroAndExtraBytesBecomeVariablePart) {
  MdfBuilder m;
  const uint64_t cn = m.AddBlock("CN", std::vector<uint64_t>(8, 0), std::vector<uint8_t>(10, 0xFF));
  std::vector<uint8_t> dgData(8 + 5, 0xCC);
  dgData[0] = 2;
  const uint64_t dg = m.AddBlock("DG", std::vector<uint64_t>(4, 0), dgData);
  const uint64_t cc = m.AddCC(7, {1.0, 2.0, 3.0, 4.0, 5.5});
  OpenImage(m);

  auto c = LoadAs<M4CNBlock>(&file_, cn, f::kCN);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cn_type, 0xFF);
  EXPECT_EQ(c->cn_bit_count, 0xFFFFu) << "two bytes from the file, two zero";
  EXPECT_EQ(c->cn_flags, 0u);
  EXPECT_EQ(c->GetVarSize(), 0u);

  auto d = LoadAs<M4DGBlock>(&file_, dg, f::kDG);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->dg_rec_id_size, 2);
  EXPECT_EQ(d->var, std::vector<uint8_t>(5, 0xCC));

  auto conv = LoadAs<M4CCBlock>(&file_, cc, f::kCC);
  ASSERT_NE(conv, nullptr);
  EXPECT_EQ(conv->cc_val_count, 5);
  EXPECT_EQ(conv->var, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.5}));
}

TEST_F(BlockFactoryTest, ListWithOffsetsKeepsEveryValueAndLink) {
  MdfBuilder m;
  const uint64_t a = m.AddDT(std::vector<uint8_t>(10, 1));
  const uint64_t b = m.AddDT(std::vector<uint8_t>(20, 2));
  const uint64_t c = m.AddDT(std::vector<uint8_t>(30, 3));
  const uint64_t dl = m.AddDL({a, b, c}, 0, /*equalLength=*/false);
  OpenImage(m);
  auto list = LoadAs<M4DLBlock>(&file_, dl, f::kDL);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->dl_count, 3u);
  EXPECT_EQ(Links(*list), (std::vector<uint64_t>{0, a, b, c}));
  EXPECT_EQ(list->var, (std::vector<uint64_t>{0, 10, 30}));
  uint64_t equal = 0;
  EXPECT_FALSE(list->EqualLength(&equal)) << "offsets are not an equal length";
}

TEST_F(BlockFactoryTest, HostileHeadersGiveNull) {
  MdfBuilder m;
  const uint64_t shortLength = m.AddBlock("DG", std::vector<uint64_t>(4, 0), std::vector<uint8_t>(8, 0));
  m.SetBlockLength(shortLength, 24 + 8 * 3);  // fewer bytes than its four links
  const uint64_t tiny = m.AddBlock("TX", {}, {'a', 0});
  m.SetBlockLength(tiny, 23);
  const uint64_t hugeLinks = m.AddBlock("CN", std::vector<uint64_t>(8, 0), std::vector<uint8_t>(72, 0));
  m.Patch64(hugeLinks + 16, 1ULL << 61);
  const uint64_t wrapping = m.AddBlock("CN", std::vector<uint64_t>(8, 0), std::vector<uint8_t>(72, 0));
  m.Patch64(wrapping + 16, 0x2000000000000001ULL);  // 8 x count wraps to 8
  const uint64_t unknown = m.AddBlock("XX", {}, std::vector<uint8_t>(8, 0));
  const uint64_t noMark = m.AddBlock("TX", {}, {'a', 0});
  m.Bytes()[noMark] = '$';
  const uint64_t good = m.AddText("exactly to the end");
  OpenImage(m);
  ASSERT_EQ(file_.GetEnd(), good + 24 + 19);

  EXPECT_NE(LoadBlock(&file_, good), nullptr) << "a block ending exactly at the end of file loads";
  EXPECT_EQ(LoadBlock(&file_, 0), nullptr);
  EXPECT_EQ(LoadBlock(&file_, f::kHDPosition), nullptr) << "the HD is not the factory's";
  EXPECT_EQ(LoadBlock(&file_, shortLength), nullptr);
  EXPECT_EQ(LoadBlock(&file_, tiny), nullptr);
  EXPECT_EQ(LoadBlock(&file_, hugeLinks), nullptr);
  EXPECT_EQ(LoadBlock(&file_, wrapping), nullptr);
  EXPECT_EQ(LoadBlock(&file_, unknown), nullptr);
  EXPECT_EQ(LoadBlock(&file_, noMark), nullptr);
  EXPECT_EQ(LoadBlock(&file_, shortLength + 8), nullptr) << "into the middle of a block";
  EXPECT_EQ(LoadBlock(&file_, good + 24), nullptr) << "header crosses the end of file";
  EXPECT_EQ(LoadBlock(&file_, 1ULL << 40), nullptr);

  MdfBuilder past;
  past.SetBlockLength(past.AddText("abc"), 24 + 4 + 1);  // one byte past the end
  file_.Close();
  OpenImage(past);
  EXPECT_EQ(LoadBlock(&file_, 168), nullptr);
}

TEST_F(BlockFactoryTest, LoadLinkedChecksTypeAndIndex) {
  MdfBuilder m;
  const uint64_t cg = m.AddCG(m.AddDG(2), 1, 0, 8);
  const uint64_t md = m.AddText("<CGcomment/>", /*md=*/true);
  m.SetLink(cg, f::kCgTxAcqName, md);  // the name stored as an MD block
  OpenImage(m);
  auto group = LoadAs<M4CGBlock>(&file_, cg, f::kCG);
  ASSERT_NE(group, nullptr);

  EXPECT_EQ(LoadLinked(&file_, *group, f::kCgTxAcqName, f::kTX), nullptr);
  auto any = LoadLinked(&file_, *group, f::kCgTxAcqName, 0);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->GetType(), f::kMD);
  EXPECT_EQ(any->GetPosition(), md);
  EXPECT_EQ(LoadLinked(&file_, *group, f::kCgCnFirst, 0), nullptr) << "link value 0";
  EXPECT_EQ(LoadLinked(&file_, *group, 6, 0), nullptr) << "index beyond the link array";
  EXPECT_EQ(LoadLinked(&file_, *group, -1, 0), nullptr);
}

}  // namespace
