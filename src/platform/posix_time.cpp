// POSIX clocks and time zone: FILETIME now, the zone's offsets, daylight-saving tests.
#include <time.h>

#include <atomic>
#include <mutex>
#include <cstdint>

#include "platform/platform.h"
#include "platform/time_test_hook.h"

namespace qm::os {
namespace {

// 100 ns intervals from 1601-01-01 to 1970-01-01, and per second.
constexpr uint64_t kEpochDelta = 116444736000000000ULL;
constexpr uint64_t kTicksPerSecond = 10000000ULL;

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

time_t NowSeconds() {
  if (int64_t seconds; NowOverridden(&seconds)) return static_cast<time_t>(seconds);
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

}  // namespace

uint64_t CurrentFileTime() {
  if (int64_t seconds; NowOverridden(&seconds)) return static_cast<uint64_t>(seconds) * kTicksPerSecond + kEpochDelta;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  return static_cast<uint64_t>(ms) * 10000ULL + kEpochDelta;
}

namespace {
// The C library's zone state (tzset, localtime_r, mktime) is shared by the whole process.
// glibc serialises it internally, but with a lock of its own that thread checkers cannot
// see; one lock here makes the library's own use visibly ordered.
std::mutex g_zoneLock;
}  // namespace

ZoneInfo CurrentZone() {
  std::lock_guard<std::mutex> lock(g_zoneLock);
  ZoneInfo zone;
  tzset();
  const time_t now = NowSeconds();
  tm local{};
  if (localtime_r(&now, &local) == nullptr) return zone;

  // The standard and daylight offsets come from instants known to be in each regime: now,
  // and mid-January and mid-July of the current year (one of which is summer in either
  // hemisphere). Now comes first so that its regime wins when the rules changed this year.
  const int64_t year = static_cast<int64_t>(local.tm_year) + 1900;
  const time_t probes[3] = {
      now,
      static_cast<time_t>(DaysFromCivil(year, 1, 15) * 86400 + 12 * 3600),
      static_cast<time_t>(DaysFromCivil(year, 7, 15) * 86400 + 12 * 3600),
  };
  bool haveStandard = false;
  bool haveDaylight = false;
  long standardOffset = 0;  // seconds east of UTC
  long daylightOffset = 0;
  for (time_t t : probes) {
    tm probe{};
    if (localtime_r(&t, &probe) == nullptr) continue;
    if (probe.tm_isdst == 0 && !haveStandard) {
      standardOffset = probe.tm_gmtoff;
      haveStandard = true;
    } else if (probe.tm_isdst > 0 && !haveDaylight) {
      daylightOffset = probe.tm_gmtoff;
      haveDaylight = true;
    }
  }
  if (!haveStandard) {
    if (!haveDaylight) return zone;
    // Daylight-saving time all year: take the customary hour as the difference.
    standardOffset = daylightOffset - 3600;
  }

  zone.valid = true;
  zone.biasMin = static_cast<int32_t>(-(standardOffset / 60));
  zone.daylightBiasMin =
      haveDaylight ? static_cast<int32_t>(-((daylightOffset - standardOffset) / 60)) : 0;
  zone.daylightNow = local.tm_isdst > 0;
  return zone;
}

bool IsDaylightAt(uint64_t fileTime) {
  std::lock_guard<std::mutex> lock(g_zoneLock);
  // FILETIME values with the top bit set are not convertible to a calendar time.
  if (fileTime > static_cast<uint64_t>(INT64_MAX)) return false;
  int64_t seconds;
  if (fileTime >= kEpochDelta) {
    seconds = static_cast<int64_t>((fileTime - kEpochDelta) / kTicksPerSecond);
  } else {
    // Round toward minus infinity so that an instant before 1970 keeps its calendar second.
    const uint64_t before = kEpochDelta - fileTime;
    seconds = -static_cast<int64_t>((before + kTicksPerSecond - 1) / kTicksPerSecond);
  }
  const auto instant = static_cast<time_t>(seconds);
  if (static_cast<int64_t>(instant) != seconds) return false;

  tzset();
  tm local{};
  if (localtime_r(&instant, &local) == nullptr) return false;
  const int64_t year = static_cast<int64_t>(local.tm_year) + 1900;

  time_t clock;
  if (year < 1900) {
    // A local year before 1900 stands for the clock value 0.
    clock = 0;
  } else if (year < 1970) {
    return false;
  } else {
    // Let the zone's rules decide on daylight-saving time for this local time.
    local.tm_isdst = -1;
    clock = mktime(&local);
    if (clock == static_cast<time_t>(-1)) return false;
  }
  tm back{};
  if (localtime_r(&clock, &back) == nullptr) return false;
  return back.tm_isdst > 0;
}

int64_t MonotonicTicks() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t MonotonicFrequency() { return 1000000000LL; }

}  // namespace qm::os
