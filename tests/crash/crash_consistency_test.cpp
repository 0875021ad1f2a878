// A writer stopped at any of its writes leaves a file that reopens with every completed call's samples.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "scenario.h"
#include "file/mdf4_file.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

// Runs the scenario in a child process that the crash hook ends at write number
// stopAfterWrites. Returns the number of completed calls.
size_t RunChild(const std::string& path, const std::vector<ScenarioOp>& ops, uint64_t stopAfterWrites) {
  std::filesystem::remove(path);
  int fds[2];
  if (pipe(fds) != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    os::SetCrashAfterWrites(stopAfterWrites);
    MDF4Handle h{};
    const char mark = 1;
    RunFrom(path, ops, 0, h, [&](size_t) { (void)!::write(fds[1], &mark, 1); });
    _exit(0);
  }
  close(fds[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  size_t completed = 0;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) completed += static_cast<size_t>(n);
  close(fds[0]);
  return completed;
}

// Checks the file left by a stop after `completed` calls: readable, sortable, and after a
// reopen exactly the completed calls (plus all or none of the interrupted one), and
// appendable afterwards.
void CheckStoppedFile(const std::string& path, const std::string& sorted, const std::vector<ScenarioOp>& ops,
                      size_t completed, bool sortIt, const std::string& where) {
  SCOPED_TRACE(where + ", completed calls: " + std::to_string(completed));
  if (completed == 0) return;  // the file was never complete
  {
    // Before any repair a reader sees a valid file; its data may end inside the interrupted call.
    MDF4File file;
    const std::u16string wide = os::NarrowToWide(path.c_str());
    ASSERT_TRUE(file.OpenForInspection(wide.c_str()));
  }
  // The command's readers neither crash nor hang on it (a failure exit is fine).
  const std::string q = "'" + path + "'";
  for (const std::string& args : {"info " + q, "export " + q + " --output '" + sorted + ".csv'"}) {
    const int raw = std::system(("timeout 60 '" QM_CLI_PATH "' " + args + " >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) < 2) << "quillmark " << args << " ended with " << raw;
  }
  if (sortIt) {
    testing::internal::CaptureStdout();
    MDF4_Sort(path.c_str(), sorted.c_str());  // must neither crash nor hang
    testing::internal::GetCapturedStdout();
  }
  ExpectReopensWithCompletedCalls(path, ops, completed, true);
}

TEST(CrashConsistency, EveryWriteIsASafeStopPoint) {
  TempDir dir;
  const std::string path = dir.Path("stop.mf4"), sorted = dir.Path("stop-sorted.mf4");
  const std::vector<ScenarioOp> ops = CrashScenario();
  const uint64_t before = os::WriteCount();
  MDF4Handle h{};
  ASSERT_EQ(RunFrom(path, ops, 0, h), ops.size());
  const uint64_t total = os::WriteCount() - before;
  ASSERT_GE(total, 200u) << "the scenario should offer at least 200 stop points";
  for (uint64_t n = 1; n <= total; ++n) {
    const size_t completed = RunChild(path, ops, n);
    ASSERT_LT(completed, ops.size()) << "stop point " << n << " was not reached";
    CheckStoppedFile(path, sorted, ops, completed, n % 16 == 0, "stop at write " + std::to_string(n));
    if (HasFatalFailure()) return;
  }
  std::printf("crash consistency: tried %llu stop points\n", static_cast<unsigned long long>(total));
}

}  // namespace
}  // namespace qm::test
