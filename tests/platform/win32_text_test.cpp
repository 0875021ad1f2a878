// Tests of the Win32 text layer: narrow text through the runtime's locale, messages as BSTRs.
#include "platform/win32_windows.h"
#include <oleauto.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace qm::os {
namespace {

// Runs a test under one locale and restores the previous one.
class Win32TextTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = std::setlocale(LC_ALL, nullptr); }
  void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }
  std::string saved_;
};

TEST_F(Win32TextTest, DefaultLocaleMapsEveryByteToItsOwnValue) {
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  std::string bytes;
  std::u16string units;
  for (int b = 1; b <= 255; ++b) {
    bytes.push_back(static_cast<char>(b));
    units.push_back(static_cast<char16_t>(b));
  }
  EXPECT_EQ(NarrowToWide(bytes.c_str()), units);
  EXPECT_EQ(WideToNarrow(units.c_str()), bytes);
  EXPECT_EQ(NarrowToWide(""), u"");
  EXPECT_EQ(NarrowToWide(nullptr), u"");
  EXPECT_EQ(WideToNarrow(nullptr), "");

  // A unit the locale cannot express becomes '?', and the rest still comes through.
  EXPECT_EQ(WideToNarrow(u"a\u20acb\u00e9"), "a?b\xE9");
}

TEST_F(Win32TextTest, FollowsTheCurrentLocale) {
  if (std::setlocale(LC_ALL, ".1252") == nullptr) GTEST_SKIP() << "no code page 1252 locale";
  // In code page 1252 the byte 0x80 is the euro sign.
  EXPECT_EQ(NarrowToWide("\x80" "5"), u"\u20ac" "5");
  EXPECT_EQ(WideToNarrow(u"\u20ac" "5"), "\x80" "5");
  EXPECT_EQ(NarrowToWide("caf\xE9"), u"caf\u00e9");
  EXPECT_EQ(WideToNarrow(u"\u4e2d"), "?") << "not in the code page";
}

TEST_F(Win32TextTest, MessagesAreBstrsTheHostCanFree) {
  for (const std::u16string text : {u"File not found", u""}) {
    char16_t* message = AllocMessage(text.c_str());
    ASSERT_NE(message, nullptr);
    BSTR bstr = reinterpret_cast<BSTR>(message);
    EXPECT_EQ(SysStringLen(bstr), text.size());
    EXPECT_EQ(SysStringByteLen(bstr), 2 * text.size());
    uint32_t byteCount;
    std::memcpy(&byteCount, reinterpret_cast<const uint8_t*>(message) - 4, 4);
    EXPECT_EQ(byteCount, 2 * text.size());
    EXPECT_EQ(std::u16string(message), text) << "the text and its terminating zero";
    if (text.empty()) {
      FreeMessage(message);
    } else {
      SysFreeString(bstr);  // what a host does
    }
  }
  EXPECT_EQ(AllocMessage(nullptr), nullptr);
  FreeMessage(nullptr);
}

}  // namespace
}  // namespace qm::os
