// Tests of StartTimeRecord on Windows: FILETIME conversion and offsets from the system zone.
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
#include <initializer_list>
#include <optional>
#include <string>

#include "file/start_time.h"
#include "platform/time_test_hook.h"

namespace {

constexpr uint64_t kEpoch = 116444736000000000ULL;
constexpr int64_t kJuly2023 = 1689422400;     // 2023-07-15 12:00 UTC
constexpr int64_t kJanuary2023 = 1673784000;  // 2023-01-15 12:00 UTC
constexpr int64_t kAugust2022 = 1659312000;   // 2022-08-01 00:00 UTC
constexpr int64_t kDecember2022 = 1669852800; // 2022-12-01 00:00 UTC

uint64_t FileTimeOf(int64_t unixSeconds) {
  return static_cast<uint64_t>(unixSeconds) * 10000000ULL + kEpoch;
}

StartTimeRecord From(uint64_t fileTime) {
  StartTimeRecord rec;
  rec.tzOffsetMin = 7;  // fromFileTime resets every field
  rec.dstOffsetMin = 7;
  rec.timeFlags = 0xFF;
  fromFileTime(rec, fileTime);
  return rec;
}

// The zone is the system's (scripts/test-windows.sh runs the suite in Central Europe and
// again in Eastern Australia); TZ is removed so that the runtime follows the system too.
class Win32StartTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = getenv("TZ")) saved_ = tz;
    _putenv_s("TZ", "");
    _tzset();
    ASSERT_NE(GetTimeZoneInformation(&tz_), TIME_ZONE_ID_INVALID);
  }
  void TearDown() override {
    qm::os::SetNowOverrideForTests(false, 0);
    if (saved_) _putenv_s("TZ", saved_->c_str());
    _tzset();
  }
  void Now(int64_t unixSeconds) { qm::os::SetNowOverrideForTests(true, unixSeconds); }
  bool InCentralEurope() const { return tz_.Bias == -60 && tz_.DaylightDate.wMonth == 3; }
  bool InEasternAustralia() const { return tz_.Bias == -600 && tz_.DaylightDate.wMonth == 10; }

  TIME_ZONE_INFORMATION tz_{};
  std::optional<std::string> saved_;
};

TEST_F(Win32StartTimeTest, ConvertsFileTimeToNanosecondsAndBack) {
  EXPECT_EQ(From(kEpoch).timeNs, 0);
  EXPECT_EQ(From(kEpoch + 1).timeNs, 100);
  for (uint64_t v : std::initializer_list<uint64_t>{kEpoch, kEpoch + 1, FileTimeOf(kJuly2023) + 12345,
                                                    kEpoch + (~0ULL / 100) - 1,
                                                    kEpoch + (~0ULL / 100)}) {
    EXPECT_EQ(toFileTime(From(v)), v) << v;
  }
  EXPECT_EQ(From(kEpoch - 10000000).timeNs, -1000000000);
  const StartTimeRecord rec = From(FileTimeOf(kJuly2023));
  EXPECT_EQ(rec.timeFlags, 2);
  EXPECT_EQ(rec.tzOffsetMin, -tz_.Bias);
}

TEST_F(Win32StartTimeTest, SummerInstantCountsOnlyWhileSummerTimeIsInForce) {
  // The moments at which summer and standard time are in force in this zone.
  int64_t summerNow;
  int64_t winterNow;
  uint64_t summerInstant;
  uint64_t winterInstant;
  if (InCentralEurope()) {
    summerNow = kJuly2023;
    winterNow = kJanuary2023;
    summerInstant = FileTimeOf(kAugust2022);
    winterInstant = FileTimeOf(kDecember2022);
  } else if (InEasternAustralia()) {
    summerNow = kJanuary2023;
    winterNow = kJuly2023;
    summerInstant = FileTimeOf(kDecember2022);
    winterInstant = FileTimeOf(kAugust2022);
  } else {
    GTEST_SKIP() << "needs Central European or Eastern Australian time";
  }
  const int16_t standard = static_cast<int16_t>(-tz_.Bias);

  Now(summerNow);
  StartTimeRecord rec = From(summerInstant);
  EXPECT_EQ(rec.tzOffsetMin, standard);
  EXPECT_EQ(rec.dstOffsetMin, 60);
  EXPECT_EQ(rec.timeFlags, 2);
  rec = From(winterInstant);
  EXPECT_EQ(rec.tzOffsetMin, standard);
  EXPECT_EQ(rec.dstOffsetMin, 0);
  // A summer instant before 1970 carries no daylight-saving offset.
  EXPECT_EQ(From(FileTimeOf(InCentralEurope() ? -142128000 : -126489600)).dstOffsetMin, 0);

  Now(winterNow);
  rec = From(summerInstant);
  EXPECT_EQ(rec.tzOffsetMin, standard);
  EXPECT_EQ(rec.dstOffsetMin, 0) << "the instant is not examined while standard time is in force";

  Now(summerNow);
  nowTime(rec);
  EXPECT_EQ(rec.timeNs, summerNow * 1000000000LL);
  EXPECT_EQ(rec.dstOffsetMin, 60);
}

TEST_F(Win32StartTimeTest, NowTimeHasMillisecondResolution) {
  StartTimeRecord rec;
  nowTime(rec);
  EXPECT_EQ(rec.timeNs % 1000000, 0);
  EXPECT_GT(rec.timeNs, kJuly2023 * 1000000000LL);
  EXPECT_EQ(rec.timeFlags, 2);
}

}  // namespace
