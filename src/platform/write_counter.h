// The write counter behind the crash hook and the write journal, shared by the file
// implementations of every OS.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qm::os {

// Counts one write or size change; when the crash point set by SetCrashAfterWrites is
// reached, the process ends at once, before the write happens.
void CountWrite();

// Record a completed write, size change or sync in the write journal while it is on.
void JournalWrite(FileHandle h, uint64_t pos, uint32_t n, const void* src);
void JournalSize(FileHandle h, uint64_t size);
void JournalSync(FileHandle h);

}  // namespace qm::os
