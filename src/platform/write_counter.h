// The write counter behind the crash and fault hooks, shared by the file implementations of every OS.
#pragma once

#include <cstdint>

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

}  // namespace qm::os
