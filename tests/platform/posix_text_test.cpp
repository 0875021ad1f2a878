// Tests of host text conversion (UTF-8 whatever the locale) and host message strings.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace qm::os {
namespace {

// Well-formed UTF-8 is decoded and a byte outside a well-formed sequence stands for the
// character of its value; text goes out as UTF-8 (U+FFFD for a lone surrogate) in any locale.
TEST(PosixTextTest, HostTextIsUtf8WhateverTheLocale) {
  const std::pair<const char*, std::u16string> cases[] = {
      {"abc\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", u"abc\u00e9\u20ac\U0001F600"},
      {nullptr, u""},
      {"caf\xE9\x41", u"caf\u00e9A"},                              // Latin-1 byte, bad continuation
      {"\xC0\xAF\xED\xA0\x80", u"\u00c0\u00af\u00ed\u00a0\u0080"},  // overlong, encoded surrogate
      {"\xF4\x90\x80\x80\xE2\x82", u"\u00f4\u0090\u0080\u0080\u00e2\u0082"},  // above U+10FFFF, cut
  };
  for (const auto& [narrow, wide] : cases) EXPECT_EQ(NarrowToWide(narrow), wide);
  const char16_t lone[] = {u'a', 0xD83D, u'b', 0xDE00, 0};
  EXPECT_EQ(WideToNarrow(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  // Every BMP code unit except surrogates and 0 goes out and comes back unchanged.
  std::u16string all;
  for (char32_t u = 1; u <= 0xFFFF; ++u)
    if (u < 0xD800 || u > 0xDFFF) all.push_back(static_cast<char16_t>(u));
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  for (const char* locale : {"C", "C.UTF-8"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    EXPECT_EQ(NarrowToWide(WideToNarrow(all.c_str()).c_str()), all) << locale;
    EXPECT_EQ(WideToNarrow(u"\u00e9"), "\xC3\xA9") << locale;
  }
  std::setlocale(LC_ALL, saved.c_str());
  // Messages carry their byte count in front, as BSTRs do.
  char16_t* message = AllocMessage(u"File not found");
  uint32_t byteCount;
  std::memcpy(&byteCount, reinterpret_cast<const uint8_t*>(message) - 4, 4);
  EXPECT_EQ(byteCount, 28u);
  EXPECT_EQ(std::u16string(message), u"File not found");
  FreeMessage(message);
}

}  // namespace
}  // namespace qm::os
