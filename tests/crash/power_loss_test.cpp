// A power loss keeps any subset of the writes made since the last sync: every disk image it
// can leave reopens with a prefix of the calls, keeps what was synced, and takes appends.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "cli_run.h"
#include "scenario.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

using Groups = std::map<std::string, std::vector<uint8_t>>;
using Journal = std::vector<os::JournalEntry>;

// Two groups appended one record per call, with one call of a wide group that fills a block
// and starts the next in between, so that lists, block lengths and counts are all at stake.
std::vector<ScenarioOp> PowerLossScenario() {
  using K = ScenarioOp;
  std::vector<ScenarioOp> ops = {{K::kCreate}};
  AddGroupOps(ops, "Fast", 2, true);
  AddGroupOps(ops, "Slow", 1, false);
  AddGroupOps(ops, "Wide", 59, true);  // 482-byte records: a record ID in every sector
  for (int i = 0; i < 40; ++i) ops.push_back({i % 3 == 2 ? K::kData2D : K::kData1D, i % 2 ? "Slow" : "Fast", 0, false, 1});
  ops.push_back({K::kData1D, "Wide", 0, false, 8750});  // past the first block
  for (int i = 0; i < 40; ++i) ops.push_back({K::kData1D, i % 2 ? "Fast" : "Slow", 0, false, 1});
  ops.push_back({K::kClose});
  return ops;
}

// What a journal entry leaves on the disk: a size change, or a write; with `tear`, a write
// reaches the disk only in some of its 512-byte sectors.
void Apply(const os::JournalEntry& e, std::vector<uint8_t>& disk, std::mt19937* tear = nullptr) {
  if (e.kind == os::JournalEntry::kSize) disk.resize(e.position, 0);
  if (e.kind != os::JournalEntry::kWrite) return;
  const uint64_t end = e.position + e.bytes.size();
  for (uint64_t sector = e.position & ~uint64_t{511}; sector < end; sector += 512) {
    if (tear != nullptr && (*tear)() % 2 != 0) continue;
    const uint64_t from = std::max(sector, e.position), to = std::min(sector + 512, end);
    if (disk.size() < to) disk.resize(to, 0);
    std::copy(e.bytes.begin() + static_cast<std::ptrdiff_t>(from - e.position),
              e.bytes.begin() + static_cast<std::ptrdiff_t>(to - e.position),
              disk.begin() + static_cast<std::ptrdiff_t>(from));
  }
}

struct Recording {
  Journal journal;
  std::vector<size_t> callEnd;  // journal length when call i + 1 had completed
  Groups all;                   // every group's records after all calls
  std::vector<std::map<std::string, size_t>> lengthAfter;  // record bytes per group after c calls
};

Recording Record(const std::string& path, const std::vector<ScenarioOp>& ops) {
  Recording r;
  std::filesystem::remove(path);
  os::StartWriteJournal();
  MDF4Handle h{};
  const bool ran = ops.size() == RunFrom(path, ops, 0, h, [&](size_t) {
    Journal part = os::TakeWriteJournal();
    r.journal.insert(r.journal.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
    r.callEnd.push_back(r.journal.size());
    os::StartWriteJournal();
  });
  os::TakeWriteJournal();
  EXPECT_TRUE(ran);
  r.all = ExpectedRecords(ops, ops.size(), false);
  for (size_t c = 0; c <= ops.size(); ++c) {
    std::map<std::string, size_t> lengths;
    for (const auto& [name, bytes] : ExpectedRecords(ops, c, false)) lengths[name] = bytes.size();
    r.lengthAfter.push_back(lengths);
  }
  return r;
}

// Calls completed when the journal had `events` entries.
size_t CallsAt(const Recording& r, size_t events) {
  return static_cast<size_t>(std::upper_bound(r.callEnd.begin(), r.callEnd.end(), events) - r.callEnd.begin());
}

// Whether actual is expected, except that the tail of its last record (record bytes) reads
// as zeros when tornTail: without a sync, the length and count covering a record can reach
// the disk while the sector with the end of its values does not.
bool SamePrefix(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected, uint64_t record,
                bool tornTail) {
  if (actual.size() > expected.size()) return false;
  const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
  if (mismatch.first == actual.end()) return true;
  const auto index = static_cast<uint64_t>(mismatch.first - actual.begin());
  return tornTail && record != 0 && index + record >= actual.size() &&
         std::all_of(mismatch.first, actual.end(), [](uint8_t b) { return b == 0; });
}

// The number of whole calls the groups hold (the one after them may be there in part), or
// -1 when they are not a prefix of the calls. Records beyond the first `durable` calls may
// have a torn tail. With valuesOnly, groups without records may be missing.
long KeptCalls(const Recording& r, const Groups& groups, const std::map<std::string, uint64_t>& recordSizes,
               size_t durable, bool valuesOnly = false) {
  for (const auto& [name, bytes] : groups) {
    auto it = r.all.find(name);
    auto length = r.lengthAfter[durable].find(name);
    const uint64_t record = recordSizes.at(name);
    const bool tornTail = length == r.lengthAfter[durable].end() || bytes.size() > length->second;
    if (it == r.all.end() || !SamePrefix(bytes, it->second, record, tornTail)) return -1;
  }
  auto holds = [&](size_t c) {
    for (const auto& [name, length] : r.lengthAfter[c]) {
      auto it = groups.find(name);
      if (it == groups.end() ? !valuesOnly || length != 0 : it->second.size() < length) return false;
    }
    return true;
  };
  size_t c = 0;
  while (c + 1 < r.lengthAfter.size() && holds(c + 1)) ++c;
  if (c + 1 < r.lengthAfter.size()) {
    for (const auto& [name, bytes] : groups) {
      auto it = r.lengthAfter[c + 1].find(name);
      if (it == r.lengthAfter[c + 1].end() ? !valuesOnly || !bytes.empty() : bytes.size() > it->second) return -1;
    }
  }
  return static_cast<long>(c);
}

// The CSV files `quillmark export` writes for path into folder, by name.
std::map<std::string, std::string> ExportedCsv(const std::string& path, const std::string& folder) {
  std::filesystem::remove_all(folder);
  const CliResult r = RunCli({"export", path, "--output", folder});
  std::map<std::string, std::string> files;
  EXPECT_EQ(r.status, 0) << r.err;
  if (r.status != 0) return files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    files[entry.path().filename().string()] = ReadAll(entry.path().string());
  return files;
}

// Builds `images` disk images of random power losses during the recorded run and checks
// each; the run must have synced between minSyncs and maxSyncs times.
void CheckPowerLosses(const char* policy, int images, uint32_t seed, size_t minSyncs, size_t maxSyncs) {
  SCOPED_TRACE(std::string("QUILLMARK_SYNC=") + policy + ", seed " + std::to_string(seed));
  TempDir dir;
  const std::string path = dir.Path("written.mf4"), image = dir.Path("image.mf4"), sorted = dir.Path("sorted.mf4");
  const std::vector<ScenarioOp> ops = PowerLossScenario();
  SetSyncPolicy(policy);
  const Recording r = Record(path, ops);
  SetSyncPolicy("");
  ASSERT_FALSE(r.journal.empty());
  const auto syncs = static_cast<size_t>(std::count_if(r.journal.begin(), r.journal.end(), [](const os::JournalEntry& e) {
    return e.kind == os::JournalEntry::kSync;
  }));
  EXPECT_GE(syncs, minSyncs);
  EXPECT_LE(syncs, maxSyncs);
  std::mt19937 random(seed);
  std::vector<uint8_t> disk;
  int reopened = 0, sortedImages = 0;
  for (int n = 0; n < images; ++n) {
    // The moment of the power loss, the last sync before it and the writeback window: the
    // kernel has written back everything older than the last `window` calls.
    const size_t at = 1 + random() % r.journal.size();
    const size_t completed = CallsAt(r, at);
    size_t synced = 0;  // journal entries certainly on disk
    for (size_t i = 0; i < at; ++i)
      if (r.journal[i].kind == os::JournalEntry::kSync) synced = i + 1;
    const size_t window = 1 + random() % 12;
    if (completed > window) synced = std::max(synced, r.callEnd[completed - window - 1]);
    const size_t durableCalls = CallsAt(r, synced);

    disk.clear();
    for (size_t i = 0; i < synced; ++i) Apply(r.journal[i], disk);
    std::vector<size_t> later;
    for (size_t i = synced; i < at; ++i)
      if (random() % 2 == 0) later.push_back(i);
    std::shuffle(later.begin(), later.end(), random);
    for (size_t i : later) Apply(r.journal[i], disk, random() % 4 == 0 ? &random : nullptr);
    std::ofstream(image, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(disk.data()), static_cast<std::streamsize>(disk.size()));
    SCOPED_TRACE("image " + std::to_string(n) + ": loss at journal entry " + std::to_string(at) + " of " +
                 std::to_string(r.journal.size()) + ", " + std::to_string(completed) + " calls done, " +
                 std::to_string(durableCalls) + " on disk");

    // The sort of the image as the power loss left it (before the reopen repairs it).
    const bool sortedOk = n % 4 == 0 && MDF4_Sort(image.c_str(), sorted.c_str());
    const auto exported = sortedOk ? ExportedCsv(image, dir.Path("image-csv")) : std::map<std::string, std::string>{};
    MDF4Handle h{};
    MDF4HeaderInfo info{"", "", "", "", "", ""};
    int64_t start = 0;
    if (!MDF4_Create(image.c_str(), &h, &info, &start)) {
      // Only a file whose identification, header or data group never reached the disk is refused.
      EXPECT_LE(durableCalls, 1u) << "reopen failed with " << h.errorCode;
      MDF4_FreeString(h.errorMessage);
      MDF4_Close(&h);
      continue;
    }
    ++reopened;
    Groups groups;
    std::map<std::string, uint64_t> sizes;
    ASSERT_TRUE(ReadGroups(image, &groups, &sizes)) << "the reopened file's records cannot be read or counted";
    const long kept = KeptCalls(r, groups, sizes, durableCalls);
    ASSERT_GE(kept, 0) << "the records are not a prefix of the calls";
    EXPECT_GE(static_cast<size_t>(kept), std::min(durableCalls, ops.size() - 1)) << "calls on disk were lost";
    if (n % 4 == 0) {
      // The sorted copy holds the image's last consistent state: a prefix of the calls, counted.
      Groups copy;
      std::map<std::string, uint64_t> copySizes;
      ASSERT_TRUE(sortedOk && ReadGroups(sorted, &copy, &copySizes)) << "the unrepaired image does not sort";
      // Values only: a group whose name did not reach the disk is copied without one.
      auto values = [](Groups g) { return std::erase_if(g, [](const auto& e) { return e.second.empty(); }), g; };
      copy = values(copy);
      const long copied = KeptCalls(r, copy, copySizes, durableCalls, true);
      ASSERT_GE(copied, 0) << "the sorted copy is not a prefix of the calls";
      EXPECT_GE(static_cast<size_t>(copied), std::min(durableCalls, ops.size() - 1)) << "the sort lost calls on disk";
      EXPECT_EQ(copy, values(groups)) << "the sort and the reopen keep different states";
      // export shows the unrepaired image as its sorted copy holds it.
      EXPECT_EQ(exported, ExportedCsv(sorted, dir.Path("sorted-csv")));
      ++sortedImages;
    }

    ExpectAppendsOneSample(h, image, groups, sizes);  // appending continues the file
    if (testing::Test::HasFailure()) return;
  }
  std::printf("power loss (%s): %d images, %d reopened, %d sorted before the reopen\n", policy, images, reopened,
              sortedImages);
}

TEST(PowerLoss, EveryPolicyKeepsAPrefixOfTheCalls) {
  const size_t dataCalls = 81;
  const struct {
    const char* policy;
    uint32_t seed;
    size_t minSyncs, maxSyncs;
  } cases[] = {{"off", 17, 0, 0},
               {"close", 29, 1, 1},
               {"interval=2", 31, 1, 2 * dataCalls + 1},
               {"always", 43, 2 * dataCalls + 1, 2 * dataCalls + 1}};  // two a call, one at close
  for (const auto& c : cases) {
    CheckPowerLosses(c.policy, 250, c.seed, c.minSyncs, c.maxSyncs);
    if (testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace qm::test
