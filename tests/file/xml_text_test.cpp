// Tests of the interface's wide text helpers: XML escaping, bounded formatting, message cutting.
#include "file/xml_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace {

// The templates of the comments are checked byte for byte by the interface tests.
TEST(EscapeXmlTest, MarkupReferencesAndSurrogates) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\"'&<>", u"&quot;&apos;&amp;&lt;&gt;"},
      {u" ~AZ09", u" ~AZ09"},
      {u"", u""},
      {u"\t\u00E9\uABCD", u"&#x0009;&#x00E9;&#xABCD;"},  // upper-case digits
      {std::u16string{0x7F, 0x00}, u"&#x007F;&#x0000;"},
      {u"\U0001F600\U0010FFFFx", u"&#x01F600;&#x10FFFF;x"},  // a pair is one reference
      // Unpaired surrogates are written alone; of two highs in a row the second pairs.
      {std::u16string{0xD83D, u'&'}, u"&#xD83D;&amp;"},
      {std::u16string{u'a', 0xD83D}, u"a&#xD83D;"},
      {std::u16string{0xDE00, u'a'}, u"&#xDE00;a"},
      {std::u16string{0xD83D, 0xD83D, 0xDE00}, u"&#xD83D;&#x01F600;"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(escapeXml(in), out);
}

TEST(EscapeXmlTest, CountsAndStaysInBounds) {
  const std::u16string text = u"x<\u00E9\U0001F600\"";
  const int32_t n = escapeXml(text.data(), text.size(), nullptr, 0);
  EXPECT_EQ(n, 1 + 4 + 8 + 10 + 6);
  std::u16string out(static_cast<size_t>(n), u'?');
  EXPECT_EQ(escapeXml(text.data(), text.size(), out.data(), n), n);
  EXPECT_EQ(out, u"x&lt;&#x00E9;&#x01F600;&quot;");

  // Too small: 0, whole pieces that fit are stored, nothing at or past the capacity is touched.
  const std::u16string abc = u"ab<c";
  for (const auto& [capacity, stored] : {std::pair{6, u"ab&lt;####"}, std::pair{4, u"ab########"}}) {
    std::u16string buf(10, u'#');
    EXPECT_EQ(escapeXml(abc.data(), abc.size(), buf.data(), capacity), 0);
    EXPECT_EQ(buf, stored);
  }
}

TEST(FormatWideTest, DirectivesBoundsAndMismatches) {
  char16_t out[64];
  ASSERT_EQ(formatWide(out, 64, u"[%02d|%02d|%02d|%d]", {5, 12, 123, -7}), 14);
  EXPECT_EQ(std::u16string(out), u"[05|12|123|-7]");
  ASSERT_GT(formatWide(out, 64, u"%d %02d", {INT32_MIN, -3}), 0);
  EXPECT_EQ(std::u16string(out), u"-2147483648 -3");
  ASSERT_EQ(formatWide(out, 64, u"100%% '%S' '%s'", {"abc", u"\u00E9"}), 14);
  EXPECT_EQ(std::u16string(out), u"100% 'abc' '\u00E9'");
  const char* noName = nullptr;
  ASSERT_EQ(formatWide(out, 64, u"<%S>", {noName}), 2);
  EXPECT_EQ(std::u16string(out), u"<>");

  // The result fits exactly with its terminator, or the call fails with an empty text.
  EXPECT_EQ(formatWide(out, 8, u"%s", {u"1234567"}), 7);
  EXPECT_EQ(std::u16string(out), u"1234567");
  std::fill(out, out + 8, u'#');
  EXPECT_EQ(formatWide(out, 8, u"%s", {u"12345678"}), -1);
  EXPECT_EQ(out[0], u'\0');
  EXPECT_EQ(formatWide(out, 0, u"", {}), -1);
  EXPECT_EQ(formatWide(out, 1, u"", {}), 0);
  out[0] = u'#';
  EXPECT_EQ(formatWide(out, 32, u"%s", {}), -1);
  EXPECT_EQ(out[0], u'\0');
  EXPECT_EQ(formatWide(out, 32, u"%d", {u"x"}), -1);
  EXPECT_EQ(formatWide(out, 32, u"%S", {u"x"}), -1);
  EXPECT_EQ(formatWide(out, 32, u"%x", {1}), -1);
  EXPECT_EQ(formatWide(out, 32, u"50%", {}), -1);
}

TEST(FormatTruncatedTest, CutsToTheBufferButNeverSplitsAPair) {
  const std::string oneMore(238, 'g');  // one character more than fits 255 units
  EXPECT_EQ(formatTruncated(256, u"Group '%S' not found", {oneMore}),
            u"Group '" + std::u16string(238, u'g') + u"' not foun");
  const std::u16string text = u"ab\U0001F600c";
  EXPECT_EQ(formatTruncated(4, u"%s", {text}), u"ab");
  EXPECT_EQ(formatTruncated(5, u"%s", {text}), u"ab\U0001F600");
  EXPECT_EQ(formatTruncated(1, u"%s", {text}), u"");
  EXPECT_EQ(formatTruncated(0, u"%s", {text}), u"");
  EXPECT_EQ(formatTruncated(64, u"%d", {u"x"}), u"");
}

}  // namespace
