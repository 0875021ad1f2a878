// One read of an unsorted data group: each record goes through its group's buffer to its final place.
#include "sort/one_pass.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "block/byte_order.h"
#include "block/hierarchy_blocks.h"
#include "platform/direct_file.h"
#include "sort/dz_writer.h"
#include "sort/piece_reader.h"
#include "sort/record_pass.h"
#include "stream/record_splitter.h"

namespace qm {

namespace {

constexpr uint64_t kCapacity = fmt::kDataBlockCapacity;
constexpr uint64_t kEntries = fmt::kListEntries;
constexpr uint64_t kBlockStride = fmt::kBlockHeaderSize + kCapacity;  // a full ##DT, 8-aligned
constexpr uint64_t kListStride = kListReserved + kEntries * kBlockStride;
static_assert(kBlockStride % fmt::kBlockAlignment == 0 && kListReserved % fmt::kBlockAlignment == 0,
              "a region has no alignment gaps");
// Short records are copied in whole pieces of kSlack bytes, which may read and write up to
// kSlack - 1 bytes past them: the read chunk and every write buffer have that much room behind
// their end. Bytes written past a record are overwritten by what follows it before they are
// written to the file, since a buffer goes to the file only up to its last byte appended.
constexpr uint64_t kSlack = 16;
constexpr uint64_t kShortCopy = 64;
static_assert(kSlack >= kSplitSlack, "the chunk's slack also covers loading an ID as 8 bytes");
// Regions are refused beyond this, far below where positions could overflow.
constexpr uint64_t kRegionLimit = uint64_t{1} << 60;

void StoreHeader(uint8_t* out, uint16_t type, uint64_t length, uint64_t links) {
  StoreLE16(out, fmt::kHashMark);
  StoreLE16(out + 2, type);
  StoreLE32(out + 4, 0);
  StoreLE64(out + fmt::kHeaderLengthOffset, length);
  StoreLE64(out + fmt::kHeaderLinkCountOffset, links);
}

// Keeps the rare path of a hot function out of line, so that the hot path stays small enough
// to be inlined where it is called.
#if defined(__GNUC__)
#define QM_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define QM_NOINLINE __declspec(noinline)
#else
#define QM_NOINLINE
#endif

// a + b, or false when it overflows.
bool AddChecked(uint64_t a, uint64_t b, uint64_t* sum) {
  if (a > std::numeric_limits<uint64_t>::max() - b) return false;
  *sum = a + b;
  return true;
}

}  // namespace

// ---- The region's layout -----------------------------------------------------------------

uint64_t DataRegion::Blocks() const { return dataBytes == 0 ? 1 : (dataBytes - 1) / kCapacity + 1; }

uint64_t DataRegion::Lists() const { return (Blocks() - 1) / kEntries + 1; }

uint64_t DataRegion::ListPosition(uint64_t list) const { return start + list * kListStride; }

uint64_t DataRegion::BlockPosition(uint64_t block) const {
  return ListPosition(block / kEntries) + kListReserved + (block % kEntries) * kBlockStride;
}

uint64_t DataRegion::BlockDataLength(uint64_t block) const {
  return block + 1 < Blocks() ? kCapacity : dataBytes - (Blocks() - 1) * kCapacity;
}

uint64_t DataRegion::End() const {
  const uint64_t last = Blocks() - 1;
  return BlockPosition(last) + fmt::kBlockHeaderSize + BlockDataLength(last);
}

bool DataRegion::Fits() const {
  return start < kRegionLimit && dataBytes < kRegionLimit && start % fmt::kBlockAlignment == 0;
}

void DataRegion::EncodeList(uint64_t list, uint8_t* out) const {
  std::memset(out, 0, kListReserved);
  const uint64_t first = list * kEntries;
  const uint64_t count = std::min(kEntries, Blocks() - first);
  const uint64_t links = 1 + count;
  StoreHeader(
      out, fmt::kDL,
      fmt::kBlockHeaderSize + fmt::kLinkSize * links + sizeof(m4DLRecord) + sizeof(uint64_t),
      links);
  uint8_t* link = out + fmt::kBlockHeaderSize;
  StoreLE64(link, list + 1 < Lists() ? ListPosition(list + 1) : 0);
  for (uint64_t i = 0; i < count; ++i)
    StoreLE64(link + fmt::kLinkSize * (1 + i), BlockPosition(first + i));
  uint8_t* record = link + fmt::kLinkSize * links;
  record[offsetof(m4DLRecord, dl_flags)] = fmt::kDlFlagEqualLength;
  StoreLE32(record + offsetof(m4DLRecord, dl_count), static_cast<uint32_t>(count));
  StoreLE64(record + sizeof(m4DLRecord), kCapacity);  // dl_equal_length
}

void DataRegion::EncodeBlockHeader(uint64_t block, uint8_t* out) const {
  StoreHeader(out, fmt::kDT, fmt::kBlockHeaderSize + BlockDataLength(block), 0);
}

// ---- Writing one region ------------------------------------------------------------------

// Produces a region's bytes from start to end: the record data handed to Append, with each
// list and block header put in front of the first data byte of its block. The bytes collect in
// a buffer that goes to the file in one positioned write whenever it is full.
class DataGroupSplitter::RegionWriter {
 public:
  void Init(mDirectFile* file, const DataRegion& region, uint64_t bufferSize) {
    file_ = file;
    region_ = region;
    blocks_ = region.Blocks();
    fileAt_ = region.start;
    size_ = std::max<uint64_t>(bufferSize, 1);
  }

  // Appends n data bytes; p must have kSlack readable bytes behind them. False when they do
  // not fit the region, or a buffer could not be allocated.
  bool Append(const uint8_t* p, uint64_t n) {
    if (n <= room_) {
      if (n <= kShortCopy) {
        for (uint64_t i = 0; i < n; i += kSlack) std::memcpy(cur_ + i, p + i, kSlack);
      } else {
        std::memcpy(cur_, p, n);
      }
      cur_ += n;
      room_ -= n;
      data_ += n;
      return true;
    }
    return AppendSlow(p, n);
  }

  // Writes the rest of the region (the headers of an empty group) and releases the buffer.
  // True when the region was written whole.
  bool Finish() {
    if (data_ != region_.dataBytes || !Allocate()) return false;
    while (nextHead_ < blocks_) EmitHeads(nextHead_++);
    Flush();
    buffer_.reset();
    cur_ = nullptr;
    room_ = 0;
    return ok_ && fileAt_ == region_.End();
  }

  bool NoMemory() const { return noMemory_; }

 private:
  bool Allocate() {
    if (buffer_) return true;
    buffer_.reset(new (std::nothrow) uint8_t[size_ + kSlack]);
    if (!buffer_) {
      noMemory_ = true;
      return false;
    }
    cur_ = buffer_.get();
    return true;
  }

  uint8_t* BufferEnd() const { return buffer_.get() + size_; }

  // The data offset up to which bytes can be appended before a header must come.
  uint64_t DataLimit() const {
    return nextHead_ < blocks_ ? nextHead_ * kCapacity : region_.dataBytes;
  }

  QM_NOINLINE bool AppendSlow(const uint8_t* p, uint64_t n) {
    if (!Allocate()) return false;
    while (n > 0) {
      if (nextHead_ < blocks_ && data_ == nextHead_ * kCapacity) EmitHeads(nextHead_++);
      const uint64_t limit = DataLimit();
      if (data_ >= limit) return false;  // more data than the region holds
      if (cur_ == BufferEnd()) Flush();
      const uint64_t k = std::min({n, limit - data_, static_cast<uint64_t>(BufferEnd() - cur_)});
      std::memcpy(cur_, p, k);
      cur_ += k;
      data_ += k;
      p += k;
      n -= k;
    }
    room_ = std::min(DataLimit() - data_, static_cast<uint64_t>(BufferEnd() - cur_));
    return true;
  }

  // The list header when the block opens a list, then the block's header.
  void EmitHeads(uint64_t block) {
    if (block % kEntries == 0) {
      uint8_t list[kListReserved];
      region_.EncodeList(block / kEntries, list);
      Put(list, kListReserved);
    }
    uint8_t header[fmt::kBlockHeaderSize];
    region_.EncodeBlockHeader(block, header);
    Put(header, sizeof header);
  }

  void Put(const uint8_t* p, uint64_t n) {
    while (n > 0) {
      if (cur_ == BufferEnd()) Flush();
      const uint64_t k = std::min(n, static_cast<uint64_t>(BufferEnd() - cur_));
      std::memcpy(cur_, p, k);
      cur_ += k;
      p += k;
      n -= k;
    }
  }

  void Flush() {
    const uint64_t n = static_cast<uint64_t>(cur_ - buffer_.get());
    if (n == 0) return;
    if (!file_->WriteAt(fileAt_, static_cast<uint32_t>(n), buffer_.get())) ok_ = false;
    fileAt_ += n;
    cur_ = buffer_.get();
  }

  // Hot fields first: the fast path of Append touches only these.
  uint8_t* cur_ = nullptr;  // next free byte of the buffer
  uint64_t room_ = 0;       // bytes Append may copy without a header or a flush coming first
  uint64_t data_ = 0;       // data bytes appended so far
  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t size_ = 0;
  mDirectFile* file_ = nullptr;
  DataRegion region_;
  uint64_t blocks_ = 0;
  uint64_t nextHead_ = 0;  // the first block whose headers are not emitted yet
  uint64_t fileAt_ = 0;    // file position of the buffer's first byte
  bool ok_ = true;
  bool noMemory_ = false;
};

struct DataGroupSplitter::Target {
  bool variable = false;  // a VLSD group: its records are stepped over
  uint64_t length = 0;
  uint64_t declared = 0;
  uint64_t seen = 0;
  RegionWriter writer;
  DZGroupWriter* sink = nullptr;  // a compressed copy's group: takes the records instead

  bool Append(const uint8_t* p, uint64_t n) {
    return sink != nullptr ? sink->Append(p, n) : writer.Append(p, n);
  }
  bool NoMemory() const { return sink != nullptr ? sink->NoMemory() : writer.NoMemory(); }
};

// ---- Opening and splitting ---------------------------------------------------------------

bool DataGroupSplitter::Open(const M4DGBlock& source, std::vector<SplitGroup> groups,
                             const SplitSettings& settings) {
  groups_ = std::move(groups);
  settings_ = settings;
  idSize_ = source.dg_rec_id_size;
  if (idSize_ == 0 || idSize_ > kMaxRecordIdSize || groups_.empty()) return false;
  // The bytes the declared records take, IDs included.
  uint64_t declared = 0;
  std::unordered_set<uint64_t> ids;
  for (const SplitGroup& g : groups_) {
    if (!ids.insert(g.recordId).second) return false;
    // A VLSD group's records are an ID and a 4-byte length each, and all their bytes together.
    const uint64_t bytes = idSize_ + (g.variable ? kVariableLengthSize : g.recordLength);
    if ((!g.variable && g.recordLength > std::numeric_limits<uint32_t>::max()) ||
        (g.declaredCount != 0 && bytes > std::numeric_limits<uint64_t>::max() / g.declaredCount))
      return false;
    if (!AddChecked(declared, bytes * g.declaredCount, &declared)) return false;
    if (g.variable && !AddChecked(declared, g.recordLength, &declared)) return false;
  }
  reader_.reset(new (std::nothrow) m4DataStream());
  if (!reader_ || !reader_->OpenForRead(source.GetFile(), source.GetLink(fmt::kDgData)))
    return false;
  const uint64_t total = reader_->TotalLength();
  // The records must account for every byte but a stray tail shorter than an ID, which a pass
  // over the data ignores too. Declared sizes that only a hostile ##DZ length could make real
  // are refused here, before any room is made for them in the destination.
  return declared <= total && total - declared < idSize_ && total < kRegionLimit &&
         total <= DeliverableBytes(source.GetFile(), *reader_);
}

template <class Lookup>
SplitEnd DataGroupSplitter::Scan(const Lookup& lookup, std::vector<Target>& targets, PieceReader& pieces) {
  // Each record goes to its group's region: counted, then appended through the group's buffer.
  struct Sink {
    using Target = DataGroupSplitter::Target;
    const Lookup& lookup;
    std::vector<Target>& targets;
    SplitEnd failure = SplitEnd::kDone;

    // The group of a record ID, counted; null (failure set) for an undeclared ID or one record
    // too many.
    Target* Take(uint64_t id) {
      const uint32_t index = lookup(id);
      if (index == 0) {
        failure = SplitEnd::kUnknownRecordId;
        return nullptr;
      }
      Target* t = &targets[index - 1];
      if (t->seen == t->declared) {
        failure = SplitEnd::kCountMismatch;
        return nullptr;
      }
      ++t->seen;
      return t;
    }
    bool Data(Target* t, const uint8_t* p, uint64_t n, bool) {
      if (t->Append(p, n)) return true;
      failure = SplitEnd::kNoMemory;
      return false;
    }
  } sink{lookup, targets};
  RecordSplitter<Sink> split(idSize_, sink);

  const uint64_t total = reader_->TotalLength();
  for (uint64_t consumed = 0; consumed < total;) {
    uint32_t want = 0;
    const uint8_t* const chunk = pieces.Next(&want);
    if (chunk == nullptr) return SplitEnd::kUnreadable;
    consumed += want;
    if (split.Feed(chunk, chunk + want) != RecordSplitter<Sink>::Stop::kFed) return sink.failure;
  }
  // Bytes of an ID left over at the end are the stray tail that Open allowed.
  if (split.InRecord()) return SplitEnd::kShortRecord;
  for (const Target& t : targets)
    if (t.seen != t.declared) return SplitEnd::kCountMismatch;
  return SplitEnd::kDone;
}

SplitEnd DataGroupSplitter::Run(mDirectFile* destination) {
  if (!reader_ || destination == nullptr) return SplitEnd::kUnreadable;
  try {
    // Write buffers: the budget shared out in proportion to the regions' sizes, within bounds.
    uint64_t regionTotal = 0;
    for (const SplitGroup& g : groups_)
      if (!g.variable && g.sink == nullptr) regionTotal += g.region.End() - g.region.start;
    std::vector<Target> targets(groups_.size());
    for (size_t i = 0; i < groups_.size(); ++i) {
      const SplitGroup& g = groups_[i];
      targets[i].declared = g.declaredCount;
      if (g.variable) {
        targets[i].variable = true;
        continue;
      }
      targets[i].length = g.recordLength;
      if (g.sink != nullptr) {
        targets[i].sink = g.sink;
        continue;
      }
      const uint64_t regionBytes = g.region.End() - g.region.start;
      uint64_t size = settings_.fixedBuffer;
      if (size == 0)
        size = std::min(BufferShare(settings_.bufferBudget, regionBytes, regionTotal, settings_.minBuffer,
                                    settings_.maxBuffer),
                        regionBytes);
      targets[i].writer.Init(destination, g.region, size);
    }

    // The source is read a piece ahead on a second thread while this one splits and writes.
    reader_->Seek(0);
    auto pieces = std::make_unique<PieceReader>();
    if (!pieces->Start(reader_.get(), reader_->TotalLength(), settings_.readChunk, kSlack))
      return SplitEnd::kNoMemory;

    SplitEnd end;
    if (idSize_ <= 2) {
      // IDs of one or two bytes: a table indexed by the ID.
      std::vector<uint32_t> table(size_t{1} << (8 * idSize_), 0);
      for (size_t i = 0; i < groups_.size(); ++i)
        if (groups_[i].recordId < table.size())
          table[groups_[i].recordId] = static_cast<uint32_t>(i + 1);
      end = Scan([&table](uint64_t id) { return table[id]; }, targets, *pieces);
    } else {
      std::unordered_map<uint64_t, uint32_t> map;
      for (size_t i = 0; i < groups_.size(); ++i)
        map.emplace(groups_[i].recordId, static_cast<uint32_t>(i + 1));
      end = Scan(
          [&map](uint64_t id) {
            const auto it = map.find(id);
            return it == map.end() ? 0u : it->second;
          },
          targets, *pieces);
    }
    pieces.reset();  // the reading thread ends before the stream is released
    reader_->Release();
    if (end == SplitEnd::kNoMemory) {
      // Append also refuses bytes beyond the region, which counting records rules out; tell
      // the two apart.
      const bool memory = std::any_of(targets.begin(), targets.end(),
                                      [](const Target& t) { return t.NoMemory(); });
      return memory ? SplitEnd::kNoMemory : SplitEnd::kCountMismatch;
    }
    if (end != SplitEnd::kDone) return end;
    // Every compressed group's last block goes to the workers before any group waits for
    // its blocks, so that they are compressed side by side.
    for (Target& t : targets)
      if (t.sink != nullptr) t.sink->SubmitRest();
    for (Target& t : targets) {
      if (t.variable) continue;
      if (t.sink != nullptr ? !t.sink->Complete() : !t.writer.Finish())
        return t.NoMemory() ? SplitEnd::kNoMemory : SplitEnd::kWriteFailed;
    }
    return SplitEnd::kDone;
  } catch (const std::bad_alloc&) {
    return SplitEnd::kNoMemory;
  }
}

}  // namespace qm
