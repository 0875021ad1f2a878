// quillmark demo: writes a one-minute measurement through the public C interface, appends to it, sorts it.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "commands.h"
#include "demo_signals.h"
#include "mdf_reader.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"

namespace qm::cli {

const char* const kDemoHelp =
    "usage: quillmark demo [DIR]\n"
    "\n"
    "Writes a simulated one-minute measurement the way a host program does, through the\n"
    "library's C interface only: an engine group at 100 Hz (time, speed, torque, temperature\n"
    "with units and linear conversions), an ambient group at 1 Hz and the limit group\n"
    "\"[12]Coolant\" at 10 Hz fed by its limit identifier, in interleaved calls of varying size.\n"
    "The file is closed, reopened and the last second appended, then a sorted copy is made.\n"
    "\n"
    "Writes DIR/quillmark_demo.mf4 and DIR/quillmark_demo_sorted.mf4 (DIR: the current\n"
    "directory when omitted; created when missing; earlier demo files are replaced).\n";

namespace {

namespace fs = std::filesystem;
using namespace qm::demo;

// One host session on a file: every failed call ends it with the library's message.
class Session {
 public:
  ~Session() {
    if (open_) MDF4_Close(&h_);
  }
  bool Create(const std::string& path, int64_t* startTime) {
    MDF4HeaderInfo info{"Quillmark demo", "Test bench", "Quillmark", "Engine warm-up run",
                        "local PC reference time", "Simulated one-minute engine test"};
    open_ = true;  // the handle holds a context even when the create fails
    return Check(MDF4_Create(path.c_str(), &h_, &info, startTime), "create");
  }
  bool Group(const char* name, const Linear* channels, size_t n) {
    if (!Check(MDF4_AddChannelGroup(&h_, name, true), "add group")) return false;
    for (size_t i = 0; i < n; ++i) {
      const Linear& c = channels[i];
      if (!Check(MDF4_AddChannel(&h_, name, c.name, c.unit, c.factor, c.offset), "add channel"))
        return false;
    }
    return true;
  }
  MDF4Handle* Handle() { return &h_; }
  bool Check(bool ok, const char* what) {
    if (ok) return true;
    std::string message = "unknown error";
    if (h_.errorMessage != nullptr) {
      message = qm::os::WideToNarrow(reinterpret_cast<const char16_t*>(h_.errorMessage));
      MDF4_FreeString(h_.errorMessage);
      h_.errorMessage = nullptr;
    }
    Fail("demo", std::string(what) + " failed: " + message + " (code " +
                     std::to_string(h_.errorCode) + ")");
    return false;
  }
  void Close() {
    if (open_) MDF4_Close(&h_);
    open_ = false;
  }
  uint32_t calls = 0;

 private:
  MDF4Handle h_{};
  bool open_ = false;
};

// Samples of the three groups up to engine sample `end` (exclusive), in chunks of varying size;
// the slower groups are written as soon as their time is reached.
struct Cursor {
  uint64_t engine = 0, coolant = 0, ambient = 0;
  size_t chunk = 0;
};

bool WriteUntil(Session& s, Cursor& c, uint64_t end, bool oneCall) {
  while (c.engine < end) {
    uint64_t n = oneCall ? end - c.engine : kChunkSamples[c.chunk++ % std::size(kChunkSamples)];
    if (n > end - c.engine) n = end - c.engine;
    std::vector<double> values;
    for (uint64_t i = c.engine; i < c.engine + n; ++i) {
      values.push_back(EngineTime(i));
      for (int ch = 0; ch < 3; ++ch) values.push_back(EngineStored(ch, i));
    }
    if (!s.Check(MDF4_AddChannelData1D(s.Handle(), kEngine, values.data(), static_cast<uint32_t>(n)),
                 "write engine samples"))
      return false;
    c.engine += n;
    ++s.calls;
    // Coolant samples whose time has been reached, through the limit identifier.
    values.clear();
    uint32_t count = 0;
    for (; c.coolant * (kEngineRate / kCoolantRate) < c.engine; ++c.coolant, ++count) {
      values.push_back(CoolantTime(c.coolant));
      for (int ch = 0; ch < 3; ++ch) values.push_back(CoolantStored(ch, c.coolant));
    }
    if (count > 0) {
      if (!s.Check(MDF4_LTT_AddChannelData(s.Handle(), kCoolantLimitId, values.data(), count),
                   "write coolant samples"))
        return false;
      ++s.calls;
    }
    // Ambient samples as row pointers, the other form a host may use.
    std::vector<std::vector<double>> rows;
    for (; c.ambient * (kEngineRate / kAmbientRate) < c.engine; ++c.ambient)
      rows.push_back({AmbientTime(c.ambient), AmbientStored(0, c.ambient), AmbientStored(1, c.ambient),
                      AmbientStored(2, c.ambient)});
    if (!rows.empty()) {
      std::vector<double*> pointers;
      for (auto& r : rows) pointers.push_back(r.data());
      if (!s.Check(MDF4_AddChannelData2D(s.Handle(), kAmbient, pointers.data(),
                                         static_cast<int32_t>(rows.size())),
                   "write ambient samples"))
        return false;
      ++s.calls;
    }
  }
  return true;
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

void PrintSummary(const std::string& unsorted, const std::string& sorted, uint32_t calls) {
  std::error_code ec;
  std::printf("\nunsorted file: %s (%llu bytes, %u data calls)\n", Absolute(unsorted).c_str(),
              static_cast<unsigned long long>(fs::file_size(unsorted, ec)), calls);
  std::printf("sorted file:   %s (%llu bytes)\n", Absolute(sorted).c_str(),
              static_cast<unsigned long long>(fs::file_size(sorted, ec)));
  MdfReader reader;
  std::string error;
  if (!reader.Open(sorted, &error)) return;
  for (const DataGroupInfo& dg : reader.Info().dataGroups) {
    for (const ChannelGroupInfo& cg : dg.groups) {
      std::string names;
      for (const ChannelInfo& cn : cg.channels) names += (names.empty() ? "" : ", ") + cn.name;
      std::printf("  %-12s %6llu samples  %s\n", cg.name.c_str(),
                  static_cast<unsigned long long>(cg.cycleCount), names.c_str());
    }
  }
  std::printf("Try: quillmark info %s\n     quillmark export %s\n", sorted.c_str(), sorted.c_str());
}

}  // namespace

int RunDemo(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kDemoHelp, stdout);
    return 0;
  }
  if (args.size() > 1 || (!args.empty() && !args[0].empty() && args[0][0] == '-'))
    return Fail("demo", "expected at most one directory (see quillmark demo --help)");
  const fs::path dir = args.empty() ? fs::path(".") : fs::path(args[0]);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) return Fail("demo", "cannot create directory '" + dir.string() + "'");
  const std::string unsorted = (dir / "quillmark_demo.mf4").string();
  const std::string sorted = (dir / "quillmark_demo_sorted.mf4").string();
  // An existing file would be reopened and appended to: start from scratch instead.
  for (const std::string& f : {unsorted, sorted}) {
    fs::remove(f, ec);
    if (fs::exists(f, ec)) return Fail("demo", "cannot replace '" + f + "'");
  }

  const uint64_t total = uint64_t{kSeconds} * kEngineRate;
  const uint64_t firstPart = uint64_t{kSeconds - kAppendSeconds} * kEngineRate;
  Cursor cursor;
  uint32_t calls = 0;
  {
    Session s;
    int64_t start = 0;  // now
    if (!s.Create(unsorted, &start) ||
        !s.Group(kEngine, kEngineChannels, std::size(kEngineChannels)) ||
        !s.Group(kAmbient, kAmbientChannels, std::size(kAmbientChannels)) ||
        !s.Group(kCoolant, kCoolantChannels, std::size(kCoolantChannels)) ||
        !WriteUntil(s, cursor, firstPart, false))
      return 1;
    s.Close();
    calls += s.calls;
  }
  {
    // Reopening finds the groups in the file; the last second is appended to them.
    Session s;
    int64_t start = 0;
    if (!s.Create(unsorted, &start) || !WriteUntil(s, cursor, total, true)) return 1;
    s.Close();
    calls += s.calls;
  }
  std::printf("wrote %s\nsorting ...\n", unsorted.c_str());
  std::fflush(stdout);
  if (!MDF4_Sort(unsorted.c_str(), sorted.c_str())) {
    std::fflush(stdout);
    return Fail("demo", "sorting '" + unsorted + "' failed");
  }
  std::fflush(stdout);
  PrintSummary(unsorted, sorted, calls);
  return 0;
}

}  // namespace qm::cli
