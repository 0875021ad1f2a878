// The crash and fault hooks: a process-wide count of writes and size changes, and the points
// at which to stop or fail.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/write_counter.h"

namespace qm::os {
namespace {

std::atomic<uint64_t> g_writeCount{0};
std::atomic<uint64_t> g_crashAt{0};  // 0: never
std::atomic<uint64_t> g_faultAt{0};  // 0: never
std::atomic<WriteFault> g_faultKind{WriteFault::kNone};

}  // namespace

WritePermit CountWrite(uint32_t n) {
  const uint64_t count = g_writeCount.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t crashAt = g_crashAt.load(std::memory_order_relaxed);
  // Ends like a crash: no destructors, no flushing of the process's own buffers.
  if (crashAt != 0 && count == crashAt) std::_Exit(77);
  const uint64_t faultAt = g_faultAt.load(std::memory_order_relaxed);
  if (faultAt == 0 || count < faultAt) return {n, false};
  switch (g_faultKind.load(std::memory_order_relaxed)) {
    case WriteFault::kFail:
      if (count == faultAt) return {0, true};
      break;
    case WriteFault::kPartial:
      if (count == faultAt) return {n / 2, true};
      break;
    case WriteFault::kFailOnward: return {0, true};
    case WriteFault::kNone: break;
  }
  return {n, false};
}

void SetCrashAfterWrites(uint64_t n) {
  g_crashAt.store(n == 0 ? 0 : g_writeCount.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void SetWriteFault(uint64_t n, WriteFault kind) {
  g_faultKind.store(kind, std::memory_order_relaxed);
  g_faultAt.store(n == 0 || kind == WriteFault::kNone ? 0 : g_writeCount.load(std::memory_order_relaxed) + n,
                  std::memory_order_relaxed);
}

uint64_t WriteCount() { return g_writeCount.load(std::memory_order_relaxed); }

}  // namespace qm::os
