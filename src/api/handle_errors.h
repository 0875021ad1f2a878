// Error codes and messages recorded in the host's handle, and argument checks shared by the exports.
#pragma once

#include <cstdint>
#include <string_view>

#include "api/file_context.h"
#include "quillmark/quillmark.h"

namespace qm::api {

// Message buffer size of the formatted messages, terminator included.
constexpr size_t kMessageCapacity = 256;

constexpr char16_t kMsgOpen[] = u"Error opening MDF file";
constexpr char16_t kMsgNoDataGroup[] = u"Error opening MDF file - File contains no data group";
constexpr char16_t kMsgCreate[] = u"Error creating MDF file";
constexpr char16_t kMsgInvalid[] = u"Invalid argument";
constexpr char16_t kMsgGroupExists[] = u"Group already exists";
constexpr char16_t kMsgGroupNotFound[] = u"Group '%S' not found";
constexpr char16_t kMsgNotNewest[] = u"Channels can only be added to the newest group";
constexpr char16_t kMsgCannotAppend[] = u"Data cannot be appended to this file";
constexpr char16_t kMsgWrite[] = u"Error writing MDF file";
constexpr char16_t kMsgOutOfMemory[] = u"Out of memory";
constexpr char16_t kMsgTooManyGroups[] = u"Too many channel groups";
constexpr char16_t kMsgLimitNotFound[] = u"limit '%d' not found";
constexpr char16_t kMsgRecordsExist[] = u"Channels cannot be added to a group that has data";
constexpr char16_t kMsgSyncPolicy[] = u"Unknown QUILLMARK_SYNC value";

// Sets errorCode and a newly allocated message. The previous message is not freed: it
// belongs to the host.
void RecordError(MDF4Handle* h, int32_t code, std::u16string_view message);
void RecordGroupNotFound(MDF4Handle* h, const char* name);

// The handle's context when the handle, its context and its open file are usable;
// otherwise null, after recording "Invalid argument" (or, for a damaged context, "Error
// writing MDF file") unless an error is already recorded (a failed create leaves its own
// error in place).
MDF4FileContext* UsableContext(MDF4Handle* h);

// Runs an export's body so that nothing escapes the C boundary: anything thrown (in
// practice a failed allocation) is recorded as "Out of memory" and the call returns false.
template <class Body>
bool Guarded(MDF4Handle* h, Body body) {
  try {
    return body();
  } catch (...) {
    RecordError(h, MDF4_ERR_OUT_OF_MEMORY, kMsgOutOfMemory);
    return false;
  }
}

}  // namespace qm::api
