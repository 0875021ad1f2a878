// Tests of ParallelFor: every index exactly once, the caller takes the last chunk.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace qm::os {
namespace {

TEST(ParallelForTest, RunsEveryIndexExactlyOnce) {
  const std::pair<uint32_t, uint32_t> ranges[] = {
      {0, 0}, {5, 5}, {9, 3}, {7, 8}, {0, 2}, {3, 10}, {100, 1123}, {0, 65536}};
  for (const auto& [first, last] : ranges) {
    const uint32_t span = last > first ? last - first : 0;
    auto hits = std::make_unique<std::atomic<int>[]>(span + 1);
    std::atomic<int> outside{0};
    std::thread::id lastRunner;
    const std::thread::id caller = std::this_thread::get_id();
    ParallelFor(first, last, [&](uint32_t i) {
      if (i < first || i >= last) {
        outside.fetch_add(1);
        return;
      }
      hits[i - first].fetch_add(1);
      if (i + 1 == last) lastRunner = std::this_thread::get_id();
    });
    EXPECT_EQ(outside.load(), 0) << first << ".." << last;
    for (uint32_t k = 0; k < span; ++k) {
      ASSERT_EQ(hits[k].load(), 1) << "index " << first + k << " of " << first << ".." << last;
    }
    if (span > 0) {
      EXPECT_EQ(lastRunner, caller) << first << ".." << last;
    }
  }
}

}  // namespace
}  // namespace qm::os
