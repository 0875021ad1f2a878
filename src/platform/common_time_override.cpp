// The moment a test may set as "now" for the clock functions of every OS.
#include <atomic>
#include <cstdint>

#include "platform/time_test_hook.h"

namespace qm::os {
namespace {

std::atomic<bool> g_nowOverridden{false};
std::atomic<int64_t> g_nowSeconds{0};

}  // namespace

void SetNowOverrideForTests(bool enabled, int64_t unixSeconds) {
  g_nowSeconds.store(unixSeconds);
  g_nowOverridden.store(enabled);
}

bool NowOverridden(int64_t* unixSeconds) {
  if (!g_nowOverridden.load()) return false;
  *unixSeconds = g_nowSeconds.load();
  return true;
}

}  // namespace qm::os
