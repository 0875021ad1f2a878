// Loads the structure of an MDF 4 file read-only and iterates the records of its data groups.
#include "mdf_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/descriptive_blocks.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "block/text_block.h"
#include "cli_text.h"
#include "platform/platform.h"

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
  // A plain read-only probe first, so that the reason of a refusal can be named.
  {
    mDirectFile probe;
    if (!probe.OpenReadOnly(name.c_str())) {
      *error = qm::os::FileExists(name.c_str()) ? "cannot open '" + path + "' for reading"
                                                : "'" + path + "': no such file";
      return false;
    }
    uint8_t id[fmt::kIdBlockSize];
    if (!probe.ReadAt(0, sizeof id, id) || std::memcmp(id, "MDF     ", 8) != 0) {
      *error = "'" + path + "' is not an MDF file";
      return false;
    }
    const uint16_t version = LoadLE16(id + fmt::kIdVerOffset);
    if (version < fmt::kMinVersion) {
      *error = "'" + path + "' is MDF version " + TrimField(id + fmt::kIdVersOffset, 8) +
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
    if (!file_.OpenForInspection(name.c_str())) {
      *error = "'" + path + "' is not a valid MDF 4 file (no readable header block)";
      return false;
    }
    if (Load()) break;
    sameSize = file_.GetEnd() == previousEnd ? sameSize + 1 : 0;
    previousEnd = file_.GetEnd();
  }
  return true;
}

bool MdfReader::Load() {
  const uint8_t* id = file_.IdBlock();
  info_ = FileInfo();
  info_.versionText = TrimField(id + fmt::kIdVersOffset, fmt::kIdTextFieldSize);
  info_.version = file_.Version();
  info_.programId = TrimField(id + fmt::kIdProgOffset, fmt::kIdTextFieldSize);
  M4HDBlock& hd = file_.HD();
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
    resolved = streams_.back()->OpenForRead(&file_, dg.dataLink) && resolved;
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
  std::unordered_set<uint64_t> visited;
  for (uint64_t at = file_.HD().GetLink(fmt::kHdFhFirst); at != 0;) {
    if (!visited.insert(at).second) {
      info_.warnings.push_back("the file history loops back to " + Hex(at));
      return;
    }
    auto fh = LoadAs<M4FHBlock>(&file_, at, fmt::kFH);
    if (!fh) {
      info_.warnings.push_back("the file history ends at an unreadable block at " + Hex(at));
      return;
    }
    HistoryInfo h;
    h.timeNs = fh->fh_time_ns;
    h.tzOffsetMin = fh->fh_tz_offset_min;
    h.dstOffsetMin = fh->fh_dst_offset_min;
    h.timeFlags = fh->fh_time_flags;
    h.comment = Text(fh->GetLink(fmt::kFhMdComment));
    info_.history.push_back(std::move(h));
    at = fh->GetLink(fmt::kFhNext);
  }
}

void MdfReader::LoadDataGroups() {
  std::unordered_set<uint64_t> visited;
  for (uint64_t at = file_.HD().GetLink(fmt::kHdDgFirst); at != 0;) {
    auto dg = visited.insert(at).second ? LoadAs<M4DGBlock>(&file_, at, fmt::kDG) : nullptr;
    if (!dg) {
      info_.warnings.push_back("the data group chain ends at a looping or unreadable block at " +
                               Hex(at));
      return;
    }
    DataGroupInfo d;
    d.index = info_.dataGroups.size();
    d.dataLink = dg->GetLink(fmt::kDgData);
    d.recordIdSize = dg->dg_rec_id_size;
    std::unordered_set<uint64_t> seenGroups;
    for (uint64_t cgAt = dg->GetLink(fmt::kDgCgFirst); cgAt != 0;) {
      ChannelGroupInfo cg;
      uint64_t next = 0;
      if (!seenGroups.insert(cgAt).second || !LoadGroup(cgAt, &cg, &next)) {
        info_.warnings.push_back("a channel group chain ends at a looping or unreadable block at " +
                                 Hex(cgAt));
        break;
      }
      d.groups.push_back(std::move(cg));
      cgAt = next;
    }
    info_.dataGroups.push_back(std::move(d));
    at = dg->GetLink(fmt::kDgNext);
  }
}

bool MdfReader::LoadGroup(uint64_t position, ChannelGroupInfo* cg, uint64_t* next) {
  auto block = LoadAs<M4CGBlock>(&file_, position, fmt::kCG);
  if (!block) return false;
  *next = block->GetLink(fmt::kCgNext);
  cg->name = Text(block->GetLink(fmt::kCgTxAcqName));
  cg->recordId = block->cg_record_id;
  cg->cycleCount = block->cg_cycle_count;
  cg->flags = block->cg_flags;
  cg->dataBytes = block->cg_data_bytes;
  cg->invalBytes = block->cg_inval_bytes;
  std::unordered_set<uint64_t> visited;
  for (uint64_t at = block->GetLink(fmt::kCgCnFirst); at != 0;) {
    auto cn = visited.insert(at).second ? LoadAs<M4CNBlock>(&file_, at, fmt::kCN) : nullptr;
    if (!cn) {
      info_.warnings.push_back("the channels of group '" + cg->name +
                               "' end at a looping or unreadable block at " + Hex(at));
      break;
    }
    ChannelInfo c;
    LoadChannel(*cn, &c);
    cg->channels.push_back(std::move(c));
    at = cn->GetLink(fmt::kCnNext);
  }
  return true;
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
  counts_.assign(dg_.groups.size(), 0);
  // Without record IDs every record belongs to the single group, read as ID 0.
  for (size_t i = 0; i < dg_.groups.size(); ++i)
    groupOf_.emplace(dg_.recordIdSize == 0 ? 0 : dg_.groups[i].recordId, i);  // first one wins
  for (const auto& [id, gi] : groupOf_)
    if (!dg_.groups[gi].IsVlsd() && dg_.groups[gi].cycleCount != 0) ++open_;
  return true;
}

bool RecordReader::Fill(uint64_t n) {
  const size_t avail = len_ - pos_;
  if (avail >= n) return true;
  const uint64_t remaining = stream_.TotalLength() - stream_.Offset();
  if (n - avail > remaining || n > kMaxRecordBytes) return false;
  if (avail > 0) std::memmove(buffer_.data(), buffer_.data() + pos_, avail);
  len_ = avail;
  pos_ = 0;
  const size_t want = std::max<size_t>(static_cast<size_t>(n), kReadChunk);
  if (buffer_.size() < want) buffer_.resize(want);
  uint64_t toRead = std::min<uint64_t>(buffer_.size() - len_, remaining);
  while (toRead > 0) {
    const uint32_t ask = static_cast<uint32_t>(std::min<uint64_t>(toRead, 1u << 30));
    const int32_t got = stream_.ReadBytes(ask, buffer_.data() + len_);
    len_ += static_cast<size_t>(std::max(got, 0));
    if (got != static_cast<int32_t>(ask)) break;
    toRead -= ask;
  }
  return len_ - pos_ >= n;
}

bool RecordReader::Counted(size_t gi) {
  if (counts_[gi] >= dg_.groups[gi].cycleCount) return false;
  if (++counts_[gi] == dg_.groups[gi].cycleCount) --open_;
  return true;
}

RecordReader::Status RecordReader::Next(size_t* group, const uint8_t** record, uint64_t* index,
                                        std::string* error) {
  if (dg_.groups.empty()) return Status::kEnd;
  for (;;) {
    const uint64_t start = Consumed();
    if (start >= stream_.TotalLength()) return Status::kEnd;
    if (open_ == 0) {
      // Every counted record was given: what follows is not counted (yet).
      warning_ = std::to_string(stream_.TotalLength() - start) + " byte(s) of data behind the " +
                 "records the cycle counts state were left out (a writer may be adding records)";
      return Status::kEnd;
    }
    // A failed read leaves the stream short of its total length: that is damage, not the end.
    auto shortData = [&](uint64_t need, const std::string& what) {
      const uint64_t left = stream_.TotalLength() - Consumed();
      if (need <= left) {
        *error = need > kMaxRecordBytes
                     ? what + " at data offset " + std::to_string(start) + " is too large to read"
                     : "the data cannot be read at offset " + std::to_string(stream_.Offset()) +
                           " (damaged or undecodable block)";
        return Status::kError;
      }
      warning_ = std::to_string(stream_.TotalLength() - start) + " byte(s) at the end of the data " +
                 "are too few for " + what + " and were ignored";
      return Status::kEnd;
    };
    uint64_t id = 0;
    const uint8_t idSize = dg_.recordIdSize;
    if (idSize > 0) {
      if (!Fill(idSize)) return shortData(idSize, "a record ID");
      std::memcpy(&id, buffer_.data() + pos_, idSize);  // little-endian host: low bytes first
      pos_ += idSize;
    }
    const auto found = groupOf_.find(id);
    if (found == groupOf_.end()) {
      // The data stops validating here: the records before it are what can be trusted.
      warning_ = "record ID " + std::to_string(id) + " at data offset " + std::to_string(start) +
                 " is not declared by any channel group; the data was read up to there";
      return Status::kEnd;
    }
    const size_t gi = found->second;
    const ChannelGroupInfo& cg = dg_.groups[gi];
    if (cg.IsVlsd()) {
      // Variable-length record: a 4-byte length and that many bytes; nothing to export.
      if (!Fill(4)) return shortData(4, "a record length");
      uint64_t skip = LoadLE32(buffer_.data() + pos_);
      pos_ += 4;
      while (skip > 0) {
        const uint64_t k = std::min<uint64_t>(skip, kReadChunk);
        if (!Fill(k)) return shortData(k, "a variable-length record");
        pos_ += static_cast<size_t>(k);
        skip -= k;
      }
      continue;
    }
    const uint64_t length = cg.RecordLength();
    if (length == 0 && idSize == 0) {
      *error = "the records of group '" + cg.name + "' have no bytes";
      return Status::kError;
    }
    if (!Fill(length)) return shortData(length, "a record of group '" + cg.name + "'");
    *record = buffer_.data() + pos_;
    pos_ += static_cast<size_t>(length);
    if (!Counted(gi)) continue;  // behind the group's cycle count
    *group = gi;
    *index = counts_[gi] - 1;
    return Status::kRecord;
  }
}

}  // namespace qm::cli
