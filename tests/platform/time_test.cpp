// Tests of the clocks, the zone information and start-time records under known zones and an injected "now".
#ifdef _WIN32
#include "platform/win32_windows.h"
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>

#include "file/start_time.h"
#include "platform/platform.h"
#include "platform/time_test_hook.h"

namespace qm::os {
namespace {

constexpr uint64_t kEpoch = 116444736000000000ULL;
constexpr int64_t kJuly2023 = 1689422400;      // 2023-07-15 12:00 UTC
constexpr int64_t kJanuary2023 = 1673784000;   // 2023-01-15 12:00 UTC
constexpr int64_t kAugust2022 = 1659312000;    // 2022-08-01 00:00 UTC
constexpr int64_t kDecember2022 = 1669852800;  // 2022-12-01 00:00 UTC
constexpr int64_t kJuly1965 = -142128000;

uint64_t FileTimeOf(int64_t unixSeconds) { return static_cast<uint64_t>(unixSeconds) * 10000000ULL + kEpoch; }

StartTimeRecord From(uint64_t fileTime) {
  StartTimeRecord rec;
  rec.tzOffsetMin = rec.dstOffsetMin = 7;  // fromFileTime resets every field
  rec.timeFlags = 0xFF;
  fromFileTime(rec, fileTime);
  return rec;
}

// One hour east of UTC with summer time from March; ten hours east with summer time from October; UTC.
enum class Zone { kBerlin, kSydney, kUtc };

// On POSIX a test chooses its zone through TZ. Windows takes the zone from the system: a test
// of another zone is skipped there (scripts/test-windows.sh runs the suite in Berlin and again
// in Sydney), and TZ is removed so that the C runtime follows the system too.
class TimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
#ifdef _WIN32
    _putenv_s("TZ", "");
    _tzset();
    ASSERT_NE(GetTimeZoneInformation(&tz_), TIME_ZONE_ID_INVALID);
#endif
  }
  void TearDown() override {
    SetNowOverrideForTests(false, 0);
#ifdef _WIN32
    if (saved_) _putenv_s("TZ", saved_->c_str());
    _tzset();
#else
    if (saved_) setenv("TZ", saved_->c_str(), 1); else unsetenv("TZ");
    tzset();
#endif
  }
  // Makes "now" the given moment in the zone; false when the zone cannot be had here.
  bool UseZone(Zone zone, int64_t now) {
    SetNowOverrideForTests(true, now);
#ifdef _WIN32
    if (zone == Zone::kBerlin) return tz_.Bias == -60 && tz_.DaylightDate.wMonth == 3;
    if (zone == Zone::kSydney) return tz_.Bias == -600 && tz_.DaylightDate.wMonth == 10;
    return tz_.Bias == 0 && tz_.DaylightDate.wMonth == 0;
#else
    setenv("TZ", zone == Zone::kBerlin ? "Europe/Berlin" : zone == Zone::kSydney ? "Australia/Sydney" : "UTC", 1);
    tzset();
    return true;
#endif
  }
#ifdef _WIN32
  TIME_ZONE_INFORMATION tz_{};
#endif
  std::optional<std::string> saved_;
};

// The zone gives its standard bias and whether summer time is in force now; the daylight-saving
// offset of a start time counts only while summer time is in force now.
TEST_F(TimeTest, ZoneAndStartTimeOffsetsFollowTheZoneAndTheSeasonNow) {
  const struct { Zone zone; int64_t now; bool summerNow; int64_t instant; int tz, dst; } cases[] = {
      {Zone::kBerlin, kJuly2023, true, kAugust2022, 60, 60},       {Zone::kBerlin, kJuly2023, true, kDecember2022, 60, 0},
      {Zone::kBerlin, kJuly2023, true, kJuly1965, 60, 0},          {Zone::kBerlin, kJanuary2023, false, kAugust2022, 60, 0},
      {Zone::kSydney, kJanuary2023, true, kDecember2022, 600, 60}, {Zone::kSydney, kJanuary2023, true, kAugust2022, 600, 0},
      {Zone::kSydney, kJuly2023, false, kDecember2022, 600, 0},    {Zone::kUtc, kJuly2023, false, kAugust2022, 0, 0}};
  for (const auto& c : cases) {
    if (!UseZone(c.zone, c.now)) continue;
    SCOPED_TRACE(std::to_string(c.tz) + " now " + std::to_string(c.now) + " at " + std::to_string(c.instant));
    const ZoneInfo zone = CurrentZone();
    EXPECT_TRUE(zone.valid);
    EXPECT_EQ(zone.biasMin, -c.tz) << "standard offset even while summer time is in force";
    if (c.zone != Zone::kUtc) {
      EXPECT_EQ(zone.daylightBiasMin, -60);
    }
    EXPECT_EQ(zone.daylightNow, c.summerNow);
    EXPECT_EQ(IsDaylightAt(FileTimeOf(c.now)), c.summerNow);
    const StartTimeRecord rec = From(FileTimeOf(c.instant));
    EXPECT_EQ(rec.tzOffsetMin, c.tz);
    EXPECT_EQ(rec.dstOffsetMin, c.dst);
    EXPECT_EQ(rec.timeFlags, 2);
  }
}

TEST_F(TimeTest, DaylightTestOutsideTheCalendarRange) {
  if (!UseZone(Zone::kBerlin, kJuly2023)) GTEST_SKIP() << "needs Central European time";
  EXPECT_FALSE(IsDaylightAt(FileTimeOf(kJuly1965))) << "local year before 1970";
  EXPECT_FALSE(IsDaylightAt(0x8000000000000000ULL));
  EXPECT_FALSE(IsDaylightAt(~0ULL));
  // A local year before 1900 is tested as 1970-01-01 00:00 UTC: winter here, summer in the south.
  EXPECT_FALSE(IsDaylightAt(0));
#ifndef _WIN32
  setenv("TZ", "America/Santiago", 1);
  tzset();
  time_t zero = 0;
  tm local{};
  if (localtime_r(&zero, &local) == nullptr || local.tm_isdst <= 0) GTEST_SKIP() << "no summer time at 1970";
  EXPECT_TRUE(IsDaylightAt(FileTimeOf(-5349024000)));  // 1800-07-01
  EXPECT_TRUE(IsDaylightAt(0));                         // 1601-01-01
  EXPECT_FALSE(IsDaylightAt(FileTimeOf(kJuly1965)));
#endif
}

TEST_F(TimeTest, ClocksAndStartTimeNowFollowTheSystemOrTheInjectedMoment) {
  const bool berlin = UseZone(Zone::kBerlin, kJuly2023);
  EXPECT_EQ(CurrentFileTime(), FileTimeOf(kJuly2023));
  StartTimeRecord rec;
  nowTime(rec);
  EXPECT_EQ(rec.timeNs, kJuly2023 * 1000000000LL);
  if (berlin) {
    EXPECT_EQ(rec.dstOffsetMin, 60);
  }
  SetNowOverrideForTests(false, 0);
  const uint64_t ft = CurrentFileTime();
  EXPECT_EQ(ft % 10000, 0u) << "millisecond resolution";
  const int64_t seconds = static_cast<int64_t>((ft - kEpoch) / 10000000ULL);
  EXPECT_LE(std::llabs(seconds - static_cast<int64_t>(std::time(nullptr))), 1);
  nowTime(rec);
  EXPECT_EQ(rec.timeNs % 1000000, 0) << "millisecond resolution";
  EXPECT_GT(rec.timeNs, kJuly2023 * 1000000000LL);
  EXPECT_GT(MonotonicFrequency(), 0);
  const int64_t a = MonotonicTicks();
  EXPECT_LE(a, MonotonicTicks());
}

TEST_F(TimeTest, StartTimeConvertsFileTimeToNanosecondsAndBack) {
  EXPECT_EQ(From(kEpoch).timeNs, 0);
  EXPECT_EQ(From(kEpoch + 1).timeNs, 100);
  EXPECT_EQ(From(kEpoch - 10000000).timeNs, -1000000000) << "negative before 1970";
  for (uint64_t v : std::initializer_list<uint64_t>{kEpoch, kEpoch + 1, FileTimeOf(kJuly2023) + 12345, kEpoch + (~0ULL / 100) - 1,
                     kEpoch + (~0ULL / 100)})
    EXPECT_EQ(toFileTime(From(v)), v) << v;
}

}  // namespace
}  // namespace qm::os
