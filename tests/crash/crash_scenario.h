// A deterministic writing scenario for the crash tests, and what its file must hold.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "quillmark/quillmark.h"

namespace qm::test {

// One call of the scenario.
struct ScenarioOp {
  enum Kind { kCreate, kGroup, kChannel, kData1D, kData2D, kClose } kind;
  std::string group;
  int channels = 0;    // kGroup: channels besides the time channel
  bool withTime = false;
  uint32_t count = 0;  // samples of a data call
};

std::vector<ScenarioOp> CrashScenario();

// Runs ops[0..] on path through the C interface; after each completed call writes one byte
// to progressFd (when >= 0) and calls afterCall (when set) with the number of completed
// calls. Returns false when a call fails.
bool RunScenario(const std::string& path, const std::vector<ScenarioOp>& ops, int progressFd,
                 const std::function<void(size_t)>& afterCall = {});
// Makes call ops[i] on handle h; returns its result (true for a close).
bool RunOp(const std::string& path, const std::vector<ScenarioOp>& ops, size_t i, MDF4Handle& h);

// Record bytes (without IDs) each group must hold after the first `completed` ops, plus,
// when includeNext, the op after them.
std::map<std::string, std::vector<uint8_t>> ExpectedRecords(const std::vector<ScenarioOp>& ops,
                                                            size_t completed, bool includeNext);

// Record bytes per group name read from the file's data (read-only open). False when the
// file cannot be opened or its data not split into whole records.
struct GroupInfo {
  uint64_t cycleCount = 0;
  uint64_t recordSize = 0;
};
bool ReadGroups(const std::string& path, std::map<std::string, std::vector<uint8_t>>* groups,
                std::map<std::string, GroupInfo>* info);

// Reopens path through the C interface and expects exactly the records of the first
// `completed` calls (with orOneMore, those of the next call may be there too), counts that
// match them; then appends one sample to every group and expects exactly that sample more.
void ExpectReopensWithCompletedCalls(const std::string& path, const std::vector<ScenarioOp>& ops, size_t completed,
                                     bool orOneMore);

}  // namespace qm::test
