// Tests of the block factory: hostile headers are refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "block/block_factory.h"
#include "mdf_builder.h"
#include "platform/direct_file.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using qm::test::MdfBuilder;

class BlockFactoryTest : public ::testing::Test {
 protected:
  void Open(const MdfBuilder& m) {
    file_.Close();
    ASSERT_TRUE(m.WriteTo(dir_.Path("r.mf4")));
    ASSERT_TRUE(file_.OpenReadWrite(dir_.WPath("r.mf4").c_str()));
  }
  qm::test::TempDir dir_;
  mDirectFile file_;
};

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
  Open(m);
  ASSERT_EQ(file_.GetEnd(), good + 24 + 19);
  EXPECT_NE(LoadBlock(&file_, good), nullptr) << "a block ending exactly at the end of file loads";
  for (const uint64_t at : {uint64_t{0}, uint64_t{f::kHDPosition}, shortLength, tiny, hugeLinks, wrapping, unknown,
                            noMark, shortLength + 8, good + 24, uint64_t{1} << 40})
    EXPECT_EQ(LoadBlock(&file_, at), nullptr) << "block at " << at;

  MdfBuilder past;
  past.SetBlockLength(past.AddText("abc"), 24 + 4 + 1);  // one byte past the end
  Open(past);
  EXPECT_EQ(LoadBlock(&file_, 168), nullptr);
}

}  // namespace
