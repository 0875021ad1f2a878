// Roll-back of interrupted appends and lost writes: the data is cut back to the last state
// in which blocks, lists, records and cycle counts agree.
#include "stream/data_repair.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/chain_walker.h"
#include "block/hierarchy_blocks.h"
#include "block/records.h"
#include "block/text_block.h"
#include "file/mdf4_file.h"
#include "stream/record_splitter.h"
#include "stream/torn_record.h"

using namespace qm;

// What a writer of this library can leave behind, and how it is undone.
//
// A killed writer leaves every write it made, in order: data first, then the block length
// and list entries that cover it, the cycle counts last. A power loss leaves any subset of
// the writes made since the file was last synced, in any order, some of them only in part
// (in whole 512-byte sectors). The file is therefore read as untrusted and the longest
// prefix of the record stream is kept that satisfies all of:
//  - every list lies inside the file and lists, in increasing positions, DT blocks that lie
//    inside the file; every block but the last holds its full capacity; a list is followed
//    only when it is full;
//  - every record begins with the record ID of a channel group of the data group: ID 0 is
//    never written, so bytes that never reached the disk (zeros) end the data;
//  - no group has more records than its cycle count (the count is written after its
//    records, so records beyond it belong to a call that did not complete).
// Where a record ID is found wrong, part of its sector did not reach the disk; the record in
// front of it is dropped too when it runs into that sector from an earlier one and holds
// only zeros there (its ID arrived, its tail did not). Counts are then lowered to the records kept, the last
// kept block gets the kept length, and lists are rewritten with the entries kept.
//
// Limits (what the file alone cannot tell): a sector that never arrived is recognised by
// the record ID it holds, so a record longer than a sector (more than 63 channels) may hide
// a lost sector inside its values; a record whose values in the sector of a lost record ID
// are all zeros is taken as torn and dropped; the last record of the data, when its length
// and count arrived and the tail of its values did not, reads with zeros there; and bytes that arrive stale instead of new (a region
// written twice, which happens only where a roll-back cut data that later appends then
// overwrite) look valid. With a sync policy both are excluded: the counts that include a
// record reach the disk only after the record is synced, and a roll-back is synced before
// anything is appended. When a group's count arrived but part of its last call's records
// did not, the records that did arrive are kept: what is kept is always a prefix of the
// samples in the order they were written.

namespace {

struct Group {
  bool variable = false;    // never: a data group with a VLSD group is not rolled back
  uint64_t length = 0;      // record bytes behind the ID
  uint64_t recordSize = 0;  // ID included
  uint64_t count = 0;       // records the group may have
  uint64_t onDisk = 0;      // cycle count on disk
  uint64_t countPosition = 0;
  uint64_t seen = 0;        // records kept
};

// A data block found valid: its position and the bytes of it that can be read.
struct Block {
  uint64_t position = 0;
  uint64_t declared = 0;  // data length its header states
  uint64_t length = 0;    // data length inside the file
};

// A data list found valid: its position, what was read of its reserved area, the blocks
// it leads to.
struct List {
  uint64_t position = 0;
  std::vector<uint8_t> bytes;
  bool whole = false;  // the file holds the list's whole area
  std::vector<Block> blocks;
};

// A list's fields behind its links: flags, count and the equal length of its blocks.
constexpr uint64_t kListFields = sizeof(m4DLRecord) + 8;

uint64_t ListReservedSize() {
  return fmt::kBlockHeaderSize + uint64_t{fmt::kLinkSize} * (fmt::kListEntries + 1) + kListFields;
}

// The bytes a list of this library with these blocks has, padded with zeros to its area.
std::vector<uint8_t> CanonicalList(const std::vector<uint64_t>& blocks, uint64_t next) {
  std::vector<uint8_t> out(ListReservedSize(), 0);
  const uint64_t links = blocks.size() + 1;
  StoreLE16(out.data(), fmt::kHashMark);
  StoreLE16(out.data() + 2, fmt::kDL);
  StoreLE64(out.data() + fmt::kHeaderLengthOffset,
            fmt::kBlockHeaderSize + fmt::kLinkSize * links + kListFields);
  StoreLE64(out.data() + fmt::kHeaderLinkCountOffset, links);
  uint8_t* p = out.data() + fmt::kBlockHeaderSize;
  StoreLE64(p, next);
  for (size_t i = 0; i < blocks.size(); ++i) StoreLE64(p + fmt::kLinkSize * (i + 1), blocks[i]);
  p += fmt::kLinkSize * links;
  p[offsetof(m4DLRecord, dl_flags)] = fmt::kDlFlagEqualLength;
  StoreLE32(p + offsetof(m4DLRecord, dl_count), static_cast<uint32_t>(blocks.size()));
  StoreLE64(p + sizeof(m4DLRecord), fmt::kDataBlockCapacity);
  return out;
}

// Reads the header of a DT block at position: true when it lies inside the file (its data
// length cut at the end of file) and is not larger than a block of this library.
bool ReadDataBlock(mDirectFile& file, uint64_t position, Block* block) {
  uint8_t header[fmt::kBlockHeaderSize];
  const uint64_t end = file.GetEnd();
  if (position % fmt::kBlockAlignment != 0 || position > end || end - position < fmt::kBlockHeaderSize ||
      !ReadHeaderAt(&file, position, header) || LoadLE16(header + 2) != fmt::kDT ||
      LoadLE64(header + fmt::kHeaderLinkCountOffset) != 0)
    return false;
  const uint64_t length = LoadLE64(header + fmt::kHeaderLengthOffset);
  if (length < fmt::kBlockHeaderSize || length - fmt::kBlockHeaderSize > fmt::kDataBlockCapacity) return false;
  block->position = position;
  block->declared = length - fmt::kBlockHeaderSize;
  block->length = std::min(block->declared, end - position - fmt::kBlockHeaderSize);
  return true;
}

// Reads the list at position and the blocks it leads to, up to the first that is not valid.
// Links are taken from every slot of the list's area, whatever its header says: a list
// whose header and entries reached the disk from different writes is still read as far as
// its entries lead to blocks. The value a slot holds when a shorter list's count or equal
// length stood there is odd or lies before the entries in front of it, so it ends the list.
bool ReadList(mDirectFile& file, uint64_t position, uint64_t after, List* list) {
  const uint64_t end = file.GetEnd();
  if (position % fmt::kBlockAlignment != 0 || position > end || end - position < fmt::kBlockHeaderSize)
    return false;
  list->position = position;
  list->bytes.assign(ListReservedSize(), 0);
  const auto n = static_cast<uint32_t>(std::min<uint64_t>(list->bytes.size(), end - position));
  if (!file.ReadAt(position, n, list->bytes.data())) return false;
  list->whole = n == list->bytes.size();
  const uint8_t* b = list->bytes.data();
  if (LoadLE16(b) != fmt::kHashMark || LoadLE16(b + 2) != fmt::kDL) return false;
  const uint64_t links = LoadLE64(b + fmt::kHeaderLinkCountOffset);
  // A list whose header and fields agree must be one of this library's.
  if (links >= 1 && links <= fmt::kListEntries + 1 &&
      LoadLE64(b + fmt::kHeaderLengthOffset) == fmt::kBlockHeaderSize + fmt::kLinkSize * links + kListFields) {
    const uint8_t* fields = b + fmt::kBlockHeaderSize + fmt::kLinkSize * links;
    if (LoadLE32(fields + offsetof(m4DLRecord, dl_count)) + 1 == links &&
        (fields[offsetof(m4DLRecord, dl_flags)] & fmt::kDlFlagEqualLength) != 0 &&
        LoadLE64(fields + sizeof(m4DLRecord)) != fmt::kDataBlockCapacity)
      return false;
  }
  for (uint32_t i = 1; i <= fmt::kListEntries; ++i) {
    const uint64_t link = LoadLE64(b + fmt::kBlockHeaderSize + fmt::kLinkSize * i);
    if (!list->blocks.empty() && list->blocks.back().length != fmt::kDataBlockCapacity) break;
    Block block;
    if (link <= after || !ReadDataBlock(file, link, &block)) break;
    list->blocks.push_back(block);
    after = link;
  }
  return true;
}

// The record stream over the valid blocks, read in pieces.
class Cursor {
 public:
  Cursor(mDirectFile& file, const std::vector<Block>& blocks) : file_(file) {
    for (const Block& b : blocks) placement_.Add(b.position + fmt::kBlockHeaderSize, b.length);
  }
  const DataPlacement& Placement() const { return placement_; }
  uint64_t Total() const { return placement_.Total(); }
  // The bytes from offset on, up to the end of its block or kPiece bytes (*n of them, with
  // kSplitSlack readable bytes behind), for the record splitter; null when they cannot be read.
  const uint8_t* Window(uint64_t offset, uint64_t* n) {
    if (!Fill(offset)) return nullptr;
    *n = pieceLength_;
    return piece_.data();
  }
  bool Read(uint64_t offset, uint32_t n, uint8_t* bytes) {
    for (uint32_t k = 0; k < n;) {
      const uint64_t o = offset + k;
      if ((o < pieceStart_ || o >= pieceStart_ + pieceLength_) && !Fill(o)) return false;
      const uint64_t run = std::min<uint64_t>(n - k, pieceStart_ + pieceLength_ - o);
      std::memcpy(bytes + k, piece_.data() + (o - pieceStart_), run);
      k += static_cast<uint32_t>(run);
    }
    return true;
  }

 private:
  static constexpr uint64_t kPiece = 1 << 20;
  // Reads the piece that starts at offset.
  bool Fill(uint64_t offset) {
    pieceStart_ = offset;
    pieceLength_ = std::min<uint64_t>(kPiece, placement_.RunFrom(offset));
    piece_.resize(pieceLength_ + kSplitSlack);
    if (pieceLength_ != 0 &&
        file_.ReadAt(placement_.FilePosition(offset), static_cast<uint32_t>(pieceLength_), piece_.data()))
      return true;
    pieceLength_ = 0;
    return false;
  }
  mDirectFile& file_;
  DataPlacement placement_;
  std::vector<uint8_t> piece_;
  uint64_t pieceStart_ = 0;
  uint64_t pieceLength_ = 0;
};

// Walks the records from the start and returns the length of the longest valid prefix;
// groups' seen counts are set to the records in it.
uint64_t ValidPrefix(Cursor& cursor, std::map<uint16_t, Group>& groups) {
  // Every record must begin with an ID of the data group and stay within its group's count.
  struct Sink {
    using Target = Group;
    std::map<uint16_t, Group>& groups;
    const RecordSplitter<Sink>* split = nullptr;
    bool idWrong = false;
    Group* last = nullptr;    // the group of the last record kept ...
    uint64_t lastOffset = 0;  // ... and where it begins
    uint64_t keep = 0;        // the end of the last record kept
    Group* Take(uint64_t id) {
      auto it = groups.find(static_cast<uint16_t>(id));
      if (it == groups.end()) {
        idWrong = true;
        return nullptr;
      }
      return it->second.seen < it->second.count ? &it->second : nullptr;
    }
    bool Data(Group* g, const uint8_t*, uint64_t, bool complete) {
      if (!complete) return true;
      ++g->seen;
      last = g;
      lastOffset = split->RecordStart();
      keep = lastOffset + g->recordSize;
      return true;
    }
  } sink{groups};
  RecordSplitter<Sink> split(fmt::kUnsortedRecordIdSize, sink);
  sink.split = &split;
  for (uint64_t offset = 0, n = 0; offset < cursor.Total(); offset += n) {
    const uint8_t* piece = cursor.Window(offset, &n);
    if (piece == nullptr || split.Feed(piece, piece + n) != RecordSplitter<Sink>::Stop::kFed) break;
  }
  // Bytes that never reached the disk read as zeros, and the wrong ID lies in such a sector:
  // the record in front of it that runs into that sector with nothing but zeros there lost
  // its tail. (One that holds only zeros there because its values are zeros goes with it.)
  const auto byteAt = [&](uint64_t k) {
    uint8_t byte = 1;
    return cursor.Read(sink.lastOffset + k, 1, &byte) ? byte : uint8_t{1};
  };
  if (sink.idWrong && sink.last != nullptr &&
      ZerosInClosingSector(cursor.Placement(), sink.lastOffset, sink.last->recordSize, byteAt)) {
    --sink.last->seen;
    return sink.lastOffset;
  }
  return sink.keep;
}

bool WriteLink(mDirectFile& file, uint64_t blockPosition, uint32_t link, uint64_t value) {
  uint8_t bytes[8];
  StoreLE64(bytes, value);
  return file.WriteAt(blockPosition + fmt::kBlockHeaderSize + uint64_t{fmt::kLinkSize} * link, 8, bytes);
}

bool WriteU64(mDirectFile& file, uint64_t position, uint64_t value) {
  uint8_t bytes[8];
  StoreLE64(bytes, value);
  return file.WriteAt(position, 8, bytes);
}

// The channels of the group at cgPosition that reached the disk: the chain is cut at the
// first channel (or its name) that did not, and the record size follows the channels found
// (a channel whose group was not rewritten yet, or a group rewritten for a channel that did
// not arrive). *lost tells that the group states fewer channels than before: records of it
// on disk were written for channels it no longer has. False when a write failed.
bool SettleChannels(mDirectFile& file, uint64_t cgPosition, M4CGBlock& cg, bool* changed, bool* lost) {
  uint64_t previous = cgPosition;
  uint32_t previousLink = fmt::kCgCnFirst;
  uint32_t channels = 0;
  ChainWalker<M4CNBlock> walk(&file, cg.GetLink(fmt::kCgCnFirst), fmt::kCN, fmt::kCnNext);
  for (;;) {
    std::unique_ptr<M4CNBlock> cn = walk.Next();
    if (cn && cn->cn_byte_offset == channels * 8u &&
        LoadAs<M4TXBlock>(&file, cn->GetLink(fmt::kCnTxName), fmt::kTX)) {
      ++channels;
      previous = cn->GetPosition();
      previousLink = fmt::kCnNext;
      continue;
    }
    if (cn || walk.StoppedEarly()) {
      *changed = true;
      if (!WriteLink(file, previous, previousLink, 0)) return false;
    }
    break;
  }
  if (cg.cg_data_bytes == channels * 8u) return true;
  *changed = true;
  *lost = cg.cg_data_bytes > channels * 8u;
  cg.cg_data_bytes = channels * 8u;
  uint8_t bytes[4];
  StoreLE32(bytes, cg.cg_data_bytes);
  return file.WriteAt(cgPosition + fmt::kBlockHeaderSize + uint64_t{fmt::kLinkSize} * cg.GetLinkCount() +
                          offsetof(m4CGRecord, cg_data_bytes),
                      sizeof bytes, bytes);
}

// The data group's channel groups by record ID. The chain ends at the first group that did
// not reach the disk whole (its block or name): groups are declared in order, so what
// follows was declared later. False when a group rules the roll-back out or a write failed.
bool ReadChannelGroups(mDirectFile& file, M4DGBlock& dg, std::map<uint16_t, Group>* groups, bool* changed) {
  uint64_t previous = 0;  // 0: the link is the data group's
  ChainWalker<M4CGBlock> walk(&file, dg.GetLink(fmt::kDgCgFirst), fmt::kCG, fmt::kCgNext);
  for (;;) {
    std::unique_ptr<M4CGBlock> cg = walk.Next();
    if (walk.End() == ChainEnd::kLoop) return false;
    if (!cg && !walk.StoppedEarly()) break;
    if (!cg || !LoadAs<M4TXBlock>(&file, cg->GetLink(fmt::kCgTxAcqName), fmt::kTX)) {
      *changed = true;
      if (previous != 0) return WriteLink(file, previous, fmt::kCgNext, 0);
      dg.SetLink(fmt::kDgCgFirst, 0);
      return WriteLink(file, dg.GetPosition(), fmt::kDgCgFirst, 0);
    }
    if ((cg->cg_flags & fmt::kCgFlagVlsd) != 0 || cg->cg_record_id == 0 || cg->cg_record_id > 0xFFFF ||
        cg->cg_inval_bytes != 0)
      return false;
    const uint64_t pos = cg->GetPosition();
    bool lost = false;
    if (!SettleChannels(file, pos, *cg, changed, &lost)) return false;
    Group g;
    g.length = cg->RecordSize();
    g.recordSize = fmt::kUnsortedRecordIdSize + g.length;
    // Records written for a channel that is gone cannot be read: the data ends at the first.
    g.onDisk = cg->cg_cycle_count;
    g.count = lost ? 0 : g.onDisk;
    g.countPosition = pos + fmt::kBlockHeaderSize + uint64_t{fmt::kLinkSize} * cg->GetLinkCount() +
                      offsetof(m4CGRecord, cg_cycle_count);
    if (!groups->emplace(static_cast<uint16_t>(cg->cg_record_id), g).second) return false;
    previous = pos;
  }
  return true;
}

}  // namespace

bool RollBackInterruptedData(MDF4File& written, M4DGBlock& dg, RollBackResult* result) {
  *result = RollBackResult{};
  if (!written.WrittenBy(fmt::kProgramId) || dg.dg_rec_id_size != fmt::kUnsortedRecordIdSize) return true;
  mDirectFile& file = written.Direct();
  std::map<uint16_t, Group> groups;
  bool changed = false;
  file.ClearWriteError();
  if (!ReadChannelGroups(file, dg, &groups, &changed)) return !file.HadWriteError();

  // The blocks: a single DT, or a chain of lists.
  const uint64_t link = dg.GetLink(fmt::kDgData);
  std::vector<List> lists;
  std::vector<Block> blocks;
  bool linkValid = link == 0;
  uint8_t header[fmt::kBlockHeaderSize];
  if (link != 0 && ReadHeaderAt(&file, link, header)) {
    if (LoadLE16(header + 2) == fmt::kDT) {
      // A single block (written before lists were used): one that does not fit the
      // layout is left alone.
      Block block;
      if (!ReadDataBlock(file, link, &block)) return true;
      blocks.push_back(block);
      linkValid = true;
    } else if (LoadLE16(header + 2) == fmt::kDL) {
      ChainGuard guard(file.GetEnd());
      uint64_t after = 0;
      for (uint64_t pos = link; pos != 0 && guard.Admit(pos) == ChainEnd::kComplete;) {
        List list;
        if (!ReadList(file, pos, after, &list)) {
          if (lists.empty()) return true;  // a foreign list: not this library's layout
          break;
        }
        if (list.blocks.empty()) break;
        lists.push_back(std::move(list));
        const List& l = lists.back();
        blocks.insert(blocks.end(), l.blocks.begin(), l.blocks.end());
        after = l.blocks.back().position;
        const bool full = l.blocks.size() == fmt::kListEntries && l.blocks.back().length == fmt::kDataBlockCapacity;
        pos = full ? LoadLE64(l.bytes.data() + fmt::kBlockHeaderSize) : 0;
      }
      linkValid = !lists.empty();
    } else {
      return true;  // another layout
    }
  }
  result->applicable = true;

  Cursor cursor(file, blocks);
  for (const Block& b : blocks) result->dataLength += b.declared;
  const uint64_t keep = ValidPrefix(cursor, groups);
  result->keptLength = keep;

  // Nothing on disk may link to what was dropped: lists and lengths first, counts last.
  if (!linkValid) {
    changed = true;
    dg.SetLink(fmt::kDgData, 0);
    if (!WriteLink(file, dg.GetPosition(), fmt::kDgData, 0)) return false;
  }
  uint64_t before = 0;
  size_t lastBlock = 0;  // index of the block in which the kept bytes end
  for (size_t i = 0; i < blocks.size(); ++i) {
    lastBlock = i;
    if (before + blocks[i].length >= keep) break;
    before += blocks[i].length;
  }
  size_t counted = 0;
  for (List& l : lists) {
    std::vector<uint64_t> entries;
    for (size_t k = 0; k < l.blocks.size() && counted + k <= lastBlock; ++k) entries.push_back(l.blocks[k].position);
    counted += l.blocks.size();
    const bool last = counted > lastBlock;
    const uint64_t next = last ? 0 : LoadLE64(l.bytes.data() + fmt::kBlockHeaderSize);
    const std::vector<uint8_t> canonical = CanonicalList(entries, next);
    // The whole area is written when the file ends inside it, so that the list can grow.
    if (canonical != l.bytes || !l.whole) {
      changed = true;
      if (!file.WriteAt(l.position, static_cast<uint32_t>(canonical.size()), canonical.data())) return false;
    }
    if (last) break;
  }
  if (!blocks.empty() && blocks[lastBlock].declared != keep - before) {
    changed = true;
    if (!WriteU64(file, blocks[lastBlock].position + fmt::kHeaderLengthOffset,
                  fmt::kBlockHeaderSize + (keep - before)))
      return false;
  }
  for (const auto& [id, g] : groups) {
    if (g.onDisk == g.seen) continue;
    changed = true;
    if (!WriteU64(file, g.countPosition, g.seen)) return false;
  }
  result->changed = changed;
  return true;
}
