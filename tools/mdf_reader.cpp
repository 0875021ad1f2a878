// Loads the structure of an MDF 4 file read-only and iterates the records of its data groups.
#include "mdf_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <unordered_map>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/chain_walker.h"
#include "block/descriptive_blocks.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "block/text_block.h"
#include "cli_text.h"
#include "platform/platform.h"
#include "stream/record_splitter.h"
#include "stream/torn_record.h"

namespace qm::cli {
namespace {

const char* const kConversionNames[] = {
    "identity", "linear", "rational", "algebraic", "table with interpolation",
    "table without interpolation", "range to value", "value to text", "range to text",
    "text to value", "text to text", "bitfield text"};

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

std::string TypeName(uint16_t type) {
  return {static_cast<char>(type & 0xFF), static_cast<char>(type >> 8)};
}

// Largest buffer a single record may need; longer records are refused rather than allocated.
constexpr uint64_t kMaxRecordBytes = 1ULL << 30;
constexpr size_t kReadChunk = 1 << 20;

}  // namespace

// ---- Conversions ----------------------------------------------------------------------------

bool ConversionInfo::Applicable() const {
  return !present || type == fmt::kCcTypeIdentity || IsLinear();
}

double ConversionInfo::Apply(double raw) const {
  return IsLinear() ? values[0] + values[1] * raw : raw;
}

std::string ConversionInfo::Describe() const {
  if (!present) return "none";
  if (type == fmt::kCcTypeIdentity) return "identity";
  char buf[96];
  if (type == fmt::kCcTypeLinear) {
    if (!IsLinear()) return "linear (parameters missing)";
    std::snprintf(buf, sizeof buf, "linear %.10g + %.10g * x", values[0], values[1]);
    return buf;
  }
  const char* name = type < std::size(kConversionNames) ? kConversionNames[type] : "unknown";
  std::snprintf(buf, sizeof buf, "type %u (%s)", static_cast<unsigned>(type), name);
  return buf;
}

std::string TrimField(const uint8_t* field, size_t n) {
  std::string s(reinterpret_cast<const char*>(field), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  const size_t zero = s.find('\0');
  if (zero != std::string::npos) s.resize(zero);
  return s;
}

// ---- Structure ------------------------------------------------------------------------------

bool MdfReader::Open(const std::string& path, std::string* error) {
  const std::u16string name = qm::os::NarrowToWide(path.c_str());
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = "'" + path + "' is a directory, not a file";
    return false;
  }
  // A plain read-only probe first, so that the reason of a refusal can be named. It tries the
  // lock that every writer of this library holds: when it can be had, no writer holds the file
  // now (the lock goes with the probe, so a writer may start again right after).
  {
    mDirectFile probe;
    atRest_ = probe.OpenReadOnlyLocked(name.c_str());
    if (!atRest_ && !probe.OpenReadOnly(name.c_str())) {
      *error = qm::os::FileExists(name.c_str()) ? "cannot open '" + path + "' for reading"
                                                : "'" + path + "': no such file";
      return false;
    }
    uint8_t id[fmt::kIdBlockSize];
    if (!probe.ReadAt(0, sizeof id, id) || std::memcmp(id, fmt::kIdFile, fmt::kIdTextFieldSize) != 0) {
      *error = "'" + path + "' is not an MDF file";
      return false;
    }
    const uint16_t version = LoadLE16(id + fmt::kIdVerOffset);
    if (version < fmt::kMinVersion) {
      *error = "'" + path + "' is MDF version " + TrimField(id + fmt::kIdVersOffset, fmt::kIdTextFieldSize) +
               "; only MDF 4 files can be read";
      return false;
    }
  }
  // A load that could not follow everything is repeated: while the file grows, and a few times
  // more at the same size, since a writer may rewrite a block in place while it is read (a
  // list whose entries change as it is read is seen torn). Damage that stays is reported; the
  // bounds only guard against a writer that never rests.
  constexpr int kLoads = 200, kLoadsAtOneSize = 8;
  uint64_t previousEnd = ~uint64_t{0};
  for (int load = 0, sameSize = 0; load < kLoads && sameSize < kLoadsAtOneSize; ++load) {
    if (!mdf_.OpenForInspection(name.c_str())) {
      *error = "'" + path + "' is not a valid MDF 4 file (no readable header block)";
      return false;
    }
    // A file no writer holds does not change: what one load could not follow stays so.
    if (Load() || atRest_) break;
    sameSize = file_.GetEnd() == previousEnd ? sameSize + 1 : 0;
    previousEnd = file_.GetEnd();
  }
  return true;
}

bool MdfReader::Load() {
  const uint8_t* id = mdf_.IdBlock();
  info_ = FileInfo();
  info_.versionText = TrimField(id + fmt::kIdVersOffset, fmt::kIdTextFieldSize);
  info_.version = mdf_.Version();
  info_.programId = TrimField(id + fmt::kIdProgOffset, fmt::kIdTextFieldSize);
  M4HDBlock& hd = mdf_.HD();
  info_.startTimeNs = hd.hd_start_time_ns;
  info_.tzOffsetMin = hd.hd_tz_offset_min;
  info_.dstOffsetMin = hd.hd_dst_offset_min;
  info_.timeFlags = hd.hd_time_flags;
  info_.comment = Text(hd.GetLink(fmt::kHdMdComment));
  LoadHistory();
  LoadDataGroups();
  // The data blocks after the cycle counts: the data then holds every counted record.
  bool resolved = info_.warnings.empty();
  streams_.clear();
  for (const DataGroupInfo& dg : info_.dataGroups) {
    streams_.push_back(std::make_unique<m4DataStream>());
    // Data that ends early may still be growing: the load is repeated, and when it stays so,
    // the data is read up to where it ends.
    const bool ready = streams_.back()->OpenForRead(&file_, dg.dataLink);
    if (ready && streams_.back()->Truncated())
      info_.warnings.push_back("the data of data group " + std::to_string(dg.index + 1) +
                               " ends early, at a list entry or link that leads to no readable block; "
                               "it is read up to there");
    resolved = ready && !streams_.back()->Truncated() && resolved;
  }
  return resolved;
}

std::string MdfReader::Text(uint64_t position) {
  if (position == 0) return {};
  std::unique_ptr<m4Block> b = LoadBlock(&file_, position);
  if (!b || (b->GetType() != fmt::kTX && b->GetType() != fmt::kMD)) return {};
  return BlockTextToUtf8(static_cast<const M4TXBlock&>(*b).Decode());
}

std::string MdfReader::UnitText(uint64_t position) {
  // A ##TX block, or an ##MD block whose <TX> element holds the unit.
  std::string unit = Text(position);
  uint8_t header[fmt::kBlockHeaderSize];
  if (ReadHeaderAt(&file_, position, header) && LoadLE16(header + 2) == fmt::kMD) {
    bool found = false;
    std::string tx = XmlElement(unit, "TX", &found);
    if (found) unit = tx;
  }
  return unit;
}

void MdfReader::LoadHistory() {
  ChainWalker<M4FHBlock> walk(&file_, mdf_.HD().GetLink(fmt::kHdFhFirst), fmt::kFH, fmt::kFhNext);
  while (std::unique_ptr<M4FHBlock> fh = walk.Next()) {
    HistoryInfo h;
    h.timeNs = fh->fh_time_ns;
    h.tzOffsetMin = fh->fh_tz_offset_min;
    h.dstOffsetMin = fh->fh_dst_offset_min;
    h.timeFlags = fh->fh_time_flags;
    h.comment = Text(fh->GetLink(fmt::kFhMdComment));
    info_.history.push_back(std::move(h));
  }
  if (walk.End() == ChainEnd::kLoop)
    info_.warnings.push_back("the file history loops back to " + Hex(walk.StoppedAt()));
  else if (walk.StoppedEarly())
    info_.warnings.push_back("the file history ends at an unreadable block at " + Hex(walk.StoppedAt()));
}

void MdfReader::LoadDataGroups() {
  ChainWalker<M4DGBlock> walk(&file_, mdf_.HD().GetLink(fmt::kHdDgFirst), fmt::kDG, fmt::kDgNext);
  while (std::unique_ptr<M4DGBlock> dg = walk.Next()) {
    DataGroupInfo d;
    d.index = info_.dataGroups.size();
    d.dataLink = dg->GetLink(fmt::kDgData);
    d.recordIdSize = dg->dg_rec_id_size;
    ChainWalker<M4CGBlock> groups(&file_, dg->GetLink(fmt::kDgCgFirst), fmt::kCG, fmt::kCgNext);
    while (std::unique_ptr<M4CGBlock> cg = groups.Next()) {
      d.groups.emplace_back();
      LoadGroup(*cg, &d.groups.back());
    }
    if (groups.StoppedEarly())
      info_.warnings.push_back("a channel group chain ends at a looping or unreadable block at " +
                               Hex(groups.StoppedAt()));
    info_.dataGroups.push_back(std::move(d));
  }
  if (walk.StoppedEarly())
    info_.warnings.push_back("the data group chain ends at a looping or unreadable block at " +
                             Hex(walk.StoppedAt()));
}

void MdfReader::LoadGroup(const M4CGBlock& block, ChannelGroupInfo* cg) {
  cg->name = Text(block.GetLink(fmt::kCgTxAcqName));
  cg->recordId = block.cg_record_id;
  cg->cycleCount = block.cg_cycle_count;
  cg->flags = block.cg_flags;
  cg->dataBytes = block.cg_data_bytes;
  cg->invalBytes = block.cg_inval_bytes;
  ChainWalker<M4CNBlock> walk(&file_, block.GetLink(fmt::kCgCnFirst), fmt::kCN, fmt::kCnNext);
  while (std::unique_ptr<M4CNBlock> cn = walk.Next()) {
    ChannelInfo c;
    LoadChannel(*cn, &c);
    cg->channels.push_back(std::move(c));
  }
  if (walk.StoppedEarly())
    info_.warnings.push_back("the channels of group '" + cg->name +
                             "' end at a looping or unreadable block at " + Hex(walk.StoppedAt()));
}

void MdfReader::LoadChannel(const m4Block& block, ChannelInfo* c) {
  const auto& cn = static_cast<const M4CNBlock&>(block);
  c->name = Text(cn.GetLink(fmt::kCnTxName));
  c->unit = UnitText(cn.GetLink(fmt::kCnMdUnit));
  uint8_t header[fmt::kBlockHeaderSize];
  c->type = cn.cn_type;
  c->syncType = cn.cn_sync_type;
  c->dataType = cn.cn_data_type;
  c->bitOffset = cn.cn_bit_offset;
  c->byteOffset = cn.cn_byte_offset;
  c->bitCount = cn.cn_bit_count;
  c->flags = cn.cn_flags;
  c->invalBitPos = cn.cn_inval_bit_pos;
  c->isArray = ReadHeaderAt(&file_, cn.GetLink(fmt::kCnComposition), header) &&
               LoadLE16(header + 2) == fmt::kCA;
  if (auto cc = LoadAs<M4CCBlock>(&file_, cn.GetLink(fmt::kCnCcConversion), fmt::kCC)) {
    c->conversion.present = true;
    c->conversion.type = cc->cc_type;
    const size_t n = std::min<size_t>(cc->cc_val_count, cc->var.size());
    c->conversion.values.assign(cc->var.begin(), cc->var.begin() + static_cast<ptrdiff_t>(n));
    // A channel without a unit of its own shows its conversion's unit.
    if (c->unit.empty()) c->unit = UnitText(cc->GetLink(fmt::kCcMdUnit));
  }
}

DataLayout MdfReader::Layout(const DataGroupInfo& dg) {
  DataLayout out;
  uint8_t header[fmt::kBlockHeaderSize];
  if (!ReadHeaderAt(&file_, dg.dataLink, header)) {
    out.readable = true;
    out.storage = "none";
    return out;
  }
  const m4DataStream& stream = Stream(dg);
  out.readable = stream.IsReady();
  out.totalLength = stream.TotalLength();
  std::vector<uint16_t> types;
  for (const Fragment& f : stream.Fragments()) {
    if (f.length == 0 && f.position == 0) continue;  // the terminator
    ++out.blockCount;
    const auto t = static_cast<uint16_t>(f.type);
    uint8_t dz[sizeof(m4DZRecord)];
    if (t == fmt::kDZ && file_.ReadAt(f.position, sizeof dz, dz)) {
      ++out.compressedBlocks;
      out.originalBytes += f.length;
      out.storedBytes += LoadLE64(dz + offsetof(m4DZRecord, dz_data_length));
      out.zipTypes |= dz[offsetof(m4DZRecord, dz_zip_type)] == fmt::kZipTransposeDeflate ? 2u : 1u;
    }
    if (std::find(types.begin(), types.end(), t) == types.end()) types.push_back(t);
  }
  const uint16_t root = LoadLE16(header + 2);
  std::string blocks;
  for (uint16_t t : types) blocks += (blocks.empty() ? "" : "+") + TypeName(t);
  if (root == fmt::kHL) out.storage = "HL/DL of " + (blocks.empty() ? "nothing" : blocks);
  else if (root == fmt::kDL) out.storage = "DL of " + (blocks.empty() ? "nothing" : blocks);
  else out.storage = TypeName(root);
  return out;
}

// ---- Records --------------------------------------------------------------------------------

// The records of the data group, split by the one record splitter: each record is counted
// against its group's cycle count and handed out whole, one per call of Next.
struct RecordReader::Split {
  struct Target {
    bool variable = false;
    uint64_t length = 0;
    size_t group = 0;
    uint64_t count = 0;  // the group's cycle count ...
    uint64_t seen = 0;   // ... and its records given so far
  };
  enum class End { kNone, kUnknownId, kBeyondCounts, kBeyondCount, kTooLarge, kTooLong };

  struct Sink {
    using Target = Split::Target;
    Split& split;
    Target* Take(uint64_t id) {
      split.id = id;
      const auto found = split.targets.find(id);
      if (split.open == 0) return Stop(End::kBeyondCounts);
      if (found == split.targets.end()) return Stop(End::kUnknownId);
      Target& t = found->second;
      split.taken = &t;
      if (t.variable) return &t;
      // In a file at rest, a record behind its group's count is the first one the counts do
      // not cover: a write its writer never completed, or one whose count a power loss kept
      // from the disk. The records after it are later calls, so the data ends here and what
      // is read stays a prefix of the writes.
      if (split.atRest && t.seen >= t.count) return Stop(End::kBeyondCount);
      const uint64_t left = split.total - split.splitter.RecordStart();
      // A record longer than the data left is cut off: it is not collected.
      if (t.length > left - std::min<uint64_t>(left, split.idSize)) return Stop(End::kTooLong);
      if (t.length > kMaxRecordBytes) return Stop(End::kTooLarge);
      return &t;
    }
    bool Data(Target* t, const uint8_t* p, uint64_t n, bool complete) {
      const uint8_t* whole = split.record.Add(p, n, complete);
      // A record behind its group's cycle count is left out (a writer adding records).
      if (whole == nullptr || t->seen >= t->count) return true;
      // So is one that lost its tail to a power loss with the record ID behind it: the data
      // ends in front of it, as the roll-back on reopen and the sort end it.
      const auto declared = [this](uint64_t id) { return split.targets.count(id) != 0; };
      if (LostItsTail(split.stream, split.placement, split.splitter.RecordStart(), split.id, split.idSize, whole,
                      t->length, declared))
        return true;
      split.delivered = whole;
      if (++t->seen == t->count) --split.open;
      return false;  // one record per call of Next
    }
    Target* Stop(End why) {
      split.end = why;
      return nullptr;
    }
  };

  Split(const DataGroupInfo& dg, m4DataStream& data, bool atRestFile)
      : sink{*this}, splitter(dg.recordIdSize, sink), stream(data), placement(data.Placement()),
        total(data.TotalLength()), idSize(dg.recordIdSize), atRest(atRestFile) {}

  Sink sink;
  RecordSplitter<Sink> splitter;
  m4DataStream& stream;
  DataPlacement placement;
  uint64_t total;
  uint32_t idSize;
  bool atRest;  // no writer held the file: nothing is being added behind the counts
  std::unordered_map<uint64_t, Target> targets;  // record ID to its group (the first one wins)
  size_t open = 0;  // groups that have not given all their counted records yet
  RecordAssembler record;
  Target* taken = nullptr;  // the group of the record taken last
  const uint8_t* delivered = nullptr;
  End end = End::kNone;
  uint64_t id = 0;
  bool readFailed = false;
};

RecordReader::RecordReader(MdfReader& reader, const DataGroupInfo& dg)
    : stream_(reader.Stream(dg)), dg_(dg), atRest_(reader.AtRest()) {}
RecordReader::~RecordReader() = default;

bool RecordReader::Open(std::string* error) {
  if (dg_.recordIdSize > 8) {
    *error = "record ID size " + std::to_string(dg_.recordIdSize) + " is not supported";
    return false;
  }
  if (dg_.recordIdSize == 0 && dg_.groups.size() > 1) {
    *error = "a data group without record IDs holds several channel groups";
    return false;
  }
  if (!stream_.IsReady()) {
    *error = "the data blocks of the data group cannot be resolved";
    return false;
  }
  stream_.Seek(0);
  split_ = std::make_unique<Split>(dg_, stream_, atRest_);
  Split& s = *split_;
  // Without record IDs every record belongs to the single group, read as ID 0.
  for (size_t i = 0; i < dg_.groups.size(); ++i) {
    const ChannelGroupInfo& cg = dg_.groups[i];
    Split::Target t{cg.IsVlsd(), cg.RecordLength(), i, cg.cycleCount};
    if (s.targets.emplace(dg_.recordIdSize == 0 ? 0 : cg.recordId, t).second && !cg.IsVlsd() && cg.cycleCount != 0)
      ++s.open;
  }
  return true;
}

RecordReader::Status RecordReader::ShortData(uint64_t start, uint64_t from, uint64_t need,
                                             const std::string& what, std::string* error) {
  // A failed read leaves the data short of its total length: that is damage, not the end.
  if (need <= stream_.TotalLength() - from) {
    *error = need > kMaxRecordBytes
                 ? what + " at data offset " + std::to_string(start) + " is too large to read"
                 : "the data cannot be read at offset " + std::to_string(stream_.Offset()) +
                       " (damaged or undecodable block)";
    return Status::kError;
  }
  warning_ = std::to_string(stream_.TotalLength() - start) + " byte(s) at the end of the data are too few for " +
             what + " and were ignored";
  return Status::kEnd;
}

RecordReader::Status RecordReader::Next(size_t* group, const uint8_t** record, uint64_t* index,
                                        std::string* error) {
  if (dg_.groups.empty() || !split_) return Status::kEnd;
  Split& s = *split_;
  using Stop = RecordSplitter<Split::Sink>::Stop;
  for (;;) {
    // What is left of the piece fed last (nothing before the first).
    Stop stop = s.splitter.Feed(nullptr, nullptr);
    if (stop == Stop::kFed) {
      // Everything fed is split: the next piece, or the end of the data.
      const uint64_t left = s.total - stream_.Offset();
      if (left == 0 || s.readFailed) {
        const uint64_t at = s.splitter.Offset();
        if (left != 0) return ShortData(at, at, 0, "", error);
        // The data ends inside a record: what it needed lies behind the end.
        const uint64_t start = s.splitter.RecordStart();
        if (s.splitter.InId()) return ShortData(start, at, 1, "a record ID", error);
        if (!s.splitter.InRecord()) return Status::kEnd;
        std::string what = "a record of group '" + dg_.groups[s.taken->group].name + "'";
        if (s.taken->variable) what = s.splitter.InLength() ? "a record length" : "a variable-length record";
        return ShortData(start, at, 1, what, error);
      }
      const auto want = static_cast<uint32_t>(std::min<uint64_t>(left, kReadChunk));
      if (buffer_.size() < want + kSplitSlack) buffer_.resize(want + kSplitSlack);
      const int32_t got = stream_.ReadBytes(want, buffer_.data());
      const uint32_t n = got > 0 ? static_cast<uint32_t>(got) : 0;
      s.readFailed = n < want;
      stop = s.splitter.Feed(buffer_.data(), buffer_.data() + n);
      if (stop == Stop::kFed) continue;
    }
    if (stop == Stop::kNoProgress) {
      *error = "the records of group '" + dg_.groups[s.taken->group].name + "' have no bytes";
      return Status::kError;
    }
    if (s.delivered != nullptr) {
      *record = s.delivered;
      s.delivered = nullptr;
      *group = s.taken->group;
      *index = s.taken->seen - 1;
      return Status::kRecord;
    }
    // The sink ended the data at the record that begins here.
    const uint64_t start = s.splitter.RecordStart();
    switch (s.end) {
      case Split::End::kBeyondCounts:
        // Every counted record was given: what follows is not counted (yet).
        warning_ = std::to_string(s.total - start) + " byte(s) of data behind the " +
                   "records the cycle counts state were left out (a writer may be adding records)";
        return Status::kEnd;
      case Split::End::kBeyondCount:
        warning_ = "a record of group '" + dg_.groups[s.taken->group].name + "' at data offset " +
                   std::to_string(start) + " lies behind the group's cycle count of " +
                   std::to_string(s.taken->count) +
                   " (a write that was not completed); the data was read up to there";
        return Status::kEnd;
      case Split::End::kUnknownId:
        // The data stops validating here: the records before it are what can be trusted.
        warning_ = "record ID " + std::to_string(s.id) + " at data offset " + std::to_string(start) +
                   " is not declared by any channel group; the data was read up to there";
        return Status::kEnd;
      default:  // a record too long for the data left, or too large to read
        return ShortData(start, std::min(s.total, start + dg_.recordIdSize), s.taken->length,
                         "a record of group '" + dg_.groups[s.taken->group].name + "'", error);
    }
  }
}

}  // namespace qm::cli
