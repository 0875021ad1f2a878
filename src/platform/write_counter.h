// The write counter behind the crash and fault hooks and the write journal, shared by the
// file implementations of every OS.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qm::os {

// What a write or size change may do: transfer its first `bytes` bytes, then report failure
// when `fail` is set.
struct WritePermit {
  uint32_t bytes;
  bool fail;
};

// Counts one write of n bytes (n = 0 for a size change). When the crash point set by
// SetCrashAfterWrites is reached, the process ends at once, before the write happens; the
// fault set by SetWriteFault shortens or fails the write.
WritePermit CountWrite(uint32_t n);

// Record a completed write or size change in the write journal while it is on.
void JournalWrite(FileHandle h, uint64_t pos, uint32_t n, const void* src);
void JournalSize(FileHandle h, uint64_t size);
// Records a sync while the journal is on and returns true: the power loss is simulated, so
// the disk itself need not be waited for. False (nothing recorded) when it is off.
bool JournalSync(FileHandle h);

}  // namespace qm::os
