// m4DataStream / m4DataStreamEx: a data group's record bytes as one stream, read or appended.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "block/list_blocks.h"
#include "stream/dz_inflate.h"
#include "stream/torn_record.h"

#include "block/data_block.h"

class CycleCounterTable;
class mDirectFile;
class M4DGBlock;

// One data block of the stream: where its bytes start in the file and how many there are
// (for ##DZ: the uncompressed length).
struct Fragment {
  uint64_t position = 0;
  uint64_t length = 0;
  std::unique_ptr<uint8_t[]> inflated;  // ##DZ only: made on first read, freed when left
  uint32_t type = 0;
};

// Reading side: resolves HL, DL, DT, SD, RD, SR and DZ blocks into fragments and reads
// across them.
class m4DataStream {
 public:
  m4DataStream() = default;
  m4DataStream(const m4DataStream&) = delete;
  m4DataStream& operator=(const m4DataStream&) = delete;
  virtual ~m4DataStream();

  // Appending streams override these; a reading stream writes nothing.
  virtual bool WriteBytes(uint32_t n, const void* source);
  virtual void Finish() {}
  virtual void Release();

  bool IsReady() const { return ready_; }
  // The data ends early: a link of its lists loops back or does not lead to a readable block,
  // a listed block runs past the end of the file, or is shorter than the blocks behind it. The stream holds the data up to
  // there (the state a writer interrupted at any point leaves readable).
  bool Truncated() const { return truncated_; }
  // Builds the fragment list of the data at dataLink. IsReady tells whether it succeeded.
  bool OpenForRead(mDirectFile* file, uint64_t dataLink);
  // Moves to offset (clamped to the total length); returns the new offset.
  uint64_t Seek(uint64_t offset);
  // Reads up to n bytes; fewer means the end of the data, a failed read or a failed inflation.
  int32_t ReadBytes(uint32_t n, void* destination);

  // Reads n bytes at offset and leaves the stream where it was; false when they cannot be read.
  bool PeekAt(uint64_t offset, uint32_t n, void* destination);
  // Where the data's bytes lie in the file (not Plain when a block is compressed).
  qm::DataPlacement Placement() const;

  uint64_t TotalLength() const { return totalLength_; }
  uint64_t Offset() const { return offset_; }
  uint16_t BlockType() const { return blockType_; }
  const std::vector<Fragment>& Fragments() const { return fragments_; }

 protected:
  bool ready_ = false;
  bool writing_ = false;
  uint16_t blockType_ = 0;

 private:
  bool BuildFragments(uint64_t dataLink);
  // What a listed block does to the data: adds to it (or is empty), adds its bytes inside the
  // file and ends it, ends it, or makes the layout unreadable (a block type that does not match
  // the blocks before).
  enum class Listed { kAdded, kAddedLast, kDataEnds, kBadLayout };
  Listed AddListedBlock(const M4DLBlock& list, uint32_t i, uint64_t equalLength, bool checkEqual);
  bool AddFragment(uint64_t position, uint64_t length, uint16_t type);
  bool Inflate(Fragment& fragment);

  mDirectFile* readFile_ = nullptr;
  uint64_t totalLength_ = 0;
  uint64_t offset_ = 0;
  uint64_t fragmentOffset_ = 0;
  bool shortBlockSeen_ = false;  // a listed block shorter than its list's equal length
  bool truncated_ = false;
  qm::InflateBuffers buffers_;
  std::vector<Fragment> fragments_;
  size_t current_ = 0;
};

// Appending side: adds bytes to the data group's chain of fixed-capacity DT blocks listed in
// DL blocks, continuing (in place, or by moving it) the last block of earlier data. The file
// is consistent after Finish. Writes are ordered so that nothing on disk ever links to, or
// states a length over, bytes that are not written yet, and cycle counts are written last.
class m4DataStreamEx : public m4DataStream {
 public:
  // Opens on dg, in the file dg belongs to, with blocks of `capacity` bytes listed
  // `maxEntries` to a list; every Finish writes the counts of `counters` (the table of the
  // file's channel groups, which must outlive the stream). When the existing data cannot be
  // continued without breaking its layout (an HL, a list of another equal length or with
  // more entries, a last block that is not a DT or cannot be read, a chain that cannot be
  // followed), the stream is not ready and writes nothing.
  m4DataStreamEx(M4DGBlock* dg, CycleCounterTable& counters, uint32_t capacity, uint32_t maxEntries,
                 uint16_t type);
  ~m4DataStreamEx() override;

  bool WriteBytes(uint32_t n, const void* source) override;
  // Appends one record: idSize ID bytes, then size data bytes.
  bool WriteRecord(uint32_t idSize, const void* id, uint32_t size, const void* data);
  // Appends count records with the same 2-byte ID, the data of record i at rowAt(i): the
  // records that fit the current block are copied in one tight loop.
  template <class RowAt>
  void WriteRecords(const uint8_t id[2], uint32_t size, uint64_t count, RowAt rowAt);
  void Finish() override;
  // With a barrier, the next Finish (only that one) syncs the file after the records are
  // written and before the block length, list entries and cycle counts that cover them.
  void SetSyncBarrier(bool on) { syncBarrier_ = on; }
  // Makes a finished stream ready for more bytes, so that a writer can keep one stream
  // across calls instead of reopening the data each time. The result on disk is the same as
  // a new stream's: the last block is continued in place while it still ends the file and
  // has room, and otherwise its bytes move to a new block at the end. False when the
  // stream cannot continue.
  bool Resume();
  void Release() override;
  // Forgets the stream without writing anything more (its release finishes nothing): for a
  // writer that takes back what the stream wrote.
  void Abandon() {
    writing_ = false;
    ready_ = false;
  }

 private:
  bool OpenOnList(uint64_t listPosition, uint32_t maxEntries);
  bool OpenOnSingleBlock(uint64_t blockPosition);
  // Reads the header of the block at position: true, with its data length, when it is a DT
  // without links that lies inside the file and holds at most capacity bytes.
  bool ContinuableBlock(uint64_t position, uint64_t* dataLength);
  bool TakeOverLastBlock(uint64_t lastPosition, bool mayGrow);
  bool ListHasRoom(const M4DLBlock& list);
  bool GapIsUnused(uint64_t from, uint64_t to);
  // Writes the current list (if changed), then the link that leads to it.
  void CommitList();

  mDirectFile* file_ = nullptr;
  CycleCounterTable& counters_;
  M4DGBlock* dg_ = nullptr;
  uint32_t capacity_ = 0;
  std::unique_ptr<M4DataBlock> dataBlock_;
  std::unique_ptr<M4DLBlock> list_;
  uint64_t flushed_ = 0;        // bytes of the current block already on disk
  bool listDirty_ = false;      // the list in memory differs from the list on disk
  uint64_t predecessorList_ = 0;  // the list whose next link must lead to list_, 0: the DG
  bool predecessorLinked_ = true; // that link already leads to list_ on disk
  uint64_t finishedEnd_ = 0;      // the file's end after the last Finish
  bool syncBarrier_ = false;
};

namespace qm::detail {

// Copies n records (a 2-byte ID, then size value bytes from rowAt(first + k)) to dst. Size is
// a compile-time constant for the common record widths, so that each copy is a few moves
// instead of a library call.
template <uint32_t kSize, class RowAt>
inline void CopyRecords(uint8_t* dst, const uint8_t id[2], uint32_t size, uint64_t first, uint64_t n,
                        RowAt& rowAt) {
  const uint32_t width = kSize != 0 ? kSize : size;
  for (uint64_t k = 0; k < n; ++k) {
    std::memcpy(dst, id, 2);
    std::memcpy(dst + 2, rowAt(first + k), kSize != 0 ? kSize : width);
    dst += 2 + width;
  }
}

}  // namespace qm::detail

template <class RowAt>
void m4DataStreamEx::WriteRecords(const uint8_t id[2], uint32_t size, uint64_t count, RowAt rowAt) {
  if (!ready_) return;
  const uint64_t recordSize = uint64_t{2} + size;
  for (uint64_t i = 0; i < count;) {
    const uint64_t fit = dataBlock_->GetFreeSpace() / recordSize;
    if (fit == 0) {
      // The record crosses into the next block.
      WriteRecord(2, id, size, rowAt(i));
      ++i;
      continue;
    }
    const uint64_t n = fit < count - i ? fit : count - i;
    uint8_t* dst = dataBlock_->WritePointer();
    switch (size) {
      case 8: qm::detail::CopyRecords<8>(dst, id, size, i, n, rowAt); break;
      case 16: qm::detail::CopyRecords<16>(dst, id, size, i, n, rowAt); break;
      case 24: qm::detail::CopyRecords<24>(dst, id, size, i, n, rowAt); break;
      case 32: qm::detail::CopyRecords<32>(dst, id, size, i, n, rowAt); break;
      case 40: qm::detail::CopyRecords<40>(dst, id, size, i, n, rowAt); break;
      case 48: qm::detail::CopyRecords<48>(dst, id, size, i, n, rowAt); break;
      case 56: qm::detail::CopyRecords<56>(dst, id, size, i, n, rowAt); break;
      case 64: qm::detail::CopyRecords<64>(dst, id, size, i, n, rowAt); break;
      default: qm::detail::CopyRecords<0>(dst, id, size, i, n, rowAt); break;
    }
    i += n;
    dataBlock_->Advance(n * recordSize);
  }
}
