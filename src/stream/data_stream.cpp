// The data stream: reading across data blocks and lists, and appending in crash-safe order.
#include "stream/data_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/chain_walker.h"
#include "block/hierarchy_blocks.h"
#include "block/list_blocks.h"
#include "file/mdf4_file.h"
#include "block/data_block.h"

using namespace qm;

namespace {

bool IsDataType(uint16_t t) {
  return t == fmt::kDT || t == fmt::kSD || t == fmt::kSR || t == fmt::kRD || t == fmt::kDZ;
}

}  // namespace

// ---- Reading ------------------------------------------------------------------------------

m4DataStream::~m4DataStream() { m4DataStream::Release(); }

bool m4DataStream::WriteBytes(uint32_t, const void*) { return false; }

void m4DataStream::Release() {
  for (Fragment& f : fragments_) f.inflated.reset();
}

bool m4DataStream::OpenForRead(mDirectFile* file, uint64_t dataLink) {
  readFile_ = file;
  writing_ = false;
  blockType_ = 0;
  totalLength_ = offset_ = fragmentOffset_ = 0;
  fragments_.clear();
  shortBlockSeen_ = false;
  truncated_ = false;
  try {
    ready_ = BuildFragments(dataLink);
  } catch (const std::bad_alloc&) {
    ready_ = false;
  }
  if (!ready_) {
    fragments_.clear();
    totalLength_ = 0;
  }
  fragments_.emplace_back();  // terminator of length 0
  Seek(0);
  return ready_;
}

bool m4DataStream::AddFragment(uint64_t position, uint64_t length, uint16_t type) {
  if (length > std::numeric_limits<uint64_t>::max() - totalLength_) return false;
  Fragment f;
  f.position = position;
  f.length = length;
  f.type = type;
  fragments_.push_back(std::move(f));
  totalLength_ += length;
  return true;
}

m4DataStream::Listed m4DataStream::AddListedBlock(const M4DLBlock& list, uint32_t i, uint64_t equalLength,
                                                  bool checkEqual) {
  const uint64_t p = list.GetLink(1 + i);
  uint8_t header[fmt::kBlockHeaderSize];
  if (!ReadHeaderAt(readFile_, p, header)) return Listed::kDataEnds;
  const uint16_t type = LoadLE16(header + 2);
  if (!IsDataType(type)) return Listed::kDataEnds;
  if (blockType_ == 0) {
    blockType_ = type;
  } else if (blockType_ != fmt::kDZ && type != blockType_) {
    return Listed::kBadLayout;
  }
  uint64_t length = LoadLE64(header + fmt::kHeaderLengthOffset);
  const uint64_t links = LoadLE64(header + fmt::kHeaderLinkCountOffset);
  uint64_t end = readFile_->GetEnd();
  // A writer in another process may have grown the file since it was opened here: a writer
  // writes a block's bytes before its length, so a block that seems to run past the end is
  // measured again against the file's present size.
  if ((p > end || length > end - p) && readFile_->RefreshEnd()) end = readFile_->GetEnd();
  // A block without links whose length reached the file but not all of whose bytes did (a
  // power loss): the data ends with the bytes that are there.
  const bool cut = p <= end && end - p >= fmt::kBlockHeaderSize && length > end - p && links == 0 &&
                   type != fmt::kDZ;
  if (cut) length = end - p;
  // The block must lie inside the file and its length cover header and links.
  if (p > end || length > end - p || length < fmt::kBlockHeaderSize ||
      (length - fmt::kBlockHeaderSize) / fmt::kLinkSize < links)
    return Listed::kDataEnds;
  uint64_t dataLength = length - fmt::kBlockHeaderSize - fmt::kLinkSize * links;
  uint64_t dzLength = 0;
  if (type == fmt::kDZ) {
    uint8_t rec[sizeof(m4DZRecord)];
    if (dataLength < sizeof rec || !readFile_->ReadAt(p + fmt::kBlockHeaderSize, sizeof rec, rec))
      return Listed::kDataEnds;
    dzLength = LoadLE64(rec + offsetof(m4DZRecord, dz_org_data_length));
  }
  // An empty block holds no data: some writers list one at the end of a list (or anywhere in a
  // list with offsets). It is passed over, so that it cannot end the stream early; the data ends
  // where the list chain ends.
  if (dataLength == 0 || (type == fmt::kDZ && dzLength == 0)) return Listed::kAdded;
  // In an equal-length list only the last block with data may be shorter: the data ends with
  // the shorter block (a length that grew later never reached the file).
  if (shortBlockSeen_) return Listed::kDataEnds;
  if (checkEqual && blockType_ != fmt::kDZ && dataLength != equalLength) shortBlockSeen_ = true;
  if (!AddFragment(p + fmt::kBlockHeaderSize, dzLength != 0 ? dzLength : dataLength, type)) return Listed::kBadLayout;
  return cut ? Listed::kAddedLast : Listed::kAdded;
}

bool m4DataStream::BuildFragments(uint64_t dataLink) {
  std::unique_ptr<m4Block> b = LoadBlock(readFile_, dataLink);
  uint64_t position = dataLink;
  if (b && b->GetType() == fmt::kHL) {
    position = b->GetLink(fmt::kHlDlFirst);
    b = LoadBlock(readFile_, position);
  }
  if (!b) return true;  // no data
  if (b->GetType() == fmt::kDL) {
    // The lists are walked as every chain is: a link that loops back or leads to no list, and
    // a listed link that leads to no data block, end the data there. Only a layout that no
    // reading could make sense of (blocks of different types) fails the stream.
    ChainWalker<M4DLBlock> walk(readFile_, position, fmt::kDL, fmt::kDlNext);
    while (std::unique_ptr<M4DLBlock> list = walk.Next()) {
      // A list has a link for each block it counts. When the two disagree, the list reached the
      // disk torn (its header from one write, its count from another): the links are taken as
      // far as they lead to blocks; links beyond the count that lead nowhere are spare.
      // dl_count is untrusted: it may name more blocks than the list has links for.
      const uint32_t count = list->dl_count;
      const uint32_t links = list->GetLinkCount() == 0 ? 0 : list->GetLinkCount() - 1;
      const bool agrees = list->GetLinkCount() != 0 && count <= links;
      uint64_t equalLength = 0;
      const bool checkEqual = list->EqualLength(&equalLength);
      for (uint32_t i = 0; i < links; ++i) {
        const Listed listed = AddListedBlock(*list, i, equalLength, checkEqual);
        if (listed == Listed::kBadLayout) return false;
        if (listed == Listed::kDataEnds && agrees && i >= count) break;  // a spare link
        if (listed == Listed::kDataEnds || listed == Listed::kAddedLast) {
          truncated_ = true;
          return true;
        }
      }
      if (!agrees) {
        truncated_ = true;  // what followed a torn list cannot be trusted
        return true;
      }
    }
    truncated_ = walk.StoppedEarly();
    return true;
  }
  const uint16_t type = b->GetType();
  if (!IsDataType(type)) return true;  // nothing readable at the link
  uint64_t length = b->GetVarSize();
  if (type == fmt::kDZ) length = static_cast<const M4DZBlock&>(*b).dz_org_data_length;
  else if (type == fmt::kSR) length = b->GetHeaderLength() - fmt::kBlockHeaderSize - 8 * b->GetLinkCount();
  // position, not dataLink: behind an HL the block is the one its link leads to.
  return AddFragment(position + fmt::kBlockHeaderSize, length, type);
}

uint64_t m4DataStream::Seek(uint64_t offset) {
  offset = std::min(offset, totalLength_);
  offset_ = offset;
  uint64_t sum = 0;
  for (size_t i = 0; i < fragments_.size(); ++i) {
    if (offset - sum < fragments_[i].length) {
      current_ = i;
      fragmentOffset_ = offset - sum;
      return offset;
    }
    sum += fragments_[i].length;
  }
  if (fragments_.empty()) fragments_.emplace_back();
  current_ = 0;
  offset_ = 0;
  fragmentOffset_ = 0;
  return 0;
}

bool m4DataStream::PeekAt(uint64_t offset, uint32_t n, void* destination) {
  const uint64_t offset0 = offset_, fragmentOffset0 = fragmentOffset_;
  const size_t current0 = current_;
  const bool read = offset < totalLength_ && n <= totalLength_ - offset && Seek(offset) == offset &&
                    ReadBytes(n, destination) == static_cast<int32_t>(n);
  offset_ = offset0;
  fragmentOffset_ = fragmentOffset0;
  current_ = current0;
  return read;
}

qm::DataPlacement m4DataStream::Placement() const {
  qm::DataPlacement placement;
  for (const Fragment& f : fragments_) {
    if (f.type == fmt::kDZ) placement.MarkCompressed();
    placement.Add(f.position, f.length);
  }
  return placement;
}

bool m4DataStream::Inflate(Fragment& fragment) {
  std::unique_ptr<M4DZBlock> dz =
      LoadAs<M4DZBlock>(readFile_, fragment.position - fmt::kBlockHeaderSize, fmt::kDZ);
  if (!dz) return false;
  DZInput in{dz->var.data(), dz->var.size(), dz->dz_data_length, dz->dz_zip_type,
             dz->dz_zip_parameter};
  fragment.inflated = InflateFragment(in, fragment.length, buffers_);
  return fragment.inflated != nullptr;
}

int32_t m4DataStream::ReadBytes(uint32_t n, void* destination) {
  auto* dst = static_cast<uint8_t*>(destination);
  if (n > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
    n = std::numeric_limits<int32_t>::max();
  uint32_t total = 0;
  while (n > 0 && current_ < fragments_.size()) {
    Fragment& f = fragments_[current_];
    if (f.length == 0) break;
    const uint64_t k = std::min<uint64_t>(f.length - fragmentOffset_, n);
    if (f.type == fmt::kDZ) {
      if (!f.inflated && !Inflate(f)) break;
      std::memcpy(dst, f.inflated.get() + fragmentOffset_, k);
    } else if (!readFile_->ReadAt(f.position + fragmentOffset_, static_cast<uint32_t>(k), dst)) {
      break;
    }
    dst += k;
    fragmentOffset_ += k;
    offset_ += k;
    total += static_cast<uint32_t>(k);
    n -= static_cast<uint32_t>(k);
    if (fragmentOffset_ == f.length) {
      fragmentOffset_ = 0;
      f.inflated.reset();
      ++current_;
    }
  }
  return static_cast<int32_t>(total);
}

// ---- Appending ----------------------------------------------------------------------------

m4DataStreamEx::m4DataStreamEx(M4DGBlock* dg, CycleCounterTable& counters, uint32_t capacity,
                               uint32_t maxEntries, uint16_t type)
    : counters_(counters), capacity_(capacity) {
  writing_ = true;
  blockType_ = type;
  dg_ = dg;
  file_ = dg != nullptr ? dg->GetFile() : nullptr;
  if (file_ == nullptr || capacity == 0) return;
  dataBlock_.reset(new (std::nothrow) M4DataBlock(type, capacity));
  if (!dataBlock_ || dataBlock_->Data() == nullptr) return;

  const uint64_t link = dg->GetLink(fmt::kDgData);
  if (maxEntries == 0) {
    // A single block without a list: only ever used on empty data.
    if (link != 0) return;
    dg->SetLink(fmt::kDgData, dataBlock_->ReserveAtEnd(file_));
    predecessorLinked_ = false;
    ready_ = true;
    return;
  }
  if (link == 0) {
    list_.reset(new M4DLBlock(maxEntries, capacity));
    dg->SetLink(fmt::kDgData, list_->ReserveAtEnd(file_));
    list_->AddDataBlock(dataBlock_->ReserveAtEnd(file_));
    listDirty_ = true;
    predecessorLinked_ = false;
    ready_ = true;
    return;
  }
  uint8_t header[fmt::kBlockHeaderSize];
  if (!ReadHeaderAt(file_, link, header)) return;
  const uint16_t found = LoadLE16(header + fmt::kHeaderTypeOffset);
  if (found == fmt::kDL) {
    ready_ = OpenOnList(link, maxEntries);
  } else if (found == fmt::kDT && type == fmt::kDT) {
    list_.reset(new M4DLBlock(maxEntries, capacity));
    ready_ = OpenOnSingleBlock(link);
  }
}

m4DataStreamEx::~m4DataStreamEx() { m4DataStreamEx::Release(); }

bool m4DataStreamEx::GapIsUnused(uint64_t from, uint64_t to) {
  std::vector<uint8_t> bytes(4096);
  for (uint64_t p = from; p < to;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(bytes.size(), to - p));
    if (!file_->ReadAt(p, n, bytes.data())) return false;
    if (std::any_of(bytes.begin(), bytes.begin() + n, [](uint8_t b) { return b != 0; })) return false;
    p += n;
  }
  return true;
}

bool m4DataStreamEx::ListHasRoom(const M4DLBlock& list) {
  // A list grows in place up to its full size: the area behind its current length must be
  // inside the file and unused, as it is behind every list this library reserved.
  const uint64_t start = list.GetPosition();
  const uint64_t full = list.ReservedSize();
  if (start + full > file_->GetEnd()) return false;
  return GapIsUnused(start + list.GetHeaderLength(), start + full);
}

bool m4DataStreamEx::OpenOnList(uint64_t listPosition, uint32_t maxEntries) {
  // Only the last list of a chain that can be followed to its end can be continued.
  ChainWalker<M4DLBlock> walk(file_, listPosition, fmt::kDL, fmt::kDlNext);
  std::unique_ptr<M4DLBlock> list = LastOfChain(walk);
  if (!list || walk.StoppedEarly()) return false;
  uint64_t equal = 0;
  // Only a layout this stream would have written itself can be continued.
  if (!list->EqualLength(&equal) || equal != capacity_ || list->var.size() != 1 ||
      list->dl_count == 0 || list->dl_count + 1 != list->GetLinkCount())
    return false;
  list_ = std::move(list);
  list_->SetMaxEntries(maxEntries);
  if (list_->dl_count > maxEntries || !ListHasRoom(*list_)) return false;
  return TakeOverLastBlock(list_->GetLink(list_->dl_count), true);
}

bool m4DataStreamEx::OpenOnSingleBlock(uint64_t blockPosition) {
  // The data group holds one DT without a list: it becomes the first entry of a new list,
  // and since the list now stands behind it, its bytes move to a fresh block at the end.
  // The block is checked before anything is reserved, so that a refusal leaves the file as
  // it was.
  uint64_t old = 0;
  if (!ContinuableBlock(blockPosition, &old)) return false;
  list_->ReserveAtEnd(file_);
  list_->AddDataBlock(blockPosition);
  predecessorLinked_ = false;
  return TakeOverLastBlock(blockPosition, false);
}

bool m4DataStreamEx::ContinuableBlock(uint64_t position, uint64_t* dataLength) {
  uint8_t header[fmt::kBlockHeaderSize];
  if (!ReadHeaderAt(file_, position, header) || LoadLE16(header + fmt::kHeaderTypeOffset) != fmt::kDT) return false;
  const uint64_t length = LoadLE64(header + fmt::kHeaderLengthOffset);
  const uint64_t end = file_->GetEnd();
  if (LoadLE64(header + fmt::kHeaderLinkCountOffset) != 0 || length < fmt::kBlockHeaderSize ||
      position > end || length > end - position || length - fmt::kBlockHeaderSize > capacity_)
    return false;
  *dataLength = length - fmt::kBlockHeaderSize;
  return true;
}

bool m4DataStreamEx::TakeOverLastBlock(uint64_t lastPosition, bool mayGrow) {
  uint64_t old = 0;
  if (!ContinuableBlock(lastPosition, &old)) return false;
  const uint64_t length = fmt::kBlockHeaderSize + old;
  const uint64_t end = file_->GetEnd();

  bool grow = false;
  if (mayGrow && old < capacity_) {
    const uint64_t blockEnd = lastPosition + length;
    const uint64_t gap = end - blockEnd;
    // The block is the last thing in the file (up to alignment), or the space reserved for
    // it earlier is still there, unused.
    grow = gap <= fmt::kBlockAlignment ||
           (gap == capacity_ - old && GapIsUnused(blockEnd, end));
  }
  if (grow) {
    // Continue in place: the old bytes are on disk already and stay where they are.
    dataBlock_->AttachAt(file_, lastPosition, old);
    dataBlock_->SetCapacity(capacity_);
    flushed_ = old;
    const uint64_t needEnd = lastPosition + fmt::kBlockHeaderSize + capacity_;
    if (needEnd > end) file_->SetEnd(needEnd);
    return true;
  }
  // Move: the old bytes are copied into a new block at the end, which replaces the old one
  // as the list's last entry. The old block stays in the file, unlisted. They are read before
  // the new block is reserved, so that a failed read leaves the file as it was.
  std::vector<uint8_t> bytes(old);
  if (old != 0 &&
      !file_->ReadAt(lastPosition + fmt::kBlockHeaderSize, static_cast<uint32_t>(old), bytes.data()))
    return false;
  const uint64_t position = dataBlock_->ReserveAtEnd(file_);
  if (!dataBlock_->Append(static_cast<uint32_t>(old), bytes.data())) return false;
  flushed_ = 0;
  list_->LinkAt(list_->dl_count) = position;
  listDirty_ = true;
  return true;
}

bool m4DataStreamEx::WriteBytes(uint32_t n, const void* source) {
  if (!ready_) return false;
  const auto* src = static_cast<const uint8_t*>(source);
  while (n > 0) {
    const uint32_t k = std::min(n, dataBlock_->GetFreeSpace());
    if (k > 0) {
      dataBlock_->Append(k, src);
      src += k;
      n -= k;
      continue;
    }
    if (!list_) return false;
    // The block is full: write it before anything can list it as complete.
    dataBlock_->Flush(flushed_);
    flushed_ = 0;
    if (list_->IsFull()) {
      // The full list reaches the disk (with an empty next link) only now that every block
      // it lists is written; its successor is linked once the successor is written too.
      CommitList();
      predecessorList_ = list_->GetPosition();
      predecessorLinked_ = false;
      list_->ReserveAtEnd(file_);
    }
    list_->AddDataBlock(dataBlock_->ReserveAtEnd(file_, M4DataBlock::kAlreadyWritten));
    listDirty_ = true;
  }
  return true;
}

void m4DataStreamEx::CommitList() {
  if (list_ && listDirty_) {
    list_->Write(BlockParts::kAll);
    listDirty_ = false;
  }
  if (predecessorLinked_) return;
  const uint64_t target = list_ ? list_->GetPosition() : dataBlock_->GetPosition();
  if (predecessorList_ != 0) {
    uint8_t bytes[fmt::kLinkSize];
    StoreLE64(bytes, target);
    file_->WriteAt(predecessorList_ + fmt::kBlockHeaderSize + fmt::kLinkSize * fmt::kDlNext, fmt::kLinkSize, bytes);
  } else {
    dg_->SetLink(fmt::kDgData, target);
    dg_->Write(BlockParts::kAll);
  }
  predecessorLinked_ = true;
}

bool m4DataStreamEx::WriteRecord(uint32_t idSize, const void* id, uint32_t size, const void* data) {
  if (ready_ && dataBlock_->GetFreeSpace() >= uint64_t{idSize} + size) {
    dataBlock_->AppendUnchecked(idSize, id);
    dataBlock_->AppendUnchecked(size, data);
    return true;
  }
  return WriteBytes(idSize, id) && WriteBytes(size, data);
}

bool m4DataStreamEx::Resume() {
  if (!ready_ || !dataBlock_ || !list_) return false;
  const uint64_t old = dataBlock_->GetDataLength();
  // Continued in place when the block still ends the file and has room, exactly as a new
  // stream on the same data would find it; otherwise its bytes move to a new block at the end.
  if (file_->GetEnd() == finishedEnd_ && old < capacity_) return true;
  // The block's bytes are in its buffer already: they move from there.
  const uint64_t position = dataBlock_->MoveToEnd(file_);
  if (position == 0) return false;
  flushed_ = 0;
  list_->LinkAt(list_->dl_count) = position;
  listDirty_ = true;
  return true;
}

void m4DataStreamEx::Finish() {
  if (!ready_ || !dataBlock_) return;
  if (syncBarrier_) {
    // Records first and durable, then what links to and counts them: a power loss after the
    // counts reached the disk finds every record they count.
    if (dataBlock_->FlushData(flushed_)) flushed_ = dataBlock_->GetDataLength();
    file_->Sync();
    syncBarrier_ = false;
  }
  dataBlock_->Flush(flushed_);
  flushed_ = dataBlock_->GetDataLength();
  CommitList();
  counters_.FlushCycleCounters(*file_);
  // Cut the unused reserved tail, but only when the file really ends with it.
  const uint64_t reservedEnd = dataBlock_->GetPosition() + fmt::kBlockHeaderSize + dataBlock_->GetCapacity();
  if (dataBlock_->GetDataLength() != dataBlock_->GetCapacity() && file_->GetEnd() == reservedEnd)
    file_->SetEnd(dataBlock_->GetPosition() + fmt::kBlockHeaderSize + dataBlock_->GetDataLength());
  finishedEnd_ = file_->GetEnd();
}

void m4DataStreamEx::Release() {
  if (writing_) Finish();
  writing_ = false;
  list_.reset();
  dataBlock_.reset();
  m4DataStream::Release();
}
