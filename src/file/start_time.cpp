// StartTimeRecord from FILETIME instants: UTC nanoseconds plus the zone's offsets.
#include "file/start_time.h"

#include <cstdint>

#include "platform/platform.h"

namespace {

// 100 ns intervals from 1601-01-01 to 1970-01-01, and nanoseconds per interval.
constexpr uint64_t kEpochDelta = 116444736000000000ULL;
constexpr uint64_t kNsPerTick = 100;
// timeFlags bit 1: the two offsets are valid.
constexpr uint8_t kOffsetsValid = 2;

}  // namespace

void fromFileTime(StartTimeRecord& rec, uint64_t fileTime) {
  rec = StartTimeRecord{};
  // Wraps modulo 2^64: an instant before 1970 becomes a negative count.
  rec.timeNs = static_cast<int64_t>((fileTime - kEpochDelta) * kNsPerTick);

  const qm::os::ZoneInfo zone = qm::os::CurrentZone();
  if (!zone.valid) return;
  rec.timeFlags = kOffsetsValid;
  rec.tzOffsetMin = static_cast<int16_t>(-zone.biasMin);
  // The instant is examined only while daylight-saving time is in force at the moment of
  // the call; otherwise its offset stays 0 whatever the instant.
  if (zone.daylightNow && qm::os::IsDaylightAt(fileTime)) {
    rec.dstOffsetMin = static_cast<int16_t>(-zone.daylightBiasMin);
  }
}

void nowTime(StartTimeRecord& rec) { fromFileTime(rec, qm::os::CurrentFileTime()); }

uint64_t toFileTime(const StartTimeRecord& rec) {
  return static_cast<uint64_t>(rec.timeNs) / kNsPerTick + kEpochDelta;
}
