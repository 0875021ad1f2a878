// Tests of the clocks, the zone information and start-time records under known zones and an injected "now".
#ifdef _WIN32
#include "platform/win32_windows.h"
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
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
  rec.timeFlags = 0xFF;  // fromFileTime sets every field
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
    EXPECT_EQ(zone.daylightBiasMin, c.zone == Zone::kUtc ? zone.daylightBiasMin : -60);
    EXPECT_EQ(zone.daylightNow, c.summerNow);
    EXPECT_EQ(IsDaylightAt(FileTimeOf(c.now)), c.summerNow);
    const StartTimeRecord rec = From(FileTimeOf(c.instant));
    EXPECT_EQ(rec.tzOffsetMin, c.tz);
    EXPECT_EQ(rec.dstOffsetMin, c.dst);
    EXPECT_EQ(rec.timeFlags, 2);
  }
}

}  // namespace
}  // namespace qm::os
