// The crash hook: a process-wide count of writes and size changes, and the point at which to stop.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/write_counter.h"

namespace qm::os {
namespace {

std::atomic<uint64_t> g_writeCount{0};
std::atomic<uint64_t> g_crashAt{0};  // 0: never

}  // namespace

void CountWrite() {
  const uint64_t count = g_writeCount.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t crashAt = g_crashAt.load(std::memory_order_relaxed);
  // Ends like a crash: no destructors, no flushing of the process's own buffers.
  if (crashAt != 0 && count == crashAt) std::_Exit(77);
}

void SetCrashAfterWrites(uint64_t n) {
  g_crashAt.store(n == 0 ? 0 : g_writeCount.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

uint64_t WriteCount() { return g_writeCount.load(std::memory_order_relaxed); }

}  // namespace qm::os
