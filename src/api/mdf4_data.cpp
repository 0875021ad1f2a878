// MDF4_AddChannelData1D/2D and the limit-group functions: records appended through one stream per call.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "api/file_context.h"
#include "api/group_names.h"
#include "api/handle_errors.h"
#include "api/write_call.h"
#include "file/xml_text.h"
#include "block/byte_order.h"
#include "platform/platform.h"
#include "stream/data_stream.h"
#include "quillmark/quillmark.h"

using namespace qm;
using namespace qm::api;

namespace {

// Appends count records of the group: the 2-byte record ID, then the sample's values as
// rowAt(i) gives them (recordSize bytes). The stream is finished before returning, so the
// file is complete; the cycle count goes to disk last. A call whose writes fail is taken
// back: the file keeps exactly the earlier calls.
template <class RowAt>
bool AppendSamples(MDF4Handle* h, MDF4FileContext& ctx, const GroupEntry& entry, uint64_t count, RowAt rowAt) {
  M4DGBlock* dg = ctx.currentDataGroup;
  // Records of this library carry 2-byte IDs; another layout (a sorted file, another
  // writer's IDs) would be damaged by them.
  if (dg == nullptr || dg->dg_rec_id_size != fmt::kUnsortedRecordIdSize ||
      entry.recordSize > std::numeric_limits<uint32_t>::max()) {
    RecordError(h, MDF4_ERR_CANNOT_APPEND, kMsgCannotAppend);
    return false;
  }
  WriteCall call(h, ctx);
  if (ctx.appender && !ctx.appender->Resume()) ctx.appender.reset();
  if (!ctx.appender) {
    ctx.appender = std::make_unique<m4DataStreamEx>(dg, ctx.file.Counters(), fmt::kDataBlockCapacity,
                                                     fmt::kListEntries, fmt::kDT);
    if (!ctx.appender->IsReady()) {
      ctx.appender.reset();
      RecordError(h, MDF4_ERR_CANNOT_APPEND, kMsgCannotAppend);
      return false;
    }
  }
  m4DataStreamEx& stream = *ctx.appender;
  uint8_t id[2];
  StoreLE16(id, entry.recordId);
  const auto size = static_cast<uint32_t>(entry.recordSize);
  stream.WriteRecords(id, size, count, rowAt);
  ctx.file.AddCycles(entry.counterKey, count);
  // A sync barrier around the length, list entries and counts: records, sync, then what
  // links to and counts them, sync. Then the call's samples survive a power loss.
  const int64_t now = ctx.sync == SyncPolicy::kInterval ? os::MonotonicTicks() : 0;
  const bool barrier = ctx.sync == SyncPolicy::kAlways ||
                       (ctx.sync == SyncPolicy::kInterval && now - ctx.lastSyncTicks >= ctx.syncIntervalTicks);
  stream.SetSyncBarrier(barrier);
  stream.Finish();
  if (barrier) {
    ctx.file.Direct().Sync();
    ctx.lastSyncTicks = now;
  }
  if (!ctx.keepAppender) ctx.appender.reset();
  return call.Done() && h->errorCode == 0;
}

// The registered group of that name, or null after recording "Group '...' not found".
const GroupEntry* FindGroup(MDF4Handle* h, MDF4FileContext& ctx, const char* groupName) {
  auto it = ctx.groups.find(GroupKey(groupName));
  if (it != ctx.groups.end()) return &it->second;
  RecordGroupNotFound(h, groupName);
  return nullptr;
}

bool Data1DImpl(MDF4Handle* h, const char* groupName, const double* values, uint32_t count) {
  MDF4FileContext* ctx = UsableContext(h);
  if (ctx == nullptr) return false;
  if (groupName == nullptr || (values == nullptr && count != 0)) {
    RecordError(h, MDF4_ERR_INVALID_ARGUMENT, kMsgInvalid);
    return false;
  }
  const GroupEntry* entry = FindGroup(h, *ctx, groupName);
  if (entry == nullptr) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(values);
  const uint64_t stride = entry->recordSize;
  return AppendSamples(h, *ctx, *entry, count, [&](uint64_t i) { return bytes + i * stride; });
}

bool Data2DImpl(MDF4Handle* h, const char* groupName, double** rows, int32_t count) {
  MDF4FileContext* ctx = UsableContext(h);
  if (ctx == nullptr) return false;
  // A negative count, or missing rows, is refused before anything is written.
  if (groupName == nullptr || count < 0 || (rows == nullptr && count > 0)) {
    RecordError(h, MDF4_ERR_INVALID_ARGUMENT, kMsgInvalid);
    return false;
  }
  for (int32_t r = 0; r < count; ++r) {
    if (rows[r] == nullptr) {
      RecordError(h, MDF4_ERR_INVALID_ARGUMENT, kMsgInvalid);
      return false;
    }
  }
  const GroupEntry* entry = FindGroup(h, *ctx, groupName);
  if (entry == nullptr) return false;
  // Each row holds the group's full record (recordSize / 8 doubles, also beyond 255
  // channels); rows are appended straight from the host's arrays, without a copy.
  return AppendSamples(h, *ctx, *entry, static_cast<uint64_t>(count),
                       [&](uint64_t i) { return reinterpret_cast<const uint8_t*>(rows[i]); });
}

const char* GroupNameImpl(MDF4Handle* h, int32_t limitId) {
  if (h == nullptr || h->file == nullptr || !h->file->ready) return nullptr;
  const std::string prefix = "[" + std::to_string(limitId) + "]";
  const GroupRegistry& groups = h->file->groups;
  auto it = groups.lower_bound(prefix);
  if (it == groups.end() || it->first.compare(0, prefix.size(), prefix) != 0) return nullptr;
  return it->first.c_str();
}

int32_t* LimitIdsImpl(MDF4Handle* h, int32_t* count) {
  if (count != nullptr) *count = 0;
  if (h == nullptr || count == nullptr || h->file == nullptr || !h->file->ready) return nullptr;
  std::vector<int32_t> ids;
  for (const auto& [key, entry] : h->file->groups) {
    if (key.size() < 2 || key[0] != '[') continue;
    const std::string inner = key.substr(1, key.size() - 2);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(inner.c_str(), &end, 10);
    // A name whose inner part holds no number, or one outside 32 bits, is skipped.
    if (end == inner.c_str() || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) continue;
    ids.push_back(static_cast<int32_t>(value));
  }
  if (ids.empty()) return nullptr;
  auto* array = new int32_t[ids.size()];
  std::memcpy(array, ids.data(), ids.size() * sizeof(int32_t));
  *count = static_cast<int32_t>(ids.size());
  return array;
}

}  // namespace

extern "C" QM_API bool MDF4_AddChannelData1D(MDF4Handle* h, const char* groupName, const double* values,
                                             uint32_t count) {
  return Guarded(h, [&] { return Data1DImpl(h, groupName, values, count); });
}

extern "C" QM_API bool MDF4_AddChannelData2D(MDF4Handle* h, const char* groupName, double** rows,
                                             int32_t count) {
  return Guarded(h, [&] { return Data2DImpl(h, groupName, rows, count); });
}

extern "C" QM_API const char* MDF4_LTT_GetChannelGroupName(MDF4Handle* h, int32_t limitId) {
  try {
    return GroupNameImpl(h, limitId);
  } catch (...) {
    return nullptr;
  }
}

extern "C" QM_API bool MDF4_LTT_AddChannelData(MDF4Handle* h, int32_t limitId, const double* values,
                                               uint32_t count) {
  if (h == nullptr) return false;
  const char* name = MDF4_LTT_GetChannelGroupName(h, limitId);
  if (name == nullptr) {
    if (UsableContext(h) == nullptr) return false;
    try {
      RecordError(h, MDF4_ERR_LIMIT, formatTruncated(kMessageCapacity, kMsgLimitNotFound, {limitId}));
    } catch (...) {
      RecordError(h, MDF4_ERR_OUT_OF_MEMORY, kMsgOutOfMemory);
    }
    return false;
  }
  return MDF4_AddChannelData1D(h, name, values, count);
}

extern "C" QM_API int32_t* MDF4_LTT_GetLimitIDs(MDF4Handle* h, int32_t* count) {
  try {
    return LimitIdsImpl(h, count);
  } catch (...) {
    if (count != nullptr) *count = 0;
    return nullptr;
  }
}
