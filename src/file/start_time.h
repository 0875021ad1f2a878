// StartTimeRecord: an instant as nanoseconds since 1970 UTC with the zone's offsets and flags.
#pragma once

#include <cstdint>

struct StartTimeRecord {
  int64_t timeNs = 0;        // nanoseconds since 1970-01-01 00:00 UTC
  int16_t tzOffsetMin = 0;   // local standard time minus UTC
  int16_t dstOffsetMin = 0;  // daylight-saving offset in force at the instant
  uint8_t timeFlags = 0;     // bit 1: the offsets are valid
};

// Fills rec for the FILETIME instant fileTime (100 ns ticks since 1601-01-01 UTC).
void fromFileTime(StartTimeRecord& rec, uint64_t fileTime);
// Fills rec for the current system time (millisecond resolution).
void nowTime(StartTimeRecord& rec);
// The FILETIME of a record: timeNs / 100 (unsigned) + the 1601-to-1970 offset.
uint64_t toFileTime(const StartTimeRecord& rec);
