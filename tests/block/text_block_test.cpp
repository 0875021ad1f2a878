// Tests of TX and MD blocks: UTF-8 encoding of 16-bit text, buffer growth, writing and reading texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/format.h"
#include "block/text_block.h"
#include "file/direct_file.h"
#include "mdf_builder.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using qm::test::MdfBuilder;
using qm::test::ReadFileBytes;
using qm::test::TempDir;
using Bytes = std::vector<uint8_t>;

// The bytes a block would write as its variable part (text plus terminating zero).
Bytes Written(M4TXBlock& tx) {
  uint64_t size = tx.GetVarSize();
  const uint8_t* p = tx.GetVarChunk(0, size);
  if (p == nullptr) return {};
  return Bytes(p, p + size);
}

// Encodes the code units one by one and returns the text bytes without the terminator.
Bytes Encode(std::u16string_view units) {
  M4TXBlock tx;
  tx.appendWide(units);
  Bytes out = Written(tx);
  if (!out.empty()) out.pop_back();
  return out;
}

TEST(TextEncodingTest, EncodesEachLengthClassAtItsBoundaries) {
  EXPECT_EQ(Encode(u"A"), (Bytes{0x41}));
  EXPECT_EQ(Encode(u"\u007f"), (Bytes{0x7F}));
  EXPECT_EQ(Encode(u"\u0080"), (Bytes{0xC2, 0x80}));
  EXPECT_EQ(Encode(u"\u00e9"), (Bytes{0xC3, 0xA9}));
  EXPECT_EQ(Encode(u"\u07ff"), (Bytes{0xDF, 0xBF}));
  EXPECT_EQ(Encode(u"\u0800"), (Bytes{0xE0, 0xA0, 0x80}));
  EXPECT_EQ(Encode(u"\u20ac"), (Bytes{0xE2, 0x82, 0xAC}));
  EXPECT_EQ(Encode(u"\uffff"), (Bytes{0xEF, 0xBF, 0xBF}));
  EXPECT_EQ(Encode(u"\U0001F600"), (Bytes{0xF0, 0x9F, 0x98, 0x80})) << "a surrogate pair";
  EXPECT_EQ(Encode(u"\U0010FFFF"), (Bytes{0xF4, 0x8F, 0xBF, 0xBF}));
}

TEST(TextEncodingTest, LoneSurrogatesBecomeReplacementCharacter) {
  const Bytes kFFFD = {0xEF, 0xBF, 0xBD};
  const std::u16string high(1, char16_t{0xD83D}), low(1, char16_t{0xDE00});
  EXPECT_EQ(Encode(high), kFFFD) << "high surrogate at the end";
  EXPECT_EQ(Encode(low), kFFFD) << "low surrogate alone";
  EXPECT_EQ(Encode(high + u"A"), (Bytes{0xEF, 0xBF, 0xBD, 0x41}));
  EXPECT_EQ(Encode(u"A" + low + u"B"), (Bytes{0x41, 0xEF, 0xBF, 0xBD, 0x42}));
  EXPECT_EQ(Encode(high + high + low), (Bytes{0xEF, 0xBF, 0xBD, 0xF0, 0x9F, 0x98, 0x80}))
      << "the second high surrogate still pairs with the low one";
  EXPECT_EQ(Encode(low + high), (Bytes{0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}));
}

TEST(TextEncodingTest, PendingHighSurrogateIsCountedInTheWrittenSize) {
  // appendUtf8 alone leaves a high surrogate waiting for its partner; the size a block states
  // must match the bytes it writes all the same.
  M4TXBlock tx;
  tx.appendUtf8(u'A');
  tx.appendUtf8(0xD800);
  const uint64_t stated = tx.GetVarSize();
  EXPECT_EQ(Written(tx), (Bytes{0x41, 0xEF, 0xBF, 0xBD, 0x00}));
  EXPECT_EQ(stated, 5u);
}

TEST(TextBufferTest, GrowsByDoublingOrToTheNeededSize) {
  M4TXBlock tx;
  EXPECT_EQ(tx.GetCapacity(), 256u);
  for (int i = 0; i < 256; ++i) tx.appendBytes("x", 1);
  EXPECT_EQ(tx.GetCapacity(), 256u) << "exactly full";
  for (int i = 256; i < 300; ++i) tx.appendBytes("y", 1);
  EXPECT_EQ(tx.GetCapacity(), 512u);
  EXPECT_EQ(tx.GetLength(), 300u);
  EXPECT_EQ(tx.Text()[255], 'x');
  EXPECT_EQ(tx.Text()[256], 'y');

  M4TXBlock big;
  const std::string run(1500, 'z');
  big.appendBytes(run.data(), run.size());
  EXPECT_EQ(big.GetCapacity(), 1500u) << "twice 256 is not enough: exactly what is needed";
  EXPECT_EQ(big.GetVarSize(), 1501u);
}

TEST(TextBufferTest, MdFromWideStringOrNull) {
  M4MDBlock empty(u"");
  EXPECT_EQ(empty.GetType(), f::kMD);
  EXPECT_EQ(Written(empty), (Bytes{0}));
  M4MDBlock none(nullptr);
  EXPECT_EQ(Written(none), (Bytes{0}));
  M4MDBlock xml(u"<a>\u20ac</a>");
  EXPECT_EQ(Written(xml), (Bytes{'<', 'a', '>', 0xE2, 0x82, 0xAC, '<', '/', 'a', '>', 0}));
}

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  TempDir dir_;
  mDirectFile file_;
};

TEST_F(TextFileTest, WrittenTextsHaveOneTerminatingZero) {
  ASSERT_TRUE(file_.CreateTruncate(dir_.WPath("t.mf4").c_str()));
  const Bytes id(f::kIdBlockSize, 0);
  ASSERT_TRUE(file_.WriteAt(0, f::kIdBlockSize, id.data()));
  M4TXBlock time;
  time.appendWide(u"Time");
  M4MDBlock empty(u"");
  ASSERT_EQ(time.Place(&file_, m4Block::kPlaceAll), 64u);
  ASSERT_EQ(empty.Place(&file_, m4Block::kPlaceAll), 96u);

  Bytes d;
  ASSERT_TRUE(ReadFileBytes(dir_.Path("t.mf4"), &d));
  ASSERT_EQ(d.size(), 96u + 25u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[64]), 4), "##TX");
  EXPECT_EQ(qm::LoadLE64(&d[64 + 8]), 29u);
  EXPECT_EQ(qm::LoadLE64(&d[64 + 16]), 0u);
  EXPECT_EQ(Bytes(d.begin() + 88, d.begin() + 93), (Bytes{'T', 'i', 'm', 'e', 0}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[96]), 4), "##MD");
  EXPECT_EQ(qm::LoadLE64(&d[96 + 8]), 25u);
  EXPECT_EQ(d[120], 0);
}

TEST_F(TextFileTest, ReadTextKeepsFillButDecodesToFirstZero) {
  MdfBuilder m;
  const uint64_t filled = m.AddBlock("TX", {}, {'a', 'b', 'c', 0, 0, 0, 0, 0});
  const uint64_t empty = m.AddBlock("MD", {}, {});
  std::string longText(700, 'q');
  longText[0] = 'L';
  const uint64_t longer = m.AddText(longText);
  const uint64_t utf8 = m.AddText("Temp \xC2\xB0" "C \xE2\x82\xAC");
  ASSERT_TRUE(m.WriteTo(dir_.Path("r.mf4")));
  ASSERT_TRUE(file_.OpenReadWrite(dir_.WPath("r.mf4").c_str()));

  auto a = LoadAs<M4TXBlock>(&file_, filled, f::kTX);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->GetLength(), 7u) << "zero bytes inside count as text";
  EXPECT_EQ(a->Decode(), u"abc");

  auto e = LoadAs<M4MDBlock>(&file_, empty, f::kMD);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->GetLength(), 0u);
  EXPECT_EQ(e->Decode(), u"");
  EXPECT_EQ(Written(*e), (Bytes{0}));

  auto l = LoadAs<M4TXBlock>(&file_, longer, f::kTX);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->GetLength(), 700u);
  EXPECT_EQ(l->GetVarSize(), 701u);
  EXPECT_EQ(l->Decode(), std::u16string(u"L") + std::u16string(699, u'q'));

  auto u = LoadAs<M4TXBlock>(&file_, utf8, f::kTX);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->Decode(), u"Temp \u00b0C \u20ac");
}

TEST_F(TextFileTest, LoadedTextRewrittenInPlaceIsUnchanged) {
  MdfBuilder m;
  const uint64_t tx = m.AddText(std::string(300, 'w'));
  m.AddText("after");
  ASSERT_TRUE(m.WriteTo(dir_.Path("r.mf4")));
  ASSERT_TRUE(file_.OpenReadWrite(dir_.WPath("r.mf4").c_str()));
  auto t = LoadAs<M4TXBlock>(&file_, tx, f::kTX);
  ASSERT_NE(t, nullptr);
  ASSERT_TRUE(t->Write(true, true));
  Bytes d;
  ASSERT_TRUE(ReadFileBytes(dir_.Path("r.mf4"), &d));
  EXPECT_EQ(d, m.Bytes());
}

}  // namespace
