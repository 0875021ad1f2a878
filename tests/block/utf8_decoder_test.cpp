// Tests of Utf8Decoder: block text bytes back to 16-bit text, malformed input and line ends.
#include "block/utf8_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

TEST(Utf8DecoderTest, DecodesTextLineFeedsAndMalformedInput) {
  const std::pair<std::vector<uint8_t>, std::u16string> cases[] = {
      {{0x41, 0x0A, 0x42}, u"A\r\nB"},
      {{0xD0, 0xB0}, u"\u0430"},
      {{0xE2, 0x82, 0xAC, 0x41}, u"\u20ACA"},
      {{0x0A, 0x0A}, u"\r\n\r\n"},
      {{}, u""},
      // A broken sequence writes one space and swallows the interrupting byte, which is not
      // taken as a new lead byte either.
      {{0xC3, 0x41}, u" "},
      {{0xE2, 0x82, 0x41, 0x42}, u" B"},
      {{0xC3, 0xD0, 0xB0}, u"  "},
      // A four-byte sequence becomes its surrogate pair; beyond U+10FFFF there is none: one space.
      {{0x61, 0xF0, 0x9F, 0x98, 0x80, 0x62}, u"a\U0001F600b"},
      {{0xF4, 0x8F, 0xBF, 0xBF}, u"\U0010FFFF"},
      {{0xF4, 0x90, 0x80, 0x80, 0x41}, u" A"},
      {{0x41, 0xE2, 0x82}, u"A "},                     // a sequence open at the end: one space
      {{0xF0}, u" "},
      {{0x80, 0x41, 0xBF, 0xBF}, u" A  "},  // stray continuation bytes: one space each
      {{0xC1, 0x81}, u"A"},                 // overlong forms are decoded
      {{0xC0, 0x8A}, u"\r\n"},              // an overlong line feed is still a line feed
      // The first zero byte ends the text; a sequence it cuts is closed as at the end.
      {{'a', 'b', 'c', 0, 0, 0, 0}, u"abc"},
      {{'a', 0, 'b'}, u"a"},
      {{0xC3, 0x00, 0xA9}, u" "},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(DecodeBlockText(cases[i].first.data(), cases[i].first.size()), cases[i].second) << "case " << i;
}

// Well-formed UTF-8 decodes exactly (line feeds kept); everything the forgiving decoder repairs
// or accepts against the rules is refused.
TEST(Utf8DecoderTest, WellFormedDecodingRefusesWhatIsNotUtf8) {
  const std::pair<std::vector<uint8_t>, std::u16string> good[] = {
      {{}, u""},
      {{0x41, 0x0A, 0xC2, 0xB0, 0xE2, 0x82, 0xAC}, u"A\n\u00B0\u20AC"},
      {{0xF0, 0x9F, 0x98, 0x80, 0xF4, 0x8F, 0xBF, 0xBF}, u"\U0001F600\U0010FFFF"},
  };
  for (const auto& [bytes, text] : good) {
    std::u16string out;
    EXPECT_TRUE(DecodeWellFormedUtf8(bytes.data(), bytes.size(), &out));
    EXPECT_EQ(out, text);
  }
  const std::vector<uint8_t> bad[] = {
      {0xB0},                    // a Latin-1 byte: a continuation without a lead byte
      {0x54, 0xB0, 0x43},
      {0xC3, 0x41},              // a broken sequence
      {0xE2, 0x82},              // cut at the end
      {0xC1, 0x81},              // overlong
      {0xE0, 0x80, 0x80},
      {0xF0, 0x8F, 0xBF, 0xBF},
      {0xED, 0xA0, 0x80},        // an encoded surrogate
      {0xF4, 0x90, 0x80, 0x80},  // above U+10FFFF
      {0xF8, 0x88, 0x80, 0x80},
  };
  for (size_t i = 0; i < std::size(bad); ++i) {
    std::u16string out;
    EXPECT_FALSE(DecodeWellFormedUtf8(bad[i].data(), bad[i].size(), &out)) << "case " << i;
  }
}

TEST(Utf8DecoderTest, DecoderIsEmptyAfterFinish) {
  Utf8Decoder decoder;
  decoder.Feed(0xC3);
  EXPECT_EQ(decoder.Finish(), u" ");
  decoder.Feed(0xA9);  // a continuation with no lead byte left over from before
  decoder.Feed('x');
  EXPECT_EQ(decoder.Finish(), u" x");
}

}  // namespace
