// The write counter behind the crash hook, shared by the file implementations of every OS.
#pragma once

namespace qm::os {

// Counts one write or size change; when the crash point set by SetCrashAfterWrites is
// reached, the process ends at once, before the write happens.
void CountWrite();

}  // namespace qm::os
