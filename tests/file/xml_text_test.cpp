// Tests of the wide text helpers: XML escaping, bounded formatting, message cutting.
#include "file/xml_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

namespace {

// The templates of the comments are checked byte for byte by the interface tests.
TEST(EscapeXmlTest, MarkupReferencesAndSurrogates) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\"'&<>", u"&quot;&apos;&amp;&lt;&gt;"},
      {u" ~AZ09", u" ~AZ09"},
      {u"\t\u00E9\uABCD", u"&#x0009;&#x00E9;&#xABCD;"},  // upper-case digits
      {std::u16string{0x7F, 0x00}, u"&#x007F;&#x0000;"},
      {u"\U0001F600\U0010FFFFx", u"&#x01F600;&#x10FFFF;x"},  // a pair is one reference
      // Unpaired surrogates are written alone; of two highs in a row the second pairs.
      {std::u16string{0xD83D, u'&'}, u"&#xD83D;&amp;"},
      {std::u16string{0xDE00, u'a', 0xD83D}, u"&#xDE00;a&#xD83D;"},
      {std::u16string{0xD83D, 0xD83D, 0xDE00}, u"&#xD83D;&#x01F600;"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(escapeXml(in), out);
}

}  // namespace
