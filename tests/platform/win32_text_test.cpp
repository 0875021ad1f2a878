// Tests of the Win32 text layer: narrow text through the runtime's locale, messages as BSTRs.
#include "platform/win32_windows.h"
#include <oleauto.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
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

// In the default locale every byte is the character of its value; otherwise the current
// locale's code page decides, and a unit it cannot express becomes '?'.
TEST_F(Win32TextTest, NarrowTextFollowsTheCurrentLocaleAndMessagesAreBstrs) {
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  std::string bytes;
  std::u16string units;
  for (int b = 1; b <= 255; ++b) {
    bytes.push_back(static_cast<char>(b));
    units.push_back(static_cast<char16_t>(b));
  }
  EXPECT_EQ(NarrowToWide(bytes.c_str()), units);
  EXPECT_EQ(WideToNarrow(units.c_str()), bytes);
  EXPECT_EQ(NarrowToWide(nullptr), u"");
  EXPECT_EQ(WideToNarrow(u"a\u20acb\u00e9"), "a?b\xE9");
  // Messages are BSTRs a host frees with SysFreeString.
  char16_t* message = AllocMessage(u"File not found");
  EXPECT_EQ(SysStringByteLen(reinterpret_cast<BSTR>(message)), 28u);
  EXPECT_EQ(std::u16string(message), u"File not found");
  SysFreeString(reinterpret_cast<BSTR>(message));
  if (std::setlocale(LC_ALL, ".1252") == nullptr) GTEST_SKIP() << "no code page 1252 locale";
  EXPECT_EQ(NarrowToWide("\x80" "5"), u"\u20ac" "5");  // the euro sign in code page 1252
  EXPECT_EQ(WideToNarrow(u"\u20ac" "5\u4e2d"), "\x80" "5?");
}

}  // namespace
}  // namespace qm::os
