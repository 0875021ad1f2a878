// Tests of the POSIX clocks and zone information under fixed zones and an injected "now".
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
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

// Runs each test under a chosen TZ and restores the process's TZ and clock afterwards.
class PosixTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    SetNowOverrideForTests(false, 0);
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  void UseZone(const char* tz, int64_t now) {
    setenv("TZ", tz, 1);
    tzset();
    SetNowOverrideForTests(true, now);
  }
  std::optional<std::string> saved_;
};

TEST_F(PosixTimeTest, BerlinInSummerAndWinter) {
  for (int64_t now : {kJuly2023, kJanuary2023}) {
    UseZone("Europe/Berlin", now);
    const ZoneInfo zone = CurrentZone();
    EXPECT_TRUE(zone.valid);
    EXPECT_EQ(zone.biasMin, -60) << "standard offset even while summer time is in force";
    EXPECT_EQ(zone.daylightBiasMin, -60);
    EXPECT_EQ(zone.daylightNow, now == kJuly2023);
  }
  EXPECT_TRUE(IsDaylightAt(FileTimeOf(kJuly2023)));
  EXPECT_FALSE(IsDaylightAt(FileTimeOf(kJanuary2023)));
}

TEST_F(PosixTimeTest, SouthernAndWesternZones) {
  // Sydney: summer time in January, standard +10:00.
  UseZone("Australia/Sydney", kJanuary2023);
  ZoneInfo zone = CurrentZone();
  EXPECT_EQ(zone.biasMin, -600);
  EXPECT_EQ(zone.daylightBiasMin, -60);
  EXPECT_TRUE(zone.daylightNow);
  UseZone("Australia/Sydney", kJuly2023);
  EXPECT_FALSE(CurrentZone().daylightNow);

  UseZone("America/New_York", kJuly2023);
  zone = CurrentZone();
  EXPECT_EQ(zone.biasMin, 300);
  EXPECT_EQ(zone.daylightBiasMin, -60);
  EXPECT_TRUE(zone.daylightNow);
}

TEST_F(PosixTimeTest, DaylightTestOutsideTheCalendarRange) {
  UseZone("Europe/Berlin", kJuly2023);
  EXPECT_FALSE(IsDaylightAt(FileTimeOf(-142128000)));  // 1965-07-01: local year before 1970
  EXPECT_FALSE(IsDaylightAt(0x8000000000000000ULL));
  EXPECT_FALSE(IsDaylightAt(~0ULL));

  // A local year before 1900 is tested as the instant 1970-01-01 00:00 UTC, which in
  // Santiago falls in summer time.
  UseZone("America/Santiago", kJanuary2023);
  time_t zero = 0;
  tm local{};
  if (localtime_r(&zero, &local) == nullptr || local.tm_isdst <= 0) {
    GTEST_SKIP() << "zone data without summer time at 1970-01-01";
  }
  EXPECT_TRUE(IsDaylightAt(FileTimeOf(-5349024000)));  // 1800-07-01
  EXPECT_TRUE(IsDaylightAt(0));                         // 1601-01-01
  EXPECT_FALSE(IsDaylightAt(FileTimeOf(-142128000)));
}

TEST_F(PosixTimeTest, CurrentFileTimeFollowsTheClock) {
  SetNowOverrideForTests(true, kJuly2023);
  EXPECT_EQ(CurrentFileTime(), FileTimeOf(kJuly2023));
  SetNowOverrideForTests(false, 0);

  const uint64_t ft = CurrentFileTime();
  EXPECT_EQ(ft % 10000, 0u) << "millisecond resolution";
  EXPECT_GT(ft, FileTimeOf(kJuly2023));
  const int64_t unixNow = static_cast<int64_t>(std::time(nullptr));
  EXPECT_LE(static_cast<int64_t>((ft - 116444736000000000ULL) / 10000000ULL) - unixNow, 1);

  EXPECT_EQ(MonotonicFrequency(), 1000000000);
  const int64_t a = MonotonicTicks();
  EXPECT_LE(a, MonotonicTicks());
}

}  // namespace
}  // namespace qm::os
