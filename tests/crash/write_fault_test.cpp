// A write or size change that fails at any point costs no earlier call: the failed call is
// taken back, the handle stays usable and closable, and the file reopens and appends.

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_run.h"
#include "scenario.h"
#include "platform/platform.h"
#include "platform/time_test_hook.h"
#include "quillmark/quillmark.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

using os::WriteFault;

// The file's bytes, reduced to a hash (0 when there is no file).
size_t FileHash(const std::string& path) {
  return std::filesystem::exists(path) ? std::hash<std::string>()(ReadAll(path)) | 1 : 0;
}

void ClearError(MDF4Handle& h) {
  MDF4_FreeString(h.errorMessage);
  h.errorMessage = nullptr;
  h.errorCode = 0;
}

struct FaultCase {
  WriteFault kind;
  const char* name;
};
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class WriteFaultTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    os::SetNowOverrideForTests(true, 1700000000);  // equal calls give equal bytes
  }
  void TearDown() override {
    os::SetWriteFault(0, WriteFault::kNone);
    os::SetNowOverrideForTests(false, 0);
  }
  TempDir dir_;
};

// The scenario runs once for every write and size change it makes (N = 1, 2, ...) with the
// N-th one failing. The failed call returns false with -8007 (-8002 for the create, which
// leaves no file) and leaves the file byte for byte as the call before it did. When only that
// one write fails, the same handle then repeats the call and finishes the scenario, which
// gives the very file of a run without failure. When every later write fails too, the
// handle refuses to write and closes; the file reopens with the completed calls. Either
// way the file then reopens and appends.
TEST_P(WriteFaultTest, AFailedWriteCostsNoEarlierCall) {
  const WriteFault kind = GetParam().kind;
  const std::string path = dir_.Path("fault.mf4");
  const std::vector<ScenarioOp> ops = CrashScenario();

  // The reference: the file after each completed call, and the number of writes in all.
  std::vector<size_t> reference(ops.size() + 1, 0);
  MDF4Handle h{};
  const uint64_t before = os::WriteCount();
  ASSERT_EQ(RunFrom(path, ops, 0, h, [&](size_t done) { reference[done] = FileHash(path); }), ops.size());
  const uint64_t total = os::WriteCount() - before;
  ASSERT_GE(total, 200u);
  const std::string copy = dir_.Path("copy.mf4");
  ExpectReopensWithCompletedCalls(path, ops, ops.size(), false);
  std::set<size_t> readBack;

  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("write " + std::to_string(n) + " of " + std::to_string(total) + " fails");
    std::filesystem::remove(path);
    h = MDF4Handle{};
    os::SetWriteFault(n, kind);
    const size_t failed = RunFrom(path, ops, 0, h);
    ASSERT_LT(failed, ops.size()) << "no call failed";
    const bool creating = ops[failed].kind == ScenarioOp::kCreate;
    EXPECT_EQ(h.errorCode, creating ? MDF4_ERR_CREATE : MDF4_ERR_WRITE);

    ClearError(h);
    if (creating) MDF4_Close(&h);  // releases the context of the failed create
    if (kind != WriteFault::kFailOnward) {
      ASSERT_EQ(FileHash(path), reference[failed]) << "call " << failed << " changed the file";
      os::SetWriteFault(0, WriteFault::kNone);
      if (!creating && readBack.insert(failed).second) {
        // Each state a failure leaves is read back once, from a copy: the handle holds the file.
        std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
        ExpectReopensWithCompletedCalls(copy, ops, failed, false);
      }
      // The same handle repeats the call and goes on: the file is the one of a run without failure.
      if (ops[failed].kind != ScenarioOp::kClose) {
        ASSERT_EQ(RunFrom(path, ops, failed, h), ops.size()) << h.errorCode;
        ASSERT_EQ(FileHash(path), reference[ops.size()]) << "repeating the call did not give the same file";
      }
    } else if (!creating) {
      // Nothing reaches the file any more: the call fails again, closing writes nothing.
      if (ops[failed].kind != ScenarioOp::kClose) {
        EXPECT_FALSE(RunOp(path, ops, failed, h));
        EXPECT_EQ(h.errorCode, MDF4_ERR_WRITE);
        ClearError(h);
        MDF4_Close(&h);
      }
      os::SetWriteFault(0, WriteFault::kNone);
      // The interrupted call may have completed on disk when only writes after it failed.
      ExpectReopensWithCompletedCalls(path, ops, failed, true);
    }
    MDF4_FreeString(h.errorMessage);
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, WriteFaultTest,
                         ::testing::Values(FaultCase{WriteFault::kFail, "Fails"},
                                           FaultCase{WriteFault::kPartial, "WritesHalf"},
                                           FaultCase{WriteFault::kFailOnward, "FailsFromThenOn"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qm::test
