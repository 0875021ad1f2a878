// Record-length map of a data group and the pass that copies one channel group's records out of it.
#include "sort/record_pass.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>

#include "block/block_factory.h"
#include "block/chain_walker.h"
#include "block/byte_order.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "platform/direct_file.h"
#include "stream/dz_inflate.h"
#include "stream/data_stream.h"
#include "stream/record_splitter.h"
#include "stream/torn_record.h"

using namespace qm;

namespace {

// Reads of the source data go through a buffer of up to this many bytes, so that small records
// do not cost a file read each.
constexpr uint64_t kPieceSize = 1 << 20;

// What the pass does with the records of one record ID.
struct PassTarget {
  bool variable = false;  // a VLSD group: its records are stepped over
  uint64_t length = 0;
  uint64_t count = 0;     // the group's cycle count ...
  uint64_t seen = 0;      // ... and its records met so far
  bool copied = false;    // the target group: its records go to the new data group
  uint64_t id = 0;
};

// The records loop: each record of the target group goes to the writer, whole.
struct PassSink {
  using Target = PassTarget;
  std::unordered_map<uint64_t, PassTarget>& targets;
  m4DataStream& writer;
  uint64_t bufferSize;
  uint8_t idSize;
  uint64_t copied = 0;
  PassEnd end = PassEnd::kExhausted;
  RecordAssembler record;
  m4DataStream* reader = nullptr;
  DataPlacement placement;
  const RecordSplitter<PassSink>* split = nullptr;

  PassTarget* Take(uint64_t id) {
    const auto it = targets.find(id);
    // With record IDs, ID 0 is the zeros of bytes that never reached the disk.
    if (it == targets.end()) return Stop(id == 0 && idSize != 0 ? PassEnd::kUnwrittenRecord : PassEnd::kUnknownRecordId);
    PassTarget& t = it->second;
    // A record behind its group's cycle count belongs to a call its writer did not complete.
    if (!t.variable && t.seen == t.count) return Stop(PassEnd::kBeyondCount);
    // Longer than all the data there is: the record can only end short. Records are moved with
    // 32-bit lengths, so one of 4 GiB or more cannot be copied whole either.
    if (!t.variable && (t.length > bufferSize || t.length > std::numeric_limits<uint32_t>::max()))
      return Stop(PassEnd::kRecordTooLarge);
    ++t.seen;
    return &t;
  }
  bool Data(PassTarget* t, const uint8_t* p, uint64_t n, bool complete) {
    if (!t->copied) return true;
    const uint8_t* whole = record.Add(p, n, complete);
    if (whole == nullptr) return true;
    // A record that lost its tail to a power loss, with the record ID behind it, was never
    // written whole: the data ends in front of it.
    const auto declared = [this](uint64_t id) { return targets.count(id) != 0; };
    if (LostItsTail(*reader, placement, split->RecordStart(), t->id, idSize, whole, t->length, declared)) return true;
    // The new group's stream refuses bytes only when it could not be set up; lost records are
    // a failed pass, never a silent one.
    if (!writer.WriteBytes(static_cast<uint32_t>(t->length), whole)) {
      Stop(PassEnd::kWriterFailed);
      return false;
    }
    ++copied;
    return true;
  }
  PassTarget* Stop(PassEnd why) {
    end = why;
    return nullptr;
  }
};

PassEnd ReadRecords(m4DataStream& reader, PassSink& sink, uint8_t idSize, uint64_t* offset) {
  RecordSplitter<PassSink> split(idSize, sink);
  sink.split = &split;
  const uint64_t total = reader.TotalLength();
  std::unique_ptr<uint8_t[]> piece(
      new (std::nothrow) uint8_t[std::clamp<uint64_t>(total, 1, kPieceSize) + kSplitSlack]);
  if (!piece) return PassEnd::kNoMemory;
  bool unreadable = false;
  for (uint64_t done = 0; done < total;) {
    const auto want = static_cast<uint32_t>(std::min(total - done, kPieceSize));
    const int32_t got = reader.ReadBytes(want, piece.get());
    const uint32_t n = got > 0 ? static_cast<uint32_t>(got) : 0;
    const auto stop = split.Feed(piece.get(), piece.get() + n);
    *offset = split.Offset();
    if (stop == RecordSplitter<PassSink>::Stop::kNoProgress) return PassEnd::kNoProgress;
    if (stop == RecordSplitter<PassSink>::Stop::kStopped) {
      // The record that ended the data: where it begins.
      if (sink.end != PassEnd::kWriterFailed) *offset = split.RecordStart();
      return sink.end;
    }
    done += n;
    // After a short read (a failed read or inflation) nothing more can be delivered.
    if (n < want) {
      unreadable = true;
      break;
    }
  }
  if (split.InRecord()) return PassEnd::kShortRecord;
  if (idSize == 0) {
    // Without IDs a record is expected where the data ends: such data (an already sorted group)
    // is never taken as split whole.
    const PassTarget* t = sink.Take(0);
    if (t == nullptr) return sink.end;
    return !t->variable && t->length == 0 ? PassEnd::kNoProgress : PassEnd::kShortRecord;
  }
  // Fewer bytes than an ID at the end are ignored; data left that could not be read still ends
  // the pass as the end of the data, but the caller is told, so that the loss is not silent.
  return unreadable ? PassEnd::kUnreadableTail : PassEnd::kExhausted;
}

}  // namespace

uint64_t DeliverableBytes(mDirectFile* file, const m4DataStream& reader) {
  uint64_t total = 0;
  for (const Fragment& f : reader.Fragments()) {
    uint64_t n = f.length;
    if (f.type == fmt::kDZ && n != 0) {
      uint8_t header[fmt::kBlockHeaderSize];
      if (!ReadHeaderAt(file, f.position - fmt::kBlockHeaderSize, header)) continue;
      const uint64_t length = LoadLE64(header + fmt::kHeaderLengthOffset);
      const uint64_t links = LoadLE64(header + fmt::kHeaderLinkCountOffset);
      const uint64_t overhead = fmt::kBlockHeaderSize + sizeof(m4DZRecord);
      if (length < overhead || (length - overhead) / fmt::kLinkSize < links) continue;
      const uint64_t stored = length - overhead - fmt::kLinkSize * links;
      const uint64_t limit = stored > (std::numeric_limits<uint64_t>::max() - kInflateSlack) / kMaxInflateRatio
                                 ? std::numeric_limits<uint64_t>::max()
                                 : stored * kMaxInflateRatio + kInflateSlack;
      // Fragments are inflated in one piece with 32-bit lengths: a larger one delivers nothing.
      n = n > std::numeric_limits<uint32_t>::max() ? 0 : std::min(n, limit);
    }
    total = n > std::numeric_limits<uint64_t>::max() - total ? std::numeric_limits<uint64_t>::max()
                                                              : total + n;
  }
  return total;
}

bool BuildRecordLengthMap(const M4DGBlock& dg, RecordLengthMap* map) {
  map->groups.clear();
  map->largest = 0;
  mDirectFile* file = dg.GetFile();
  try {
    // A chain that loops back or leads nowhere ends the walk there.
    ForEachInChain<M4CGBlock>(file, dg.GetLink(fmt::kDgCgFirst), fmt::kCG, fmt::kCgNext, [&](const M4CGBlock& cg) {
      const bool variable = (cg.cg_flags & fmt::kCgFlagVlsd) != 0;
      const uint64_t length = variable ? kVariableLength : cg.RecordSize();
      if (!variable) map->largest = std::max(map->largest, length);
      // The first group with an ID keeps it.
      map->groups.emplace(cg.cg_record_id, RecordLengthMap::Group{length, cg.cg_cycle_count});
      return true;
    });
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

PassOutcome CopyGroupRecords(const M4DGBlock& source, const RecordLengthMap& map, uint64_t targetId,
                             M4DGBlock* target, CycleCounterTable& counters, m4DataStream* sink) {
  PassOutcome out;
  std::unique_ptr<m4DataStream> ownWriter;
  m4DataStream* writer = sink;
  std::unique_ptr<m4DataStream> reader;
  try {
    if (writer == nullptr) {
      ownWriter.reset(new m4DataStreamEx(target, counters, fmt::kDataBlockCapacity, fmt::kListEntries, fmt::kDT));
      writer = ownWriter.get();
    }
    reader.reset(new m4DataStream());
    // A reader that cannot be opened (a list holding a block of another type, mixed types, an
    // equal-length violation, an unreadable block header) fails the pass like a record buffer
    // that cannot be allocated.
    if (!reader->OpenForRead(source.GetFile(), source.GetLink(fmt::kDgData))) {
      out.end = PassEnd::kUnreadableSource;
      reader.reset();
    } else if (!writer->IsReady()) {
      out.end = PassEnd::kNoMemory;
    } else if (source.dg_rec_id_size > kMaxRecordIdSize) {
      // Record IDs wider than 8 bytes cannot be told apart: the data group is refused.
      out.end = PassEnd::kBadRecordIdSize;
    } else {
      reader->Seek(0);
      // No record can be longer than the data the group can deliver: a hostile length (a VLSD
      // group declaring gigabytes in a small file) is never collected, and a record that long
      // fails the pass when it is met.
      std::unordered_map<uint64_t, PassTarget> targets;
      for (const auto& [id, group] : map.groups) {
        PassTarget& t = targets[id];
        t.variable = group.length == kVariableLength;
        t.length = t.variable ? 0 : group.length;
        t.count = group.count;
        t.copied = id == targetId;
        t.id = id;
      }
      PassSink pass{targets, *writer, std::min(map.largest, DeliverableBytes(source.GetFile(), *reader)),
                    source.dg_rec_id_size, 0,
                    PassEnd::kExhausted, RecordAssembler(), reader.get(), reader->Placement(), nullptr};
      out.end = ReadRecords(*reader, pass, source.dg_rec_id_size, &out.offset);
      out.recordsCopied = pass.copied;
    }
  } catch (const std::bad_alloc&) {
    out.end = PassEnd::kNoMemory;
  }
  if (writer) writer->Finish();
  if (reader) reader->Release();
  if (writer) writer->Release();
  return out;
}
