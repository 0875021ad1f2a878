// The files of other writers in the shared testdata folder, and what their JSON sidecars state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::test {

// The folder is compiled in; tests that need it call GTEST_SKIP when HaveTestData is false.
bool HaveTestData();
std::string TestDataPath(const std::string& name);

// What a sidecar states about one channel, in engineering values.
struct SidecarChannel {
  std::string name;
  uint64_t count = 0;
  double sum = 0;
  double first = 0;
};

struct SidecarGroup {
  std::string name;  // acquisition name
  uint8_t recordIdSize = 0;
  uint64_t recordId = 0;
  uint64_t cycleCount = 0;
  std::vector<SidecarChannel> channels;
};

// The channel groups of all data groups in file order; empty when the sidecar cannot be read.
std::vector<SidecarGroup> LoadSidecar(const std::string& path);

}  // namespace qm::test
