// Tests of the interface's wide text helpers: XML escaping, bounded formatting, message cutting.
#include "api/xml_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

// ---- escapeXml ---------------------------------------------------------------------------

TEST(EscapeXmlTest, MarkupAndPrintableAscii) {
  EXPECT_EQ(EscapeXml(u"a<b"), u"a&lt;b");
  EXPECT_EQ(EscapeXml(u"\"'&<>"), u"&quot;&apos;&amp;&lt;&gt;");
  EXPECT_EQ(EscapeXml(u" ~AZ09"), u" ~AZ09");
  EXPECT_EQ(EscapeXml(u""), u"");
}

TEST(EscapeXmlTest, OtherUnitsBecomeFourDigitReferences) {
  EXPECT_EQ(EscapeXml(u"\t"), u"&#x0009;");
  EXPECT_EQ(EscapeXml(u"\u00E9"), u"&#x00E9;");
  const std::u16string delAndNul = {0x7F, 0x00};
  EXPECT_EQ(EscapeXml(delAndNul), u"&#x007F;&#x0000;");
  EXPECT_EQ(EscapeXml(u"\uABCD"), u"&#xABCD;");  // upper-case digits
}

TEST(EscapeXmlTest, SurrogatePairBecomesOneSixDigitReference) {
  EXPECT_EQ(EscapeXml(u"\U0001F600"), u"&#x01F600;");
  EXPECT_EQ(EscapeXml(u"\U0010FFFFx"), u"&#x10FFFF;x");
}

TEST(EscapeXmlTest, UnpairedSurrogatesAreWrittenAlone) {
  const std::u16string highThenAmp = {0xD83D, u'&'};
  EXPECT_EQ(EscapeXml(highThenAmp), u"&#xD83D;&amp;");
  const std::u16string highAtEnd = {u'a', 0xD83D};
  EXPECT_EQ(EscapeXml(highAtEnd), u"a&#xD83D;");
  const std::u16string lowAlone = {0xDE00, u'a'};
  EXPECT_EQ(EscapeXml(lowAlone), u"&#xDE00;a");
  // Two highs in a row: the first is flushed, the second pairs with the low.
  const std::u16string twoHighs = {0xD83D, 0xD83D, 0xDE00};
  EXPECT_EQ(EscapeXml(twoHighs), u"&#xD83D;&#x01F600;");
}

TEST(EscapeXmlTest, CountOnlyModeAgreesWithWrittenLength) {
  const std::u16string text = u"x<\u00E9\U0001F600\"";
  const int32_t n = escapeXml(text.data(), text.size(), nullptr, 0);
  EXPECT_EQ(n, 1 + 4 + 8 + 10 + 6);
  std::u16string out(static_cast<size_t>(n), u'?');
  EXPECT_EQ(escapeXml(text.data(), text.size(), out.data(), n), n);
  EXPECT_EQ(out, u"x&lt;&#x00E9;&#x01F600;&quot;");
}

TEST(EscapeXmlTest, TooSmallBufferReturnsZeroAndStaysInBounds) {
  const std::u16string text = u"ab<c";  // escapes to 7 units: "ab&lt;c"
  std::u16string out(10, u'#');
  EXPECT_EQ(escapeXml(text.data(), text.size(), out.data(), 6), 0);
  // Whole pieces that still fit were stored; nothing at or past the capacity was touched.
  EXPECT_EQ(out.substr(0, 6), u"ab&lt;");
  EXPECT_EQ(out.substr(6), u"####");

  std::u16string out2(10, u'#');
  EXPECT_EQ(escapeXml(text.data(), text.size(), out2.data(), 4), 0);
  EXPECT_EQ(out2, u"ab########");  // "&lt;" did not fit whole, so it was not stored
}

// ---- formatWide --------------------------------------------------------------------------

TEST(FormatWideTest, ToolVersionAndCommentTemplates) {
  char16_t version[kToolVersionCapacity];
  ASSERT_EQ(formatWide(version, kToolVersionCapacity, kToolVersionFormat,
                       {kToolVersionMajor, kToolVersionMinor, kToolVersionPatch,
                        kToolVersionBuild}),
            7);
  EXPECT_EQ(std::u16string(version), u"1.6.0.0");

  char16_t fh[kCommentCapacity];
  const int32_t n = formatWide(fh, kCommentCapacity, kFHCommentTemplate, {version});
  const std::u16string expected =
      u"<FHcomment><TX>Created</TX><tool_id>Quillmark</tool_id><tool_vendor>Karvoll GmbH"
      u"</tool_vendor><tool_version>1.6.0.0</tool_version></FHcomment>";
  EXPECT_EQ(std::u16string(fh), expected);
  EXPECT_EQ(n, static_cast<int32_t>(expected.size()));

  char16_t sorted[kCommentCapacity];
  ASSERT_GT(formatWide(sorted, kCommentCapacity, kSortedCommentTemplate, {1, 6, 0, 0}), 0);
  EXPECT_NE(std::u16string(sorted).find(u"<TX>Sorted</TX>"), std::u16string::npos);
  EXPECT_NE(std::u16string(sorted).find(u"<tool_version>1.6.0.0</tool_version>"),
            std::u16string::npos);
}

TEST(FormatWideTest, HeaderTemplateWithEmptyTexts) {
  char16_t hd[kCommentCapacity];
  ASSERT_GT(formatWide(hd, kCommentCapacity, kHDCommentTemplate,
                       {u"", u"", u"", u"", u"", u"", u"1.6.0.0"}),
            0);
  EXPECT_EQ(std::u16string(hd),
            u"<HDcomment><TX></TX><time_source></time_source><common_properties>"
            u"<e name=\"author\"></e><e name=\"department\"></e><e name=\"project\"></e>"
            u"<e name=\"subject\"></e><e name=\"version\">1.6.0.0</e></common_properties>"
            u"</HDcomment>");
}

TEST(FormatWideTest, Directives) {
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
}

TEST(FormatWideTest, ResultFitsExactlyWithItsTerminator) {
  char16_t out[8];
  std::fill(out, out + 8, u'#');
  EXPECT_EQ(formatWide(out, 8, u"%s", {u"1234567"}), 7);
  EXPECT_EQ(std::u16string(out), u"1234567");

  std::fill(out, out + 8, u'#');
  EXPECT_EQ(formatWide(out, 8, u"%s", {u"12345678"}), -1);
  EXPECT_EQ(out[0], u'\0');
  EXPECT_EQ(formatWide(out, 0, u"", {}), -1);
  EXPECT_EQ(formatWide(out, 1, u"", {}), 0);
}

TEST(FormatWideTest, MismatchedArgumentsFail) {
  char16_t out[32] = u"unchanged";
  EXPECT_EQ(formatWide(out, 32, u"%s", {}), -1);
  EXPECT_EQ(out[0], u'\0');
  EXPECT_EQ(formatWide(out, 32, u"%d", {u"x"}), -1);
  EXPECT_EQ(formatWide(out, 32, u"%S", {u"x"}), -1);
  EXPECT_EQ(formatWide(out, 32, u"%x", {1}), -1);
  EXPECT_EQ(formatWide(out, 32, u"50%", {}), -1);
}

// ---- FormatTruncated ---------------------------------------------------------------------

constexpr char16_t kGroupNotFound[] = u"Group '%S' not found";
constexpr size_t kMessageCapacity = 256;

TEST(FormatTruncatedTest, GroupMessageIsCutToTheBuffer) {
  // 18 units of fixed text: a name of 237 characters just fits 255 units.
  const std::string fits(237, 'g');
  const std::u16string whole = FormatTruncated(kMessageCapacity, kGroupNotFound, {fits.c_str()});
  EXPECT_EQ(whole.size(), 255u);
  EXPECT_EQ(whole, u"Group '" + std::u16string(237, u'g') + u"' not found");

  const std::string oneMore(238, 'g');
  const std::u16string cut = FormatTruncated(kMessageCapacity, kGroupNotFound, {oneMore});
  EXPECT_EQ(cut, u"Group '" + std::u16string(238, u'g') + u"' not foun");

  const std::string huge(5000, 'g');
  const std::u16string cutHuge = FormatTruncated(kMessageCapacity, kGroupNotFound, {huge});
  EXPECT_EQ(cutHuge, u"Group '" + std::u16string(248, u'g'));

  EXPECT_EQ(FormatTruncated(kMessageCapacity, kGroupNotFound, {"abc"}), u"Group 'abc' not found");
}

TEST(FormatTruncatedTest, NeverSplitsASurrogatePair) {
  // "ab" then a pair at units 2..3: a cut after 3 units would split it.
  const std::u16string text = u"ab\U0001F600c";
  EXPECT_EQ(FormatTruncated(4, u"%s", {text}), u"ab");
  EXPECT_EQ(FormatTruncated(5, u"%s", {text}), u"ab\U0001F600");
  EXPECT_EQ(FormatTruncated(1, u"%s", {text}), u"");
  EXPECT_EQ(FormatTruncated(0, u"%s", {text}), u"");
  EXPECT_EQ(FormatTruncated(64, u"%d", {u"x"}), u"");
}

}  // namespace
