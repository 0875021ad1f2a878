// Host calls as data: a deterministic writing scenario, running it, and what its file must hold.
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
  std::string group = {};
  int channels = 0;    // kGroup: channels besides the time channel
  bool withTime = false;
  uint32_t count = 0;  // samples of a data call
};

// Sets QUILLMARK_SYNC for the creates that follow ("": the default).
void SetSyncPolicy(const char* value);

// Appends the declaration of a group and its channels.
void AddGroupOps(std::vector<ScenarioOp>& ops, const std::string& group, int channels, bool withTime);
// Groups of 32 and 1 values and a limit group added between data calls; calls that cross
// data blocks and lists.
std::vector<ScenarioOp> CrashScenario();

// Runs ops[first..] on path through h; calls afterCall (when set) with the number of completed
// calls after each. Returns the index of the first call that failed (a close fails when it
// records an error), or ops.size().
size_t RunFrom(const std::string& path, const std::vector<ScenarioOp>& ops, size_t first, MDF4Handle& h,
               const std::function<void(size_t)>& afterCall = {});
// Makes call ops[i] on handle h; returns its result (true for a close).
bool RunOp(const std::string& path, const std::vector<ScenarioOp>& ops, size_t i, MDF4Handle& h);

// Record bytes (without IDs) each group must hold after the first `completed` ops, plus,
// when includeNext, the op after them.
std::map<std::string, std::vector<uint8_t>> ExpectedRecords(const std::vector<ScenarioOp>& ops,
                                                            size_t completed, bool includeNext);

// Record bytes and record size per group name read from the file's data (read-only open).
// False when the file cannot be opened, its data not split into whole records, or a cycle
// count does not match a group's records.
bool ReadGroups(const std::string& path, std::map<std::string, std::vector<uint8_t>>* groups,
                std::map<std::string, uint64_t>* recordSizes);

// Appends one sample to every group through h (open on path), closes it, and expects exactly
// that record more in every group.
void ExpectAppendsOneSample(MDF4Handle& h, const std::string& path,
                            const std::map<std::string, std::vector<uint8_t>>& groups,
                            const std::map<std::string, uint64_t>& recordSizes);

// Reopens path through the C interface and expects exactly the records of the first
// `completed` calls (with orOneMore, those of the next call may be there too), counts that
// match them; then appends one sample to every group.
void ExpectReopensWithCompletedCalls(const std::string& path, const std::vector<ScenarioOp>& ops, size_t completed,
                                     bool orOneMore);

}  // namespace qm::test
