// Win32 clocks and time zone: FILETIME now, the system zone's biases, daylight-saving tests.
#include "platform/win32_windows.h"

#include <time.h>

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "platform/time_test_hook.h"

namespace qm::os {
namespace {

// 100 ns intervals from 1601-01-01 to 1970-01-01, and per second.
constexpr uint64_t kEpochDelta = 116444736000000000ULL;
constexpr uint64_t kTicksPerSecond = 10000000ULL;

// The moment a test set as "now", as FILETIME; false when none is set.
bool OverriddenFileTime(uint64_t* fileTime) {
  int64_t seconds;
  if (!NowOverridden(&seconds)) return false;
  *fileTime = static_cast<uint64_t>(seconds) * kTicksPerSecond + kEpochDelta;
  return true;
}

FILETIME ToFileTime(uint64_t value) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

uint64_t FromFileTime(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Whether the system zone shows daylight-saving time at the UTC instant fileTime: the local
// time it converts to lies the daylight bias away from standard time. Serves the injected
// "now" of tests; the system itself answers this for the real current moment.
bool ZoneShowsDaylightAt(const TIME_ZONE_INFORMATION& tz, uint64_t fileTime) {
  if (tz.DaylightDate.wMonth == 0 || tz.DaylightBias == 0) return false;
  const FILETIME ft = ToFileTime(fileTime);
  SYSTEMTIME utc;
  SYSTEMTIME local;
  FILETIME localFt;
  if (!FileTimeToSystemTime(&ft, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
      !SystemTimeToFileTime(&local, &localFt)) {
    return false;
  }
  const auto shiftMin = static_cast<int64_t>(FromFileTime(localFt) - fileTime) /
                        static_cast<int64_t>(60 * kTicksPerSecond);
  return shiftMin == -static_cast<int64_t>(tz.Bias) - tz.DaylightBias;
}

}  // namespace

uint64_t CurrentFileTime() {
  if (uint64_t fileTime; OverriddenFileTime(&fileTime)) return fileTime;
  SYSTEMTIME now;
  GetSystemTime(&now);
  FILETIME ft;
  if (!SystemTimeToFileTime(&now, &ft)) return 0;
  return FromFileTime(ft);
}

ZoneInfo CurrentZone() {
  ZoneInfo zone;
  TIME_ZONE_INFORMATION tz;
  const DWORD result = GetTimeZoneInformation(&tz);
  if (result == TIME_ZONE_ID_INVALID) return zone;
  zone.valid = true;
  zone.biasMin = static_cast<int32_t>(tz.Bias);
  zone.daylightBiasMin = static_cast<int32_t>(tz.DaylightBias);
  uint64_t fileTime;
  zone.daylightNow = OverriddenFileTime(&fileTime) ? ZoneShowsDaylightAt(tz, fileTime)
                                                   : result == TIME_ZONE_ID_DAYLIGHT;
  return zone;
}

bool IsDaylightAt(uint64_t fileTime) {
  // UTC calendar time, then the system zone's local calendar time.
  const FILETIME ft = ToFileTime(fileTime);
  SYSTEMTIME utc;
  SYSTEMTIME local;
  if (!FileTimeToSystemTime(&ft, &utc)) return false;
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return false;

  __time64_t clock;
  if (local.wYear < 1900) {
    // A local year before 1900 stands for the clock value 0.
    clock = 0;
  } else {
    if (local.wYear < 1970 || local.wMonth < 1 || local.wMonth > 12 || local.wDay < 1 ||
        local.wDay > 31 || local.wHour > 23 || local.wMinute > 59 || local.wSecond > 59) {
      return false;
    }
    // Let the runtime's zone rules decide on daylight-saving time for this local time.
    tm fields{};
    fields.tm_year = local.wYear - 1900;
    fields.tm_mon = local.wMonth - 1;
    fields.tm_mday = local.wDay;
    fields.tm_hour = local.wHour;
    fields.tm_min = local.wMinute;
    fields.tm_sec = local.wSecond;
    fields.tm_isdst = -1;
    clock = _mktime64(&fields);
    if (clock == -1) return false;
  }
  tm back{};
  if (_localtime64_s(&back, &clock) != 0) return false;
  return back.tm_isdst > 0;
}

int64_t MonotonicTicks() {
  LARGE_INTEGER ticks;
  QueryPerformanceCounter(&ticks);
  return ticks.QuadPart;
}

int64_t MonotonicFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

}  // namespace qm::os
