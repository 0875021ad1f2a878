// Test-only control of the moment the platform clock functions take as "now".
#pragma once

#include <cstdint>

namespace qm::os {

// While enabled, CurrentFileTime and CurrentZone use unixSeconds (seconds since 1970-01-01
// 00:00 UTC) as the current moment instead of the system clock: CurrentZone then tells
// whether daylight-saving time is in force at that moment. Not for concurrent use.
void SetNowOverrideForTests(bool enabled, int64_t unixSeconds);

// For the clock implementations: true, with the moment in *unixSeconds, while a test has
// set one.
bool NowOverridden(int64_t* unixSeconds);

}  // namespace qm::os
