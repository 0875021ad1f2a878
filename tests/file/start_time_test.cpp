// Tests of StartTimeRecord: FILETIME conversion and the zone and daylight-saving offsets.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <ctime>
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

class StartTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    qm::os::SetNowOverrideForTests(false, 0);
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
    qm::os::SetNowOverrideForTests(true, now);
  }
  std::optional<std::string> saved_;
};

TEST_F(StartTimeTest, ConvertsFileTimeToNanosecondsAndBack) {
  UseZone("UTC", kJuly2023);
  EXPECT_EQ(From(kEpoch).timeNs, 0);
  EXPECT_EQ(From(kEpoch + 1).timeNs, 100);
  for (uint64_t v : std::initializer_list<uint64_t>{kEpoch, kEpoch + 1, FileTimeOf(kJuly2023) + 12345,
                     kEpoch + (~0ULL / 100) - 1, kEpoch + (~0ULL / 100)}) {
    EXPECT_EQ(toFileTime(From(v)), v) << v;
  }
  // Before 1970 the count is negative.
  EXPECT_EQ(From(kEpoch - 10000000).timeNs, -1000000000);
  EXPECT_EQ(From(FileTimeOf(-142128000)).timeNs, -142128000LL * 1000000000LL);
}

TEST_F(StartTimeTest, BerlinWhileSummerTimeIsInForce) {
  UseZone("Europe/Berlin", kJuly2023);
  const StartTimeRecord summer = From(FileTimeOf(kAugust2022));
  EXPECT_EQ(summer.tzOffsetMin, 60);
  EXPECT_EQ(summer.dstOffsetMin, 60);
  EXPECT_EQ(summer.timeFlags, 2);
  const StartTimeRecord winter = From(FileTimeOf(kDecember2022));
  EXPECT_EQ(winter.tzOffsetMin, 60);
  EXPECT_EQ(winter.dstOffsetMin, 0);
  EXPECT_EQ(winter.timeFlags, 2);
  // A summer instant before 1970 carries no daylight-saving offset.
  EXPECT_EQ(From(FileTimeOf(-142128000)).dstOffsetMin, 0);
}

TEST_F(StartTimeTest, BerlinWhileStandardTimeIsInForceIgnoresTheInstant) {
  UseZone("Europe/Berlin", kJanuary2023);
  const StartTimeRecord summer = From(FileTimeOf(kAugust2022));
  EXPECT_EQ(summer.tzOffsetMin, 60);
  EXPECT_EQ(summer.dstOffsetMin, 0);
  EXPECT_EQ(summer.timeFlags, 2);
}

TEST_F(StartTimeTest, WestOfUtcAndUtcItself) {
  UseZone("America/New_York", kJuly2023);
  const StartTimeRecord ny = From(FileTimeOf(kAugust2022));
  EXPECT_EQ(ny.tzOffsetMin, -300);
  EXPECT_EQ(ny.dstOffsetMin, 60);

  UseZone("UTC", kJuly2023);
  const StartTimeRecord utc = From(FileTimeOf(kAugust2022));
  EXPECT_EQ(utc.tzOffsetMin, 0);
  EXPECT_EQ(utc.dstOffsetMin, 0);
  EXPECT_EQ(utc.timeFlags, 2);
}

TEST_F(StartTimeTest, NowTimeUsesTheCurrentMoment) {
  UseZone("Europe/Berlin", kJuly2023);
  StartTimeRecord rec;
  nowTime(rec);
  EXPECT_EQ(rec.timeNs, kJuly2023 * 1000000000LL);
  EXPECT_EQ(rec.dstOffsetMin, 60);

  qm::os::SetNowOverrideForTests(false, 0);
  nowTime(rec);
  EXPECT_EQ(rec.timeNs % 1000000, 0) << "millisecond resolution";
}

}  // namespace
