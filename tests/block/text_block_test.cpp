// Tests of TX and MD blocks: UTF-8 encoding of 16-bit text, buffer growth, writing and reading texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/format.h"
#include "block/text_block.h"
#include "platform/direct_file.h"
#include "mdf_builder.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The variable part a block writes: text and terminating zero.
Bytes Written(M4TXBlock& tx) {
  uint64_t size = tx.GetVarSize();
  const uint8_t* p = tx.GetVarChunk(0, size);
  return p == nullptr ? Bytes{} : Bytes(p, p + size);
}

Bytes Encode(std::u16string_view units) {
  M4TXBlock tx;
  tx.appendWide(units);
  Bytes out = Written(tx);
  out.pop_back();
  return out;
}

// Each length class at its boundaries; lone surrogates become U+FFFD.
TEST(TextEncodingTest, EncodesUtf8AndReplacesLoneSurrogates) {
  const char16_t high = 0xD83D, low = 0xDE00;
  const std::pair<std::u16string, Bytes> cases[] = {
      {u"\u007f", {0x7F}},
      {u"\u0080", {0xC2, 0x80}},
      {u"\u07ff", {0xDF, 0xBF}},
      {u"\u0800", {0xE0, 0xA0, 0x80}},
      {u"\uffff", {0xEF, 0xBF, 0xBF}},
      {u"\U00010000", {0xF0, 0x90, 0x80, 0x80}},
      {u"\U0010FFFF", {0xF4, 0x8F, 0xBF, 0xBF}},
      {std::u16string{high}, {0xEF, 0xBF, 0xBD}},
      {std::u16string{u'A', low, u'B'}, {0x41, 0xEF, 0xBF, 0xBD, 0x42}},
      {std::u16string{high, high, low}, {0xEF, 0xBF, 0xBD, 0xF0, 0x9F, 0x98, 0x80}},
  };
  for (const auto& [units, bytes] : cases) EXPECT_EQ(Encode(units), bytes);

  // A high surrogate still waiting for its partner counts in the size the block states.
  M4TXBlock tx;
  tx.appendUtf8(0xD800);
  EXPECT_EQ(tx.GetVarSize(), 4u);
  EXPECT_EQ(Written(tx), (Bytes{0xEF, 0xBF, 0xBD, 0x00}));
}

TEST(TextEncodingTest, BufferGrowsByDoublingOrToTheNeededSizeAndKeepsTheText) {
  M4TXBlock tx, big;
  tx.appendBytes(std::string(256, 'x').data(), 256);
  EXPECT_EQ(tx.GetCapacity(), 256u) << "exactly full";
  for (int i = 256; i < 300; ++i) tx.appendBytes("y", 1);
  EXPECT_EQ(tx.GetCapacity(), 512u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(tx.Text()), tx.GetLength()),
            std::string(256, 'x') + std::string(44, 'y'));
  big.appendBytes(std::string(1500, 'z').data(), 1500);
  EXPECT_EQ(big.GetCapacity(), 1500u) << "twice 256 is not enough";
}

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  qm::test::TempDir dir_;
  mDirectFile file_;
};

TEST_F(TextFileTest, WrittenTextsHaveOneTerminatingZero) {
  ASSERT_TRUE(file_.CreateTruncate(dir_.WPath("t.mf4").c_str()));
  ASSERT_TRUE(file_.WriteAt(0, 64, Bytes(64, 0).data()));
  M4TXBlock time;
  time.appendWide(u"Time");
  M4MDBlock empty(u""), none(nullptr);
  ASSERT_EQ(time.Place(&file_, BlockParts::kAll), 64u);
  ASSERT_EQ(empty.Place(&file_, BlockParts::kAll), 96u);
  EXPECT_EQ(Written(none), (Bytes{0}));

  Bytes d;
  ASSERT_TRUE(qm::test::ReadFileBytes(dir_.Path("t.mf4"), &d));
  ASSERT_EQ(d.size(), 96u + 25u);
  EXPECT_EQ(qm::LoadLE64(&d[64 + 8]), 29u);
  EXPECT_EQ(Bytes(d.begin() + 88, d.begin() + 93), (Bytes{'T', 'i', 'm', 'e', 0}));
  EXPECT_EQ(std::string(d.begin() + 96, d.begin() + 100), "##MD");
  EXPECT_EQ(qm::LoadLE64(&d[96 + 8]), 25u);
}

TEST_F(TextFileTest, ReadTextKeepsFillButDecodesToFirstZero) {
  qm::test::MdfBuilder m;
  const uint64_t filled = m.AddBlock("TX", {}, {'a', 'b', 'c', 0, 0, 0, 0, 0});
  const uint64_t empty = m.AddBlock("MD", {}, {});
  const uint64_t longer = m.AddText(std::string(700, 'q') + "\xE2\x82\xAC");
  ASSERT_TRUE(m.WriteTo(dir_.Path("r.mf4")));
  ASSERT_TRUE(file_.OpenReadWrite(dir_.WPath("r.mf4").c_str()));

  auto a = LoadAs<M4TXBlock>(&file_, filled, qm::fmt::kTX);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->GetLength(), 7u) << "zero bytes inside count as text";
  EXPECT_EQ(a->Decode(), u"abc");

  auto e = LoadAs<M4MDBlock>(&file_, empty, qm::fmt::kMD);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->GetLength(), 0u);
  EXPECT_EQ(Written(*e), (Bytes{0}));

  auto l = LoadAs<M4TXBlock>(&file_, longer, qm::fmt::kTX);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->GetVarSize(), 704u);
  EXPECT_EQ(l->Decode(), std::u16string(700, u'q') + u"\u20ac");
  // Rewritten in place, the loaded text reproduces the file.
  ASSERT_TRUE(l->Write(BlockParts::kAll));
  Bytes d;
  ASSERT_TRUE(qm::test::ReadFileBytes(dir_.Path("r.mf4"), &d));
  EXPECT_EQ(d, m.Bytes());
}

}  // namespace
