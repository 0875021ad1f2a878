// A writer killed at any moment leaves a file that reopens with every completed call's samples.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "crash_scenario.h"
#include "file/mdf4_file.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

using Groups = std::map<std::string, std::vector<uint8_t>>;

// Runs the scenario in a child process; stopAfterWrites > 0 ends it at that write, a delay
// kills it with SIGKILL after that many microseconds. Returns the number of completed calls.
size_t RunChild(const std::string& path, const std::vector<ScenarioOp>& ops, uint64_t stopAfterWrites,
                int killAfterMicros) {
  std::filesystem::remove(path);
  int fds[2];
  if (pipe(fds) != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (stopAfterWrites != 0) os::SetCrashAfterWrites(stopAfterWrites);
    RunScenario(path, ops, fds[1]);
    _exit(0);
  }
  close(fds[1]);
  if (killAfterMicros >= 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(killAfterMicros));
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  size_t completed = 0;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) completed += static_cast<size_t>(n);
  close(fds[0]);
  return completed;
}

bool SameAs(const Groups& actual, const Groups& expected) {
  for (const auto& [name, bytes] : expected) {
    auto it = actual.find(name);
    if (it == actual.end() || it->second != bytes) return false;
  }
  return true;
}

// Checks the file left by a stop after `completed` calls: readable, sortable, and after a
// reopen exactly the completed calls (plus all or none of the interrupted one), and
// appendable afterwards.
void CheckStoppedFile(const std::string& path, const std::string& sorted, const std::vector<ScenarioOp>& ops,
                      size_t completed, bool sortIt, const std::string& where) {
  SCOPED_TRACE(where + ", completed calls: " + std::to_string(completed));
  if (completed == 0) return;  // the file was never complete
  Groups groups;
  std::map<std::string, GroupInfo> counts;
  {
    // Before any repair a reader sees a valid file; its data may end inside the interrupted call.
    MDF4File file;
    const std::u16string wide = os::NarrowToWide(path.c_str());
    ASSERT_TRUE(file.OpenForInspection(wide.c_str()));
  }
  {
    // The command's readers neither crash nor hang on it (a failure exit is fine).
    const std::string q = "'" + path + "'";
    for (const std::string& args : {"info " + q, "export " + q + " --output '" + sorted + ".csv'"}) {
      const int raw = std::system(("timeout 60 '" QM_CLI_PATH "' " + args + " >/dev/null 2>&1").c_str());
      ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) < 2) << "quillmark " << args << " ended with " << raw;
    }
  }
  if (sortIt) {
    testing::internal::CaptureStdout();
    MDF4_Sort(path.c_str(), sorted.c_str());  // must neither crash nor hang
    testing::internal::GetCapturedStdout();
  }
  MDF4Handle h{};
  MDF4HeaderInfo info{"", "", "", "", "", ""};
  int64_t start = 0;
  ASSERT_TRUE(MDF4_Create(path.c_str(), &h, &info, &start));
  ASSERT_TRUE(ReadGroups(path, &groups, &counts));
  const Groups without = ExpectedRecords(ops, completed, false);
  const Groups with = ExpectedRecords(ops, completed, true);
  const bool ok = SameAs(groups, without) || SameAs(groups, with);
  ASSERT_TRUE(ok) << "records after reopening are neither the completed calls nor those plus the interrupted one";
  for (const auto& [name, bytes] : groups) {
    EXPECT_EQ(counts[name].cycleCount * counts[name].recordSize, bytes.size()) << name;
  }
  // Appending works after the roll-back.
  // A group whose declaration was interrupted before its name was written has no name to
  // be addressed by; it holds no data.
  groups.erase("");
  EXPECT_EQ(AppendOneSampleEach(h, path, groups, counts), "");
}

TEST(CrashConsistency, EveryWriteIsASafeStopPoint) {
  TempDir dir;
  const std::string path = dir.Path("stop.mf4"), sorted = dir.Path("stop-sorted.mf4");
  const std::vector<ScenarioOp> ops = CrashScenario();
  const uint64_t before = os::WriteCount();
  ASSERT_TRUE(RunScenario(path, ops, -1));
  const uint64_t total = os::WriteCount() - before;
  ASSERT_GE(total, 200u) << "the scenario should offer at least 200 stop points";
  for (uint64_t n = 1; n <= total; ++n) {
    const size_t completed = RunChild(path, ops, n, -1);
    ASSERT_LT(completed, ops.size()) << "stop point " << n << " was not reached";
    CheckStoppedFile(path, sorted, ops, completed, n % 16 == 0, "stop at write " + std::to_string(n));
    if (HasFatalFailure()) return;
  }
  std::printf("crash consistency: tried %llu stop points\n", static_cast<unsigned long long>(total));
}

TEST(CrashConsistency, KilledAtRandomMoments) {
  TempDir dir;
  const std::string path = dir.Path("killed.mf4"), sorted = dir.Path("killed-sorted.mf4");
  const std::vector<ScenarioOp> ops = CrashScenario();
  // The scenario's duration on this machine bounds the random kill moments.
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunScenario(path, ops, -1));
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delay(0, static_cast<int>(micros) + 1);
  const int kRuns = 40;
  for (int run = 0; run < kRuns; ++run) {
    const size_t completed = RunChild(path, ops, 0, delay(random));
    if (completed >= ops.size()) continue;  // finished before the kill
    CheckStoppedFile(path, sorted, ops, completed, run % 8 == 0, "random kill " + std::to_string(run));
    if (HasFatalFailure()) return;
  }
  std::printf("crash consistency: %d random kills\n", kRuns);
}

}  // namespace
}  // namespace qm::test
