// Tests of Utf8Decoder: block text bytes back to 16-bit text, malformed input and line ends.
#include "block/utf8_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::u16string Decode(std::vector<uint8_t> bytes) {
  return DecodeBlockText(bytes.data(), bytes.size());
}

TEST(Utf8DecoderTest, WellFormedTextAndLineFeeds) {
  EXPECT_EQ(Decode({0x41, 0x0A, 0x42}), u"A\r\nB");
  EXPECT_EQ(Decode({0xD0, 0xB0}), u"\u0430");
  EXPECT_EQ(Decode({0xE2, 0x82, 0xAC, 0x41}), u"\u20ACA");
  EXPECT_EQ(Decode({0x0A, 0x0A}), u"\r\n\r\n");
  EXPECT_EQ(Decode({}), u"");
}

TEST(Utf8DecoderTest, BrokenSequenceWritesOneSpaceAndSwallowsTheByte) {
  EXPECT_EQ(Decode({0xC3, 0x41}), u" ");
  EXPECT_EQ(Decode({0xE2, 0x82, 0x41, 0x42}), u" B");
  // The interrupting byte is not taken as a new lead byte either.
  EXPECT_EQ(Decode({0xC3, 0xD0, 0xB0}), u"  ");
}

TEST(Utf8DecoderTest, FourByteSequenceBecomesOneSpace) {
  EXPECT_EQ(Decode({0x61, 0xF0, 0x9F, 0x98, 0x80, 0x62}), u"a b");
}

TEST(Utf8DecoderTest, SequenceOpenAtTheEndWritesOneSpace) {
  EXPECT_EQ(Decode({0x41, 0xE2, 0x82}), u"A ");
  EXPECT_EQ(Decode({0xF0}), u" ");
}

TEST(Utf8DecoderTest, StrayContinuationBytesWriteOneSpaceEach) {
  EXPECT_EQ(Decode({0x80, 0x41, 0xBF, 0xBF}), u" A  ");
}

TEST(Utf8DecoderTest, OverlongFormsAreDecoded) {
  EXPECT_EQ(Decode({0xC1, 0x81}), u"A");
  EXPECT_EQ(Decode({0xC0, 0x8A}), u"\r\n");  // an overlong line feed is still a line feed
}

TEST(Utf8DecoderTest, StopsAtFirstZeroByte) {
  EXPECT_EQ(Decode({'a', 'b', 'c', 0, 0, 0, 0}), u"abc");
  EXPECT_EQ(Decode({'a', 0, 'b'}), u"a");
  // A sequence cut by the NUL is closed as at the end of the bytes.
  EXPECT_EQ(Decode({0xC3, 0x00, 0xA9}), u" ");
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
