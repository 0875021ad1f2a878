// Tests of the Win32 clocks and zone information: the zone is the system's, "now" injected.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/time_test_hook.h"

namespace qm::os {
namespace {

constexpr int64_t kJuly2023 = 1689422400;     // 2023-07-15 12:00 UTC
constexpr int64_t kJanuary2023 = 1673784000;  // 2023-01-15 12:00 UTC

uint64_t FileTimeOf(int64_t unixSeconds) {
  return static_cast<uint64_t>(unixSeconds) * 10000000ULL + 116444736000000000ULL;
}

// The zone is the system's and cannot be chosen here: tests that need a particular one
// skip elsewhere (scripts/test-windows.sh runs them under two). A TZ variable would make
// the runtime's mktime and localtime follow other rules than the system, so it is removed
// while a test runs.
class Win32TimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = getenv("TZ")) saved_ = tz;
    _putenv_s("TZ", "");
    _tzset();
    system_ = GetTimeZoneInformation(&tz_);
    ASSERT_NE(system_, TIME_ZONE_ID_INVALID);
  }
  void TearDown() override {
    SetNowOverrideForTests(false, 0);
    if (saved_) _putenv_s("TZ", saved_->c_str());
    _tzset();
  }
  // Central Europe: one hour east of UTC, summer time from March to October.
  bool InCentralEurope() const { return tz_.Bias == -60 && tz_.DaylightDate.wMonth == 3; }
  // Eastern Australia: ten hours east, summer time from October to April.
  bool InEasternAustralia() const { return tz_.Bias == -600 && tz_.DaylightDate.wMonth == 10; }

  TIME_ZONE_INFORMATION tz_{};
  DWORD system_ = TIME_ZONE_ID_INVALID;
  std::optional<std::string> saved_;
};

TEST_F(Win32TimeTest, ZoneBiasesMatchTheLocalClock) {
  const ZoneInfo zone = CurrentZone();
  ASSERT_TRUE(zone.valid);
  EXPECT_EQ(zone.daylightNow, system_ == TIME_ZONE_ID_DAYLIGHT);

  // Local minus UTC right now, from the system's own conversion: the biases carry the
  // Windows sign (UTC minus local).
  SYSTEMTIME utc;
  SYSTEMTIME local;
  GetSystemTime(&utc);
  ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  FILETIME a;
  FILETIME b;
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &a));
  ASSERT_TRUE(SystemTimeToFileTime(&local, &b));
  const int64_t u = (static_cast<int64_t>(a.dwHighDateTime) << 32) | a.dwLowDateTime;
  const int64_t l = (static_cast<int64_t>(b.dwHighDateTime) << 32) | b.dwLowDateTime;
  const int64_t shiftMin = (l - u) / 600000000;
  EXPECT_EQ(shiftMin, -(zone.biasMin + (zone.daylightNow ? zone.daylightBiasMin : 0)));
}

TEST_F(Win32TimeTest, InjectedNowDecidesWhetherSummerTimeIsInForce) {
  SetNowOverrideForTests(true, kJuly2023);
  const ZoneInfo july = CurrentZone();
  SetNowOverrideForTests(true, kJanuary2023);
  const ZoneInfo january = CurrentZone();
  EXPECT_EQ(july.biasMin, january.biasMin) << "the standard bias whatever the season";

  // The injected moment and the instant test agree in every zone.
  EXPECT_EQ(july.daylightNow, IsDaylightAt(FileTimeOf(kJuly2023)));
  EXPECT_EQ(january.daylightNow, IsDaylightAt(FileTimeOf(kJanuary2023)));

  if (InCentralEurope()) {
    EXPECT_EQ(july.biasMin, -60);
    EXPECT_EQ(july.daylightBiasMin, -60);
    EXPECT_TRUE(july.daylightNow);
    EXPECT_FALSE(january.daylightNow);
  } else if (InEasternAustralia()) {
    EXPECT_EQ(july.biasMin, -600);
    EXPECT_FALSE(july.daylightNow);
    EXPECT_TRUE(january.daylightNow);
  } else if (tz_.DaylightDate.wMonth == 0) {
    EXPECT_FALSE(july.daylightNow);
    EXPECT_FALSE(january.daylightNow);
  }
}

TEST_F(Win32TimeTest, DaylightTestOutsideTheCalendarRange) {
  EXPECT_FALSE(IsDaylightAt(FileTimeOf(-142128000)));  // 1965-07-01: local year before 1970
  EXPECT_FALSE(IsDaylightAt(FileTimeOf(-126489600)));  // 1965-12-29: the same in the south
  EXPECT_FALSE(IsDaylightAt(0x8000000000000000ULL)) << "not convertible to a calendar time";
  EXPECT_FALSE(IsDaylightAt(~0ULL));

  // A local year before 1900 is tested as the clock value 0, 1970-01-01 00:00 UTC: January,
  // summer in the south.
  if (InEasternAustralia()) {
    EXPECT_TRUE(IsDaylightAt(FileTimeOf(-5349024000)));  // 1800-07-01
    EXPECT_TRUE(IsDaylightAt(0));                         // 1601-01-01
  } else if (InCentralEurope()) {
    EXPECT_FALSE(IsDaylightAt(FileTimeOf(-5349024000)));
    EXPECT_FALSE(IsDaylightAt(0));
  }
}

TEST_F(Win32TimeTest, CurrentFileTimeFollowsTheClock) {
  SetNowOverrideForTests(true, kJuly2023);
  EXPECT_EQ(CurrentFileTime(), FileTimeOf(kJuly2023));
  SetNowOverrideForTests(false, 0);

  const uint64_t ft = CurrentFileTime();
  EXPECT_EQ(ft % 10000, 0u) << "millisecond resolution";
  EXPECT_GT(ft, FileTimeOf(kJuly2023));
  const int64_t unixNow = static_cast<int64_t>(std::time(nullptr));
  const int64_t seconds = static_cast<int64_t>((ft - 116444736000000000ULL) / 10000000ULL);
  EXPECT_LE(seconds - unixNow, 1);
  EXPECT_LE(unixNow - seconds, 1);

  EXPECT_GT(MonotonicFrequency(), 0);
  const int64_t a = MonotonicTicks();
  EXPECT_LE(a, MonotonicTicks());
}

}  // namespace
}  // namespace qm::os
