// Host calls as data: the crash tests' scenario (groups added between calls, calls that cross
// blocks and lists), running calls, and reading back what a file holds per group.
#include "scenario.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/chain_walker.h"
#include "block/text_block.h"
#include "file/mdf4_file.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"
#include "mdf_builder.h"
#include "stream/data_stream.h"
#include "stream/record_splitter.h"

namespace qm::test {

void SetSyncPolicy(const char* value) {
#ifdef _WIN32
  _putenv_s("QUILLMARK_SYNC", value);
#else
  setenv("QUILLMARK_SYNC", value, 1);
#endif
}

void AddGroupOps(std::vector<ScenarioOp>& ops, const std::string& group, int channels, bool withTime) {
  ops.push_back({ScenarioOp::kGroup, group, channels, withTime});
  for (int i = 0; i < channels; ++i) ops.push_back({ScenarioOp::kChannel, group});
}

std::vector<ScenarioOp> CrashScenario() {
  using K = ScenarioOp;
  std::vector<ScenarioOp> ops = {{K::kCreate}};
  AddGroupOps(ops, "Wide", 31, true);
  AddGroupOps(ops, "Slow", 1, false);
  for (uint32_t i = 0; i < 6; ++i) {
    ops.push_back({K::kData1D, "Wide", 0, false, 1 + i * 3});
    ops.push_back({K::kData1D, "Slow", 0, false, 2 + i});
  }
  ops.push_back({K::kData1D, "Wide", 0, false, 40000});  // ~10 MB: crosses blocks
  ops.push_back({K::kData2D, "Slow", 0, false, 7});
  AddGroupOps(ops, "[7]Late", 1, true);  // a group added between data calls
  ops.push_back({K::kData1D, "[7]Late", 0, false, 5});
  ops.push_back({K::kData1D, "Wide", 0, false, 45000});  // past 20 MiB: a second list
  ops.push_back({K::kData1D, "Slow", 0, false, 0});
  for (uint32_t i = 0; i < 4; ++i) {
    ops.push_back({K::kData2D, "[7]Late", 0, false, 3 + i});
    ops.push_back({K::kData1D, "Wide", 0, false, 2 + i});
  }
  ops.push_back({K::kClose});
  return ops;
}

namespace {

int ChannelsOf(const std::vector<ScenarioOp>& ops, const std::string& group) {
  for (const ScenarioOp& op : ops)
    if (op.kind == ScenarioOp::kGroup && op.group == group) return op.channels + (op.withTime ? 1 : 0);
  return 0;
}

// Sample values depend on the op's index, so every call's records are distinct.
std::vector<double> Samples(const std::vector<ScenarioOp>& ops, size_t opIndex) {
  const ScenarioOp& op = ops[opIndex];
  const int width = ChannelsOf(ops, op.group);
  std::vector<double> v(std::max<size_t>(size_t{op.count} * width, 1));  // a valid pointer for width 0
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(opIndex) * 1e7 + static_cast<double>(i);
  return v;
}

}  // namespace

bool RunOp(const std::string& path, const std::vector<ScenarioOp>& ops, size_t i, MDF4Handle& h) {
  MDF4HeaderInfo info{"crash test", "qa", "quillmark", "stop points", "local clock", "scenario"};
  const ScenarioOp& op = ops[i];
  switch (op.kind) {
    case ScenarioOp::kCreate: {
      int64_t start = 0;
      return MDF4_Create(path.c_str(), &h, &info, &start);
    }
    case ScenarioOp::kGroup: return MDF4_AddChannelGroup(&h, op.group.c_str(), op.withTime);
    case ScenarioOp::kChannel: return MDF4_AddChannel(&h, op.group.c_str(), "ch", "V", 2.0, 0.5);
    case ScenarioOp::kData1D: {
      const std::vector<double> v = Samples(ops, i);
      return MDF4_AddChannelData1D(&h, op.group.c_str(), v.data(), op.count);
    }
    case ScenarioOp::kData2D: {
      std::vector<double> v = Samples(ops, i);
      std::vector<double*> rows(op.count);
      const size_t width = ChannelsOf(ops, op.group);
      for (uint32_t r = 0; r < op.count; ++r) rows[r] = v.data() + r * width;
      return MDF4_AddChannelData2D(&h, op.group.c_str(), rows.data(), static_cast<int32_t>(op.count));
    }
    case ScenarioOp::kClose: MDF4_Close(&h); return true;
  }
  return false;
}

size_t RunFrom(const std::string& path, const std::vector<ScenarioOp>& ops, size_t first, MDF4Handle& h,
               const std::function<void(size_t)>& afterCall) {
  for (size_t i = first; i < ops.size(); ++i) {
    if (!RunOp(path, ops, i, h) || h.errorCode != 0) return i;
    if (afterCall) afterCall(i + 1);
  }
  return ops.size();
}

std::map<std::string, std::vector<uint8_t>> ExpectedRecords(const std::vector<ScenarioOp>& ops,
                                                            size_t completed, bool includeNext) {
  std::map<std::string, std::vector<uint8_t>> out;
  const size_t last = includeNext ? completed + 1 : completed;
  for (size_t i = 0; i < last && i < ops.size(); ++i) {
    const ScenarioOp& op = ops[i];
    if (op.kind == ScenarioOp::kGroup) out[op.group];
    if (op.kind != ScenarioOp::kData1D && op.kind != ScenarioOp::kData2D) continue;
    const std::vector<double> v = Samples(ops, i);
    auto& bytes = out[op.group];
    const auto* p = reinterpret_cast<const uint8_t*>(v.data());
    bytes.insert(bytes.end(), p, p + size_t{op.count} * ChannelsOf(ops, op.group) * sizeof(double));
  }
  return out;
}

bool ReadGroups(const std::string& path, std::map<std::string, std::vector<uint8_t>>* groups,
                std::map<std::string, uint64_t>* recordSizes) {
  groups->clear();
  recordSizes->clear();
  std::map<std::string, uint64_t> cycles;
  MDF4File file;
  const std::u16string wide = os::NarrowToWide(path.c_str());
  if (!file.OpenForInspection(wide.c_str())) return false;
  // Every data group (a sorted copy has one per group; without IDs its one group is ID 0).
  ChainWalker<M4DGBlock> dgs(&file.Direct(), file.HD().GetLink(fmt::kHdDgFirst), fmt::kDG, fmt::kDgNext);
  while (std::unique_ptr<M4DGBlock> dg = dgs.Next()) {
    RecordSink sink;
    std::map<uint64_t, std::string> names;
    ChainWalker<M4CGBlock> walk(&file.Direct(), dg->GetLink(fmt::kDgCgFirst), fmt::kCG, fmt::kCgNext);
    while (std::unique_ptr<M4CGBlock> cg = walk.Next()) {
      std::unique_ptr<M4TXBlock> name = LoadAs<M4TXBlock>(&file.Direct(), cg->GetLink(fmt::kCgTxAcqName), fmt::kTX);
      const std::string n = name ? os::WideToNarrow(name->Decode().c_str()) : std::string();
      const uint64_t id = dg->dg_rec_id_size == 0 ? 0 : cg->cg_record_id;
      sink.groups[id] = {false, cg->RecordSize(), {}};
      names[id] = n;
      (*recordSizes)[n] = cg->RecordSize();
      cycles[n] = cg->cg_cycle_count;
    }
    m4DataStream reader;
    if (walk.StoppedEarly() || !reader.OpenForRead(&file.Direct(), dg->GetLink(fmt::kDgData))) return false;
    // The whole data in memory first: one read per block instead of two per record.
    const size_t total = reader.TotalLength();
    std::vector<uint8_t> data(total + kSplitSlack);
    for (size_t at = 0; at < total;) {
      const int32_t got = reader.ReadBytes(static_cast<uint32_t>(std::min<size_t>(total - at, 1u << 30)), data.data() + at);
      if (got <= 0) return false;
      at += static_cast<size_t>(got);
    }
    // Only whole records of declared groups: anything else is damage.
    RecordSplitter<RecordSink> split(dg->dg_rec_id_size, sink);
    if (split.Feed(data.data(), data.data() + total) != RecordSplitter<RecordSink>::Stop::kFed || split.InId() ||
        split.InRecord())
      return false;
    for (auto& [id, target] : sink.groups) (*groups)[names[id]] = std::move(target.bytes);
  }
  for (const auto& [name, bytes] : *groups)
    if (cycles[name] * (*recordSizes)[name] != bytes.size()) return false;
  return !dgs.StoppedEarly();  // no data group linked yet is an empty file
}

void ExpectAppendsOneSample(MDF4Handle& h, const std::string& path,
                            const std::map<std::string, std::vector<uint8_t>>& groups,
                            const std::map<std::string, uint64_t>& recordSizes) {
  const std::vector<double> row(60, 1.5);
  for (const auto& [name, bytes] : groups)
    EXPECT_TRUE(MDF4_AddChannelData1D(&h, name.c_str(), row.data(), 1)) << name << " " << h.errorCode;
  MDF4_Close(&h);
  EXPECT_EQ(h.errorCode, 0);
  std::map<std::string, std::vector<uint8_t>> after;
  std::map<std::string, uint64_t> afterSizes;
  ASSERT_TRUE(ReadGroups(path, &after, &afterSizes));
  for (const auto& [name, bytes] : groups) EXPECT_EQ(after[name].size(), bytes.size() + recordSizes.at(name)) << name;
}

void ExpectReopensWithCompletedCalls(const std::string& path, const std::vector<ScenarioOp>& ops, size_t completed,
                                     bool orOneMore) {
  MDF4Handle h{};
  MDF4HeaderInfo header{"", "", "", "", "", ""};
  int64_t start = 0;
  ASSERT_TRUE(MDF4_Create(path.c_str(), &h, &header, &start)) << h.errorCode;
  std::map<std::string, std::vector<uint8_t>> groups;
  std::map<std::string, uint64_t> recordSizes;
  ASSERT_TRUE(ReadGroups(path, &groups, &recordSizes));
  // A declaration stopped before its name was written leaves a group nobody can address.
  if (orOneMore && groups.count("") != 0 && groups[""].empty()) groups.erase("");
  const bool exact = groups == ExpectedRecords(ops, completed, false);
  ASSERT_TRUE(exact || (orOneMore && groups == ExpectedRecords(ops, completed, true)))
      << "the file does not hold exactly the completed calls";
  ExpectAppendsOneSample(h, path, groups, recordSizes);
}

}  // namespace qm::test
