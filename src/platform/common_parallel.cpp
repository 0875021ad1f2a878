// ParallelFor over std::thread: one contiguous chunk per hardware thread.
#include <cstdint>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace qm::os {

// body must not throw. Each index runs exactly once; the calling thread runs the last chunk,
// and also any chunk whose worker thread could not be started.
void ParallelFor(uint32_t first, uint32_t last, const std::function<void(uint32_t)>& body) {
  if (last <= first) return;
  const uint32_t count = last - first;
  uint32_t parts = std::thread::hardware_concurrency();
  if (parts < 1) parts = 1;
  if (parts > count) parts = count;
  if (parts == 1) {
    for (uint32_t i = first; i < last; ++i) body(i);
    return;
  }

  // Chunk k covers count / parts indices, one more for the first count % parts chunks.
  const uint32_t base = count / parts;
  const uint32_t extra = count % parts;
  auto runChunk = [&body](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) body(i);
  };

  std::vector<std::thread> workers;
  workers.reserve(parts - 1);
  uint32_t from = first;
  for (uint32_t k = 0; k + 1 < parts; ++k) {
    const uint32_t to = from + base + (k < extra ? 1 : 0);
    try {
      workers.emplace_back(runChunk, from, to);
    } catch (const std::system_error&) {
      runChunk(from, to);
    }
    from = to;
  }
  runChunk(from, last);
  for (std::thread& worker : workers) worker.join();
}

}  // namespace qm::os
