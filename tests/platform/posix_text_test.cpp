// Tests of host text conversion (UTF-8 whatever the locale) and host message strings.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace qm::os {
namespace {

std::u16string Wide(const char* bytes) { return NarrowToWide(bytes); }

TEST(PosixTextTest, DecodesWellFormedUtf8) {
  EXPECT_EQ(Wide("abc"), u"abc");
  EXPECT_EQ(Wide("\xC3\xA9"), u"\u00e9");
  EXPECT_EQ(Wide("\xE2\x82\xAC"), u"\u20ac");
  EXPECT_EQ(Wide("\xEF\xBF\xBF"), u"\uffff");
  EXPECT_EQ(Wide("\xF0\x9F\x98\x80"), std::u16string({0xD83D, 0xDE00}));
  EXPECT_EQ(Wide("\xF4\x8F\xBF\xBF"), std::u16string({0xDBFF, 0xDFFF}));  // U+10FFFF
  EXPECT_EQ(Wide(""), u"");
  EXPECT_EQ(Wide(nullptr), u"");
}

TEST(PosixTextTest, BytesOutsideWellFormedSequencesKeepTheirValue) {
  EXPECT_EQ(Wide("\xE9"), u"\u00e9");              // Latin-1 byte alone
  EXPECT_EQ(Wide("caf\xE9!"), u"caf\u00e9!");
  EXPECT_EQ(Wide("\xE9\x41"), u"\u00e9A");         // lead byte with a bad continuation
  EXPECT_EQ(Wide("\xC0\xAF"), std::u16string({0xC0, 0xAF}));          // overlong '/'
  EXPECT_EQ(Wide("\xE0\x80\xAF"), std::u16string({0xE0, 0x80, 0xAF}));  // overlong
  EXPECT_EQ(Wide("\xED\xA0\x80"), std::u16string({0xED, 0xA0, 0x80}));  // encoded surrogate
  EXPECT_EQ(Wide("\xF4\x90\x80\x80"), std::u16string({0xF4, 0x90, 0x80, 0x80}));  // > U+10FFFF
  EXPECT_EQ(Wide("\xE2\x82"), std::u16string({0xE2, 0x82}));           // cut at the end
  EXPECT_EQ(Wide("\x80x"), std::u16string({0x80, u'x'}));               // stray continuation
}

TEST(PosixTextTest, EncodesUtf8WithReplacementForLoneSurrogates) {
  EXPECT_EQ(WideToNarrow(u"a\u00e9\u20ac"), "a\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(WideToNarrow(u"\U0001F600"), "\xF0\x9F\x98\x80");
  const char16_t loneHigh[] = {u'a', 0xD83D, u'b', 0};
  EXPECT_EQ(WideToNarrow(loneHigh), "a\xEF\xBF\xBD" "b");
  const char16_t loneLow[] = {0xDE00, 0xD83D, 0};
  EXPECT_EQ(WideToNarrow(loneLow), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(WideToNarrow(nullptr), "");
}

TEST(PosixTextTest, RoundTripIgnoresTheLocale) {
  // Every BMP code unit except surrogates and 0 goes out and comes back unchanged.
  std::u16string all;
  for (char32_t u = 1; u <= 0xFFFF; ++u) {
    if (u < 0xD800 || u > 0xDFFF) all.push_back(static_cast<char16_t>(u));
  }
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  std::string reference;
  for (const char* locale : {"C", "C.UTF-8"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    const std::string narrow = WideToNarrow(all.c_str());
    EXPECT_EQ(NarrowToWide(narrow.c_str()), all) << locale;
    EXPECT_EQ(NarrowToWide("\xE9"), u"\u00e9") << locale;
    if (reference.empty()) reference = narrow;
    EXPECT_EQ(narrow, reference) << locale;
  }
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(PosixTextTest, MessageCarriesByteCountPrefix) {
  for (const std::u16string text : {u"File not found", u""}) {
    char16_t* message = AllocMessage(text.c_str());
    ASSERT_NE(message, nullptr);
    uint32_t byteCount;
    std::memcpy(&byteCount, reinterpret_cast<const uint8_t*>(message) - 4, 4);
    EXPECT_EQ(byteCount, 2 * text.size());
    EXPECT_EQ(std::u16string(message), text) << "the text and its terminating zero";
    FreeMessage(message);
  }
  EXPECT_EQ(AllocMessage(nullptr), nullptr);
  FreeMessage(nullptr);
}

}  // namespace
}  // namespace qm::os
