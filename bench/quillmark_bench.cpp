// Benchmark: library throughput as ratios to plain file operations measured in the same run.
//
// Four figures, each against a baseline doing the plain work on the same bytes:
//   bulk     calls of 10,000 samples vs writing the same bytes with 4 MiB writes;
//   single   one-sample calls per second vs a minimal append that leaves a file consistent
//            (two size changes and three small writes a call);
//   sort     MDF4_Sort of an unsorted file with 1, 10 and 100 groups vs copying the file;
//   inflate  the ##DZ inflater, zip types 0 and 1, vs plain zlib inflation of the same streams;
//   compress the compressed sort at every level vs gzip -6 (zlib, level 6, gzip format) of the
//            uncompressed copy in this process: time and size, and time vs the uncompressed sort;
//   python   the Python package appending 10,000-row chunks (bench/python_append.py in a
//            Python process) vs the same samples through the C interface in this process.
// Every measurement is repeated and the best time kept; a one-sample or sort measurement that
// runs past its time budget (--seconds) is cut short and reported as a bound. Results of the library are checked
// (a failed call, a failed sort or inflated bytes that differ make the exit status 1), timings
// never are. `--only single-lib` runs just the library's one-sample calls, for counting their
// system calls with `strace -c -f`.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "block/byte_order.h"
#include "block/format.h"
#include "quillmark/quillmark.h"
#include "platform/platform.h"
#include "sort/dz_deflate.h"
#include "sort/sort_driver.h"
#include "stream/dz_inflate.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Every group: the time channel and four value channels, all doubles.
constexpr uint32_t kValueChannels = 4;
constexpr uint32_t kDoublesPerSample = kValueChannels + 1;
constexpr uint32_t kSampleBytes = 8 * kDoublesPerSample;
// One record of an unsorted file: the record ID, then the sample.
constexpr uint32_t kRecordBytes = qm::fmt::kUnsortedRecordIdSize + kSampleBytes;
constexpr uint32_t kBulkSamplesPerCall = 10000;
constexpr uint32_t kSortSamplesPerCall = 1000;
constexpr uint32_t kPlainChunk = qm::fmt::kDataBlockCapacity;  // 4 MiB
constexpr uint32_t kSortGroupCounts[] = {1, 10, 100};
constexpr double kMiB = 1024.0 * 1024.0;

struct Options {
  bool quick = false;
  double recordMiB = 64;         // record bytes of the bulk file
  // Record bytes of each sort input: 1 GiB, the size the sort's goal is set for; on small
  // files the copy's fixed costs (one metadata copy per group) weigh more.
  double sortMiB = 1024;
  uint32_t singleCalls = 20000;  // one-sample calls, at most
  // Seconds a measurement may use: one-sample calls stop, a sort is stopped, and no further
  // repetition starts once it is spent.
  double budget = 10.0;
  uint64_t inflateMiB = 64;  // uncompressed bytes of the inflation measurement
  double compressMiB = 64;   // record bytes of the compression measurement's input
  uint32_t repetitions = 3;
  std::set<std::string> only;  // empty: everything
  bool Runs(const char* name) const { return only.empty() || only.count(name) != 0; }
};

int g_failures = 0;

void Fail(const std::string& what) {
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  ++g_failures;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double MBps(uint64_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0.0; }

// A folder of its own under the system's temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::error_code ec;
    path_ = fs::temp_directory_path(ec) / ("quillmark_bench_" + std::to_string(getpid()));
    if (ec || (!fs::create_directories(path_, ec) && !fs::is_directory(path_))) path_.clear();
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  bool Ok() const { return !path_.empty(); }
  fs::path File(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

void RemoveFile(const fs::path& p) {
  std::error_code ec;
  fs::remove(p, ec);
}

uint64_t FileSize(const fs::path& p) {
  std::error_code ec;
  const uintmax_t n = fs::file_size(p, ec);
  return ec ? 0 : n;
}

// Writes all n bytes at pos, continuing partial writes.
bool WriteAllAt(int fd, const void* data, size_t n, uint64_t pos) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t k = pwrite(fd, p, n, static_cast<off_t>(pos));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    pos += static_cast<uint64_t>(k);
    n -= static_cast<size_t>(k);
  }
  return true;
}

// ---- Sample data -------------------------------------------------------------------------

// Samples first .. first + count - 1 back to back: a time in seconds at 1 kHz and four slow
// signals quantised like a 16-bit converter, so that they compress as measured data does.
void FillSamples(std::vector<double>& out, uint64_t first, uint32_t count) {
  out.resize(size_t{count} * kDoublesPerSample);
  for (uint32_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(first + i) * 1e-3;
    double* s = &out[size_t{i} * kDoublesPerSample];
    s[0] = t;
    for (uint32_t c = 1; c <= kValueChannels; ++c) {
      const double v = 10.0 * std::sin(t * 0.7 * c + c) + 0.5 * std::sin(t * 13.0 * c);
      s[c] = std::round(v * 3276.8) / 3276.8;
    }
  }
}

// Samples first .. first + count - 1 of measured-looking signals: a time in seconds at 1 kHz,
// a slow sine and a noisy one quantised like a 16-bit converter, a counter and a step signal.
// Every sample index has its own values, so that nothing repeats the way a reused buffer would.
void FillSignals(std::vector<double>& out, uint64_t first, uint32_t count) {
  out.resize(size_t{count} * kDoublesPerSample);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t n = first + i;
    const double t = static_cast<double>(n) * 1e-3;
    // Noise: a hash of the index, uniform in [-1, 1).
    uint64_t h = (n + 1) * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 31)) * 0xBF58476D1CE4E5B9ull;
    const double noise = static_cast<double>(h >> 11) / 4503599627370496.0 - 1.0;
    double* s = &out[size_t{i} * kDoublesPerSample];
    s[0] = t;
    s[1] = std::round(10.0 * std::sin(t * 0.7) * 3276.8) / 3276.8;
    s[2] = std::round((2.0 * std::sin(t * 3.1) + 0.05 * noise) * 3276.8) / 3276.8;
    s[3] = static_cast<double>(n % 65536);
    s[4] = 2.5 * static_cast<double>((n / 700) % 7);
  }
}

// ---- Writing through the C interface ------------------------------------------------------

std::string GroupName(uint32_t g) { return "group " + std::to_string(g); }

// Releases the handle's file and the message of its last error.
void CloseHandle(MDF4Handle& h) {
  MDF4_Close(&h);
  h.file = nullptr;
  if (h.errorMessage != nullptr) MDF4_FreeString(h.errorMessage);
  h.errorMessage = nullptr;
}

void FailCall(const char* call, const MDF4Handle& h) {
  Fail(std::string(call) + " returned false, error code " + std::to_string(h.errorCode));
}

// Creates a new file at path (replacing any file there) with groups "group 0" ... each with
// the time channel and four value channels. On failure reports it and leaves h closed.
bool CreateWithGroups(const fs::path& path, uint32_t groups, MDF4Handle& h) {
  RemoveFile(path);  // an existing file would be reopened, not replaced
  h = MDF4Handle{};
  const MDF4HeaderInfo info{"bench", "bench", "quillmark", "throughput", "local PC", "benchmark"};
  int64_t start = 0;
  if (!MDF4_Create(path.c_str(), &h, &info, &start)) {
    FailCall("MDF4_Create", h);
    CloseHandle(h);
    return false;
  }
  for (uint32_t g = 0; g < groups; ++g) {
    const std::string name = GroupName(g);
    bool ok = MDF4_AddChannelGroup(&h, name.c_str(), true);
    for (uint32_t c = 0; ok && c < kValueChannels; ++c) {
      const std::string channel = "signal " + std::to_string(c);
      ok = MDF4_AddChannel(&h, name.c_str(), channel.c_str(), "V", 1.0, 0.0);
    }
    if (!ok) {
      FailCall("adding groups and channels", h);
      CloseHandle(h);
      return false;
    }
  }
  return true;
}

// ---- 1. Bulk writing ----------------------------------------------------------------------

// Writes `samples` samples of one group in calls of 10,000 and closes the file. Returns the
// seconds from MDF4_Create to the end of MDF4_Close, or a negative value on failure.
double TimeBulkWrite(const fs::path& path, uint64_t samples, const std::vector<double>& values) {
  RemoveFile(path);
  const Clock::time_point start = Clock::now();
  MDF4Handle h{};
  if (!CreateWithGroups(path, 1, h)) return -1;
  const std::string name = GroupName(0);
  for (uint64_t done = 0; done < samples; done += kBulkSamplesPerCall) {
    const uint32_t n =
        static_cast<uint32_t>(std::min<uint64_t>(kBulkSamplesPerCall, samples - done));
    if (!MDF4_AddChannelData1D(&h, name.c_str(), values.data(), n)) {
      FailCall("MDF4_AddChannelData1D", h);
      CloseHandle(h);
      return -1;
    }
  }
  CloseHandle(h);
  return SecondsSince(start);
}

// Writes `bytes` bytes into a fresh file with 4 MiB positioned writes. Seconds, or negative.
double TimePlainWrite(const fs::path& path, uint64_t bytes, const std::vector<uint8_t>& chunk) {
  RemoveFile(path);
  const Clock::time_point start = Clock::now();
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) {
    Fail("cannot create " + path.string());
    return -1;
  }
  bool ok = true;
  for (uint64_t pos = 0; ok && pos < bytes; pos += chunk.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - pos));
    ok = WriteAllAt(fd, chunk.data(), n, pos);
  }
  ok = close(fd) == 0 && ok;
  if (!ok) {
    Fail("plain write of " + path.string());
    return -1;
  }
  return SecondsSince(start);
}

// The best seconds of two timed runs over the repetitions, in alternating order so that
// neither always meets the page cache the other left. Each timer returns its seconds, or a
// negative value on failure; after() checks and cleans up after each round. False when a
// timer failed or after() refused.
template <class TimeA, class TimeB, class After>
bool BestOfAlternating(uint32_t repetitions, TimeA timeA, TimeB timeB, After after, double* bestA,
                       double* bestB) {
  for (uint32_t r = 0; r < repetitions; ++r) {
    double a = 0, b = 0;
    if (r % 2 == 0) {
      a = timeA();
      b = a < 0 ? -1 : timeB();
    } else {
      b = timeB();
      a = b < 0 ? -1 : timeA();
    }
    if (a < 0 || b < 0 || !after()) return false;
    *bestA = r == 0 ? a : std::min(*bestA, a);
    *bestB = r == 0 ? b : std::min(*bestB, b);
  }
  return true;
}

// The bulk file: calls of 10,000 samples making about opt.recordMiB of records, and the
// values of one call.
struct BulkWork {
  uint64_t calls = 0, samples = 0, bytes = 0;
  std::vector<double> values;
};

BulkWork MakeBulkWork(const Options& opt) {
  BulkWork w;
  w.calls = std::max<uint64_t>(1, static_cast<uint64_t>(opt.recordMiB * kMiB / kRecordBytes / kBulkSamplesPerCall));
  w.samples = w.calls * kBulkSamplesPerCall;
  w.bytes = w.samples * kRecordBytes;
  FillSamples(w.values, 0, kBulkSamplesPerCall);
  return w;
}

// After a round: false (a failure) when mdf holds fewer than bytes; else both files removed.
bool CheckAndRemove(const fs::path& mdf, uint64_t bytes, const fs::path& other) {
  if (FileSize(mdf) < bytes) {
    Fail(mdf.filename().string() + " holds fewer bytes than its records");
    return false;
  }
  RemoveFile(mdf);
  RemoveFile(other);
  return true;
}

void BenchBulk(const Options& opt, const ScratchDir& dir) {
  const BulkWork work = MakeBulkWork(opt);
  const uint64_t calls = work.calls, samples = work.samples, bytes = work.bytes;
  const std::vector<double>& values = work.values;
  std::vector<uint8_t> chunk(kPlainChunk);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 131 + (i >> 12));

  const fs::path mdf = dir.File("bulk.mf4");
  const fs::path plain = dir.File("bulk.bin");
  double best = 0, bestPlain = 0;
  const bool ok = BestOfAlternating(
      opt.repetitions, [&] { return TimeBulkWrite(mdf, samples, values); },
      [&] { return TimePlainWrite(plain, bytes, chunk); },
      [&] { return CheckAndRemove(mdf, bytes, plain); },
      &best, &bestPlain);
  if (!ok) return;
  std::printf("bulk write (%llu call%s of %u samples, %.1f MiB): %.1f MB/s, plain 4 MiB "
              "writes: %.1f MB/s, ratio %.2f (goal >= 0.8)\n",
              static_cast<unsigned long long>(calls), calls == 1 ? "" : "s", kBulkSamplesPerCall,
              bytes / kMiB, MBps(bytes, best), MBps(bytes, bestPlain), bestPlain / best);
}

// ---- 2. One-sample calls ------------------------------------------------------------------

// Makes up to `calls` one-sample calls on a new file, stopping early when `budget` seconds
// have passed. Stores the calls made; returns their seconds, or negative on failure.
double TimeSingleCalls(const fs::path& path, uint32_t calls, double budget, uint32_t* made) {
  *made = 0;
  MDF4Handle h{};
  if (!CreateWithGroups(path, 1, h)) return -1;
  const std::string name = GroupName(0);
  std::vector<double> sample;
  const Clock::time_point start = Clock::now();
  uint32_t i = 0;
  for (; i < calls; ++i) {
    FillSamples(sample, i, 1);
    if (!MDF4_AddChannelData1D(&h, name.c_str(), sample.data(), 1)) {
      FailCall("MDF4_AddChannelData1D", h);
      CloseHandle(h);
      return -1;
    }
    if ((i & 63) == 63 && SecondsSince(start) > budget) {
      ++i;
      break;
    }
  }
  const double seconds = SecondsSince(start);
  CloseHandle(h);
  *made = i;
  return seconds;
}

// The least a call must do to leave an appended file consistent: reserve room at the end
// (a size change), write the record, the block's new length and the group's cycle count,
// then cut the reserve off again (a second size change). Returns seconds or negative.
double TimeMinimalAppends(const fs::path& path, uint32_t calls) {
  RemoveFile(path);
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0644);
  if (fd < 0) {
    Fail("cannot create " + path.string());
    return -1;
  }
  // A stand-in layout: some blocks, a cycle count field among them, then one data block.
  constexpr uint64_t kCycleCountPos = 1024;
  constexpr uint64_t kBlockPos = 4096;
  std::vector<uint8_t> head(kBlockPos + qm::fmt::kBlockHeaderSize, 0);
  bool ok = WriteAllAt(fd, head.data(), head.size(), 0);
  uint64_t end = head.size();
  uint8_t record[kRecordBytes] = {1, 0};
  uint8_t field[8];
  std::vector<double> sample;
  const Clock::time_point start = Clock::now();
  for (uint32_t i = 0; ok && i < calls; ++i) {
    FillSamples(sample, i, 1);
    std::memcpy(record + qm::fmt::kUnsortedRecordIdSize, sample.data(), kSampleBytes);
    ok = ftruncate(fd, static_cast<off_t>(end + kPlainChunk)) == 0 &&
         WriteAllAt(fd, record, sizeof record, end);
    end += sizeof record;
    qm::StoreLE64(field, end - kBlockPos);
    ok = ok && WriteAllAt(fd, field, sizeof field, kBlockPos + qm::fmt::kHeaderLengthOffset);
    qm::StoreLE64(field, uint64_t{i} + 1);
    ok = ok && WriteAllAt(fd, field, sizeof field, kCycleCountPos);
    ok = ok && ftruncate(fd, static_cast<off_t>(end)) == 0;
  }
  const double seconds = SecondsSince(start);
  ok = close(fd) == 0 && ok;
  if (!ok) {
    Fail("minimal appends to " + path.string());
    return -1;
  }
  return seconds;
}

void BenchSingle(const Options& opt, const ScratchDir& dir, bool withBaseline) {
  const fs::path mdf = dir.File("single.mf4");
  const fs::path plain = dir.File("single.bin");
  double bestRate = 0, bestPlainRate = 0;
  uint32_t made = 0;
  const Clock::time_point start = Clock::now();
  for (uint32_t r = 0; r < opt.repetitions && (r == 0 || SecondsSince(start) < opt.budget); ++r) {
    const double t = TimeSingleCalls(mdf, opt.singleCalls, opt.budget, &made);
    if (t < 0 || made == 0) return;
    bestRate = std::max(bestRate, made / t);
    if (withBaseline) {
      // As many calls as the library made, so both files end with the same size.
      const double p = TimeMinimalAppends(plain, made);
      if (p < 0) return;
      bestPlainRate = std::max(bestPlainRate, made / p);
    }
    RemoveFile(mdf);
    RemoveFile(plain);
  }
  if (!withBaseline) {
    std::printf("one-sample calls (%u calls): %.0f calls/s\n", made, bestRate);
    return;
  }
  std::printf("one-sample calls (%u calls): %.0f calls/s, minimal consistent append: %.0f "
              "calls/s, ratio %.3f (goal >= 0.5)\n",
              made, bestRate, bestPlainRate, bestRate / bestPlainRate);
}

// ---- 3. Sorting ---------------------------------------------------------------------------

// Builds an unsorted file of about recordMiB of records from `groups` groups written by
// interleaved calls, each group in turn. Without signals every call writes the same samples;
// with them each group's samples go on from call to call. False on failure.
bool BuildUnsorted(const fs::path& path, uint32_t groups, double recordMiB,
                   void (*signals)(std::vector<double>&, uint64_t, uint32_t) = nullptr) {
  MDF4Handle h{};
  if (!CreateWithGroups(path, groups, h)) return false;
  const uint64_t samples =
      std::max<uint64_t>(groups, static_cast<uint64_t>(recordMiB * kMiB / kRecordBytes));
  // At least a few calls per group, even for small files.
  const uint32_t perCall = static_cast<uint32_t>(
      std::clamp<uint64_t>(samples / (uint64_t{groups} * 4), 1, kSortSamplesPerCall));
  std::vector<std::string> names;
  for (uint32_t g = 0; g < groups; ++g) names.push_back(GroupName(g));
  std::vector<double> values;
  FillSamples(values, 0, perCall);
  uint64_t written = 0;
  std::vector<uint64_t> next(groups, 0);
  for (uint32_t g = 0; written < samples; g = (g + 1) % groups) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(perCall, samples - written));
    if (signals != nullptr) signals(values, next[g], n);
    next[g] += n;
    if (!MDF4_AddChannelData1D(&h, names[g].c_str(), values.data(), n)) {
      FailCall("MDF4_AddChannelData1D", h);
      CloseHandle(h);
      return false;
    }
    written += n;
  }
  CloseHandle(h);
  return true;
}

enum class SortOutcome { kDone, kFailed, kStopped };

// Runs MDF4_Sort in a child process, so that a sort slower than `budget` seconds can be
// stopped, and with its standard output sent to /dev/null, so that its progress lines do not
// mix with the figures. The child holds the write end of a pipe until it ends; the pipe's
// hang-up tells the parent exactly when. Stores the seconds taken (until stopped).
SortOutcome TimeSort(const fs::path& source, const fs::path& destination, double budget,
                     double* seconds, int compressLevel = 0) {
  RemoveFile(destination);
  int done[2];
  if (pipe(done) != 0) return SortOutcome::kFailed;
  std::fflush(stdout);
  std::fflush(stderr);
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    close(done[0]);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    if (compressLevel == 0) _exit(MDF4_Sort(source.c_str(), destination.c_str()) ? 0 : 1);
    // The compressed copy is made by the library's internal sort entry, as the command does.
    const std::u16string from = qm::os::NarrowToWide(source.c_str());
    const std::u16string to = qm::os::NarrowToWide(destination.c_str());
    _exit(SortFile(from.c_str(), to.c_str(), {.compressLevel = compressLevel}) ? 0 : 1);
  }
  close(done[1]);
  if (pid < 0) {
    close(done[0]);
    return SortOutcome::kFailed;
  }
  bool ended = false;
  for (;;) {
    const double left = budget - SecondsSince(start);
    if (left <= 0) break;
    pollfd p{done[0], POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min(left * 1000.0 + 1.0, 1e9)));
    if (r > 0) {
      ended = true;
      break;
    }
    if (r < 0 && errno != EINTR) break;
  }
  *seconds = SecondsSince(start);
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  close(done[0]);
  if (!ended) return SortOutcome::kStopped;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? SortOutcome::kDone
                                                          : SortOutcome::kFailed;
}

// Closes the files of a transfer begun at start: its seconds, or negative (reported as a
// failure of `what`) when the transfer or a close failed.
double EndTransfer(int in, int out, bool ok, const std::string& what, Clock::time_point start) {
  if (in >= 0) close(in);
  if (out >= 0) ok = close(out) == 0 && ok;
  if (!ok) {
    Fail(what);
    return -1;
  }
  return SecondsSince(start);
}

// Copies source to a fresh destination with 4 MiB reads and writes. Seconds, or negative.
double TimeCopy(const fs::path& source, const fs::path& destination, std::vector<uint8_t>& buf) {
  RemoveFile(destination);
  const Clock::time_point start = Clock::now();
  const int in = open(source.c_str(), O_RDONLY);
  const int out = open(destination.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  bool ok = in >= 0 && out >= 0;
  for (uint64_t pos = 0; ok;) {
    const ssize_t k = read(in, buf.data(), buf.size());
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      ok = k == 0;
      break;
    }
    ok = WriteAllAt(out, buf.data(), static_cast<size_t>(k), pos);
    pos += static_cast<uint64_t>(k);
  }
  return EndTransfer(in, out, ok, "copy of " + source.string(), start);
}

void BenchSort(const Options& opt, const ScratchDir& dir) {
  const fs::path source = dir.File("unsorted.mf4");
  const fs::path sorted = dir.File("sorted.mf4");
  const fs::path copy = dir.File("copy.mf4");
  std::vector<uint8_t> buf(kPlainChunk);
  for (const uint32_t groups : kSortGroupCounts) {
    if (!BuildUnsorted(source, groups, opt.sortMiB)) return;
    const uint64_t bytes = FileSize(source);
    double best = 0, bestCopy = 0;
    bool stopped = false;
    const Clock::time_point start = Clock::now();
    for (uint32_t r = 0; r < opt.repetitions && (r == 0 || SecondsSince(start) < opt.budget);
         ++r) {
      // Each side starts with no dirty pages left by the other, whose writeback would slow
      // it down, and the order alternates.
      double t = 0, c = 0;
      SortOutcome outcome;
      if (r % 2 == 0) {
        sync();
        outcome = TimeSort(source, sorted, opt.budget, &t);
        sync();
        c = TimeCopy(source, copy, buf);
      } else {
        sync();
        c = TimeCopy(source, copy, buf);
        sync();
        outcome = TimeSort(source, sorted, opt.budget, &t);
      }
      if (outcome == SortOutcome::kFailed) {
        Fail("MDF4_Sort of a file with " + std::to_string(groups) + " groups");
        return;
      }
      if (c < 0) return;
      bestCopy = r == 0 ? c : std::min(bestCopy, c);
      RemoveFile(copy);
      if (outcome == SortOutcome::kStopped) {
        // Only a bound is known; a smoke run must finish its sorts.
        if (opt.quick) Fail("MDF4_Sort did not end within " + std::to_string(opt.budget) + " s");
        stopped = r == 0;
        if (r == 0) best = t;
        break;
      }
      // Every record loses its 2-byte ID; the rest of the data must all be there.
      if (FileSize(sorted) < bytes / kRecordBytes * kSampleBytes) {
        Fail("sorted file smaller than its records");
        return;
      }
      best = r == 0 ? t : std::min(best, t);
      RemoveFile(sorted);
    }
    RemoveFile(sorted);
    RemoveFile(source);
    const char* plural = groups == 1 ? "" : "s";
    if (stopped) {
      std::printf("sort %u group%s (%.1f MiB): stopped after %.1f s, below %.1f MB/s, file copy: "
                  "%.1f MB/s, time ratio sort/copy above %.2f (goal <= 1.5)\n",
                  groups, plural, bytes / kMiB, best, MBps(bytes, best), MBps(bytes, bestCopy),
                  best / bestCopy);
    } else {
      std::printf("sort %u group%s (%.1f MiB): %.1f MB/s, file copy: %.1f MB/s, time ratio "
                  "sort/copy %.2f (goal <= 1.5)\n",
                  groups, plural, bytes / kMiB, MBps(bytes, best), MBps(bytes, bestCopy),
                  best / bestCopy);
    }
    std::fflush(stdout);
  }
}

// ---- 4. Inflating ##DZ blocks -------------------------------------------------------------

// One compressed block: its zlib stream and the bytes it must inflate to.
struct DZChunk {
  std::vector<uint8_t> stream;
  const uint8_t* original;
  uint32_t length;
};

// Compresses data in 4 MiB pieces, transposed first when columns is not 0.
bool Compress(const std::vector<uint8_t>& data, uint32_t columns, std::vector<DZChunk>& chunks) {
  std::vector<uint8_t> transposed(kPlainChunk);
  for (size_t pos = 0; pos < data.size(); pos += kPlainChunk) {
    DZChunk c;
    c.original = data.data() + pos;
    c.length = static_cast<uint32_t>(std::min<size_t>(kPlainChunk, data.size() - pos));
    const uint8_t* input = c.original;
    if (columns != 0) {
      qm::Transpose(c.original, c.length, transposed.data(), columns);
      input = transposed.data();
    }
    uLongf size = compressBound(c.length);
    c.stream.resize(size);
    if (compress2(c.stream.data(), &size, input, c.length, 6) != Z_OK) return false;
    c.stream.resize(size);
    chunks.push_back(std::move(c));
  }
  return true;
}

// Inflates every chunk with the library's inflater; checks the bytes when `verify` is set.
bool InflateAll(const std::vector<DZChunk>& chunks, uint8_t zipType, uint32_t columns,
                qm::InflateBuffers& buffers, bool verify) {
  for (const DZChunk& c : chunks) {
    const qm::DZInput in{c.stream.data(), c.stream.size(), c.stream.size(), zipType, columns};
    const std::unique_ptr<uint8_t[]> out = qm::InflateFragment(in, c.length, buffers);
    if (!out) return false;
    if (verify && std::memcmp(out.get(), c.original, c.length) != 0) return false;
  }
  return true;
}

// Inflates every chunk with zlib alone into one reused buffer: the cost of the stream itself.
bool ZlibInflateAll(const std::vector<DZChunk>& chunks, std::vector<uint8_t>& out) {
  for (const DZChunk& c : chunks) {
    uLongf size = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &size, c.stream.data(), c.stream.size()) != Z_OK || size != c.length)
      return false;
  }
  return true;
}

void BenchInflate(const Options& opt) {
  const uint64_t bytes = std::max<uint64_t>(opt.inflateMiB * 1024 * 1024, kSampleBytes);
  // Record data of a sorted group: samples back to back, no record IDs.
  std::vector<double> values;
  FillSamples(values, 0, static_cast<uint32_t>(bytes / kSampleBytes));
  std::vector<uint8_t> data(bytes, 0);
  std::memcpy(data.data(), values.data(), values.size() * sizeof(double));

  std::vector<uint8_t> zlibOut(kPlainChunk);
  for (const uint8_t zipType : {qm::fmt::kZipDeflate, qm::fmt::kZipTransposeDeflate}) {
    const uint32_t columns = zipType == qm::fmt::kZipTransposeDeflate ? kSampleBytes : 0;
    std::vector<DZChunk> chunks;
    if (!Compress(data, columns, chunks)) {
      Fail("zlib compression of the test data");
      return;
    }
    uint64_t stored = 0;
    for (const DZChunk& c : chunks) stored += c.stream.size();
    qm::InflateBuffers buffers;
    if (!InflateAll(chunks, zipType, columns, buffers, true)) {
      Fail("InflateFragment, zip type " + std::to_string(zipType));
      return;
    }
    double best = 0, bestZlib = 0;
    for (uint32_t r = 0; r < opt.repetitions; ++r) {
      Clock::time_point start = Clock::now();
      const bool ok = InflateAll(chunks, zipType, columns, buffers, false);
      const double t = SecondsSince(start);
      start = Clock::now();
      const bool zok = ZlibInflateAll(chunks, zlibOut);
      const double z = SecondsSince(start);
      if (!ok || !zok) {
        Fail("inflation, zip type " + std::to_string(zipType));
        return;
      }
      best = r == 0 ? t : std::min(best, t);
      bestZlib = r == 0 ? z : std::min(bestZlib, z);
    }
    char kind[32];
    if (columns != 0)
      std::snprintf(kind, sizeof kind, "1 (N=%u)", columns);
    else
      std::snprintf(kind, sizeof kind, "0");
    std::printf("inflate zip type %s (%.0f MiB, stored %.1f%%): %.1f MB/s, plain zlib inflate: "
                "%.1f MB/s, ratio %.2f\n",
                kind, bytes / kMiB, 100.0 * stored / bytes, MBps(bytes, best),
                MBps(bytes, bestZlib), bestZlib / best);
  }
}

// ---- 5. Compressed sorted copies ------------------------------------------------------------

// gzip -6 of source into destination: zlib's deflate at level 6 in the gzip format, read and
// written in 4 MiB pieces. Seconds, or negative; *size receives the compressed bytes.
double TimeGzip(const fs::path& source, const fs::path& destination, uint64_t* size) {
  RemoveFile(destination);
  const Clock::time_point start = Clock::now();
  std::vector<uint8_t> in(kPlainChunk), out(kPlainChunk);
  const int from = open(source.c_str(), O_RDONLY);
  const int to = open(destination.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  z_stream zs{};
  bool ok = from >= 0 && to >= 0 && deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  uint64_t pos = 0;
  for (bool end = false; ok && !end;) {
    const ssize_t k = read(from, in.data(), in.size());
    if (k < 0 && errno == EINTR) continue;
    ok = k >= 0;
    end = k == 0;
    zs.next_in = in.data();
    zs.avail_in = static_cast<uInt>(std::max<ssize_t>(k, 0));
    do {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      const int rc = deflate(&zs, end ? Z_FINISH : Z_NO_FLUSH);
      const size_t made = out.size() - zs.avail_out;
      ok = ok && rc != Z_STREAM_ERROR && WriteAllAt(to, out.data(), made, pos);
      pos += made;
    } while (ok && zs.avail_out == 0);
  }
  deflateEnd(&zs);
  *size = pos;
  return EndTransfer(from, to, ok, "gzip -6 of " + source.string(), start);
}

void BenchCompress(const Options& opt, const ScratchDir& dir) {
  constexpr uint32_t kGroups = 10;
  const fs::path source = dir.File("signals.mf4"), sorted = dir.File("signals_sorted.mf4");
  const fs::path gz = dir.File("signals_sorted.mf4.gz"), packed = dir.File("signals_dz.mf4");
  if (!BuildUnsorted(source, kGroups, opt.compressMiB, FillSignals)) return;
  const uint64_t bytes = FileSize(source);
  // The best of the repetitions, each run alternating with the others.
  auto best = [&](auto run) {
    double b = -1;
    const Clock::time_point start = Clock::now();
    for (uint32_t r = 0; r < opt.repetitions && (r == 0 || SecondsSince(start) < opt.budget); ++r) {
      sync();
      const double t = run();
      if (t < 0) return -1.0;
      b = b < 0 ? t : std::min(b, t);
    }
    return b;
  };
  auto sort = [&](const fs::path& to, int level) {
    double t = 0;
    if (TimeSort(source, to, 1e9, &t, level) != SortOutcome::kDone) {
      Fail("sort of the signals file at level " + std::to_string(level));
      return -1.0;
    }
    return t;
  };
  const double plain = best([&] { return sort(sorted, 0); });
  uint64_t gzSize = 0;
  const double gzip = best([&] { return TimeGzip(sorted, gz, &gzSize); });
  if (plain < 0 || gzip < 0) return;
  const uint64_t copySize = FileSize(sorted);
  std::printf("compress %u groups of sines, noise, counters and steps (%.1f MiB): uncompressed sort "
              "%.2f s, copy %.1f MiB; gzip -6 of the copy: %.2f s, %.1f%% of it\n",
              kGroups, bytes / kMiB, plain, copySize / kMiB, gzip, 100.0 * gzSize / copySize);
  for (int level = qm::kMinCompressLevel; level <= qm::kMaxCompressLevel; ++level) {
    const double t = best([&] { return sort(packed, level); });
    if (t < 0) return;
    const uint64_t size = FileSize(packed);
    const bool isDefault = level == qm::kDefaultCompressLevel;
    std::printf("compress level %2d%s: %.2f s (%.2f x the uncompressed sort, %.2f x gzip -6), "
                "%.1f%% of the copy (%.2f x gzip -6)%s\n",
                level, isDefault ? " (default)" : "", t, t / plain, t / gzip, 100.0 * size / copySize,
                static_cast<double>(size) / static_cast<double>(gzSize),
                isDefault ? ", goal: both below 1" : "");
    std::fflush(stdout);
  }
  for (const fs::path& p : {source, sorted, gz, packed}) RemoveFile(p);
}

// ---- 6. Python appends ----------------------------------------------------------------------

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs bench/python_append.py on path: its seconds; negative on failure, or when it skips
// (no NumPy or package) with the reason in *why.
double TimePythonWrite(const fs::path& path, uint64_t samples, std::string* why) {
  RemoveFile(path);
  const std::string command = "QUILLMARK_LIBRARY=" + ShellQuote(QM_BENCH_LIBRARY) +
                              " PYTHONPATH=" + ShellQuote(QM_BENCH_PYTHON_PATH) + " " +
                              ShellQuote(QM_BENCH_PYTHON) + " " + ShellQuote(QM_BENCH_PYTHON_SCRIPT) +
                              " " + ShellQuote(path.string()) + " " + std::to_string(samples);
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    Fail("cannot start " QM_BENCH_PYTHON);
    return -1;
  }
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  const int status = pclose(pipe);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
    *why = out.substr(0, out.find('\n'));
    return -1;
  }
  char* end = nullptr;
  const double seconds = std::strtod(out.c_str(), &end);
  if (status != 0 || end == out.c_str() || !(seconds > 0)) {
    Fail("the Python appends failed: " + out);
    return -1;
  }
  return seconds;
}

void BenchPython(const Options& opt, const ScratchDir& dir) {
  const BulkWork work = MakeBulkWork(opt);
  const uint64_t calls = work.calls, samples = work.samples, bytes = work.bytes;
  const std::vector<double>& values = work.values;
  const fs::path c = dir.File("bulk_c.mf4");
  const fs::path py = dir.File("bulk_python.mf4");
  double best = 0, bestC = 0;
  std::string why;
  const bool ok = BestOfAlternating(
      opt.repetitions, [&] { return TimePythonWrite(py, samples, &why); },
      [&] { return TimeBulkWrite(c, samples, values); },
      [&] { return CheckAndRemove(py, bytes, c); },
      &best, &bestC);
  if (!why.empty()) std::printf("python append: %s\n", why.c_str());
  if (!ok) return;
  std::printf("python append (%llu call%s of %u rows, %.1f MiB): %.1f MB/s, C interface: %.1f "
              "MB/s, ratio %.2f (goal >= 0.8)\n",
              static_cast<unsigned long long>(calls), calls == 1 ? "" : "s", kBulkSamplesPerCall,
              bytes / kMiB, MBps(bytes, best), MBps(bytes, bestC), bestC / best);
}

// ---- 6. Sync policies ---------------------------------------------------------------------

// The disk's own rate of durable small writes: an 8-byte write and fdatasync, repeated for
// `budget` seconds. Syncs per second, or negative on failure.
double DiskSyncRate(const fs::path& path, double budget) {
  RemoveFile(path);
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) return -1;
  const Clock::time_point start = Clock::now();
  uint64_t syncs = 0;
  bool ok = true;
  do {
    ok = WriteAllAt(fd, &syncs, sizeof syncs, (syncs % 512) * 8) && fdatasync(fd) == 0;
    ++syncs;
  } while (ok && SecondsSince(start) < budget);
  const double seconds = SecondsSince(start);
  close(fd);
  RemoveFile(path);
  return ok ? syncs / seconds : -1;
}

// One-sample calls per second and bulk MB/s under each QUILLMARK_SYNC policy.
void BenchSync(const Options& opt, const ScratchDir& dir) {
  const double disk = DiskSyncRate(dir.File("sync.bin"), std::min(opt.budget, 2.0));
  if (disk < 0) {
    Fail("cannot measure the disk's sync rate");
    return;
  }
  const uint64_t samples = std::max<uint64_t>(
      kBulkSamplesPerCall, static_cast<uint64_t>(std::min(opt.recordMiB, 16.0) * kMiB / kRecordBytes) /
                               kBulkSamplesPerCall * kBulkSamplesPerCall);
  std::vector<double> values;
  FillSamples(values, 0, kBulkSamplesPerCall);
  for (const char* policy : {"off", "close", "interval=100", "always"}) {
    setenv("QUILLMARK_SYNC", policy, 1);
    const fs::path path = dir.File("sync.mf4");
    RemoveFile(path);
    uint32_t made = 0;
    const double single = TimeSingleCalls(path, opt.singleCalls, std::min(opt.budget, 2.0), &made);
    RemoveFile(path);
    const double bulk = TimeBulkWrite(path, samples, values);
    RemoveFile(path);
    unsetenv("QUILLMARK_SYNC");
    if (single < 0 || bulk < 0) return;
    std::printf("sync %-12s one-sample calls: %.0f calls/s, bulk (%.1f MiB): %.1f MB/s, disk: %.0f syncs/s\n",
                policy, made / single, samples * kRecordBytes / kMiB, MBps(samples * kRecordBytes, bulk), disk);
  }
}

// ---- Command line -------------------------------------------------------------------------

void Usage() {
  std::fprintf(stderr,
               "usage: quillmark_bench [--quick] [--mb N] [--sort-mb N] [--calls N] [--seconds S] "
               "[--inflate-mb N] [--compress-mb N] [--reps N] [--only LIST]\n"
               "  --quick         tiny sizes, one repetition: a smoke run\n"
               "  --mb N          MiB of records for the bulk file (default 64, or QM_BENCH_MB)\n"
               "  --sort-mb N     MiB of records for each sort input (default 1024)\n"
               "  --calls N       one-sample calls at most (default 20000)\n"
               "  --seconds S     time a one-sample or sort measurement may use (default 10)\n"
               "  --inflate-mb N  MiB of data to inflate (default 64)\n"
               "  --compress-mb N MiB of records for the compressed sorts (default 64)\n"
               "  --reps N        repetitions, the best is kept (default 3)\n"
               "  --only LIST     comma-separated: bulk, single, single-lib, sort, inflate, compress,\n"
               "                  sync, python\n");
}

// Reads a positive number; false when text is not one.
bool ParseNumber(const char* text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && *value > 0 && std::isfinite(*value);
}

bool ParseOptions(int argc, char** argv, Options* opt) {
  if (const char* env = std::getenv("QM_BENCH_MB")) {
    double v = 0;
    if (!ParseNumber(env, &v)) return false;
    opt->recordMiB = std::min(v, 1e6);
  }
  // --quick first, so that explicit sizes given with it still apply.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      opt->quick = true;
      opt->recordMiB = 0.5;
      opt->sortMiB = 0.5;
      opt->singleCalls = 200;
      opt->budget = 60.0;
      opt->inflateMiB = 4;
      opt->compressMiB = 0.5;
      opt->repetitions = 1;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") continue;
    if (arg == "--help" || arg == "-h" || i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--only") {
      std::string list = value;
      for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, comma - start);
        if (name != "bulk" && name != "single" && name != "single-lib" && name != "sort" &&
            name != "inflate" && name != "sync" && name != "compress" &&
            name != "python")
          return false;
        opt->only.insert(name);
        start = comma + 1;
      }
      continue;
    }
    double v = 0;
    if (!ParseNumber(value, &v)) return false;
    if (arg == "--mb" || arg == "--scale")
      opt->recordMiB = std::min(v, 1e6);
    else if (arg == "--sort-mb")
      opt->sortMiB = std::min(v, 1e6);
    else if (arg == "--calls")
      opt->singleCalls = static_cast<uint32_t>(std::min(v, 4e9));
    else if (arg == "--seconds")
      opt->budget = std::min(v, 1e6);
    else if (arg == "--compress-mb")
      opt->compressMiB = std::min(v, 1e6);
    else if (arg == "--inflate-mb")
      opt->inflateMiB = static_cast<uint64_t>(std::clamp(v, 1.0, 4096.0));
    else if (arg == "--reps")
      opt->repetitions = static_cast<uint32_t>(std::clamp(v, 1.0, 1000.0));
    else
      return false;
  }
  return opt->singleCalls > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, &opt)) {
    Usage();
    return 2;
  }
  ScratchDir dir;
  if (!dir.Ok()) {
    std::fprintf(stderr, "FAILED: cannot make a temporary folder\n");
    return 1;
  }
  std::printf("quillmark_bench: %.1f MiB of records to write, %.1f MiB to sort, up to %u "
              "one-sample calls, %llu MiB to inflate, best of %u, %g s a measurement\n",
              opt.recordMiB, opt.sortMiB, opt.singleCalls, static_cast<unsigned long long>(opt.inflateMiB),
              opt.repetitions, opt.budget);
  std::fflush(stdout);
  if (opt.Runs("bulk")) BenchBulk(opt, dir);
  std::fflush(stdout);
  if (opt.Runs("single") || opt.Runs("single-lib")) BenchSingle(opt, dir, opt.Runs("single"));
  std::fflush(stdout);
  if (opt.Runs("sort")) BenchSort(opt, dir);
  std::fflush(stdout);
  if (opt.Runs("inflate")) BenchInflate(opt);
  std::fflush(stdout);
  if (opt.Runs("compress")) BenchCompress(opt, dir);
  std::fflush(stdout);
  if (opt.Runs("sync")) BenchSync(opt, dir);
  std::fflush(stdout);
  if (opt.Runs("python")) BenchPython(opt, dir);
  std::fflush(stdout);
  if (g_failures != 0) {
    std::fprintf(stderr, "quillmark_bench: %d failure%s\n", g_failures, g_failures == 1 ? "" : "s");
    return 1;
  }
  return 0;
}
