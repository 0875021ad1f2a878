// Compressed records of sorted groups: ##DZ blocks made on worker threads, listed in ##DL
// blocks behind an ##HL.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "block/format.h"
#include "block/list_blocks.h"
#include "platform/platform.h"
#include "sort/dz_deflate.h"
#include "stream/data_stream.h"

class M4DGBlock;
class mDirectFile;

namespace qm {

struct CompressSettings {
  int level = kDefaultCompressLevel;
  uint32_t blockLimit = fmt::kDataBlockCapacity;  // original bytes of a block at most
  uint32_t listEntries = 1024;                     // blocks listed by one ##DL at most
  uint32_t workers = 0;                            // compressing threads; 0: one per core
};

// Compresses blocks on worker threads and writes each finished ##DZ block at the end of the
// destination, in the order the blocks were handed over: the copy's bytes do not depend on
// the number of threads or their timing. At most two blocks per worker (and one more) are in
// flight; handing over one more first waits for the oldest and writes it. Blocks are written
// on the thread that hands them over or drains the queue. Nothing else may be placed in the
// destination between a Submit and the Drain that writes it.
class DZBlockQueue {
 public:
  DZBlockQueue(mDirectFile* destination, const CompressSettings& settings);
  DZBlockQueue(const DZBlockQueue&) = delete;
  DZBlockQueue& operator=(const DZBlockQueue&) = delete;
  // Waits for the blocks in flight; writes none of them.
  ~DZBlockQueue();

  const CompressSettings& Settings() const { return settings_; }
  // An empty buffer for a block of size bytes: one of a block compressed before when one of
  // about that capacity is free.
  std::vector<uint8_t> TakeBuffer(uint64_t size);
  // Hands a block of original data over; once it is written, its position is appended to
  // *positions. zipType 1 transposes with `columns` columns first.
  void Submit(std::vector<uint8_t> data, uint8_t zipType, uint32_t columns,
              std::vector<uint64_t>* positions);
  // Writes every block handed over. False when a block could not be made or written (also
  // an earlier one: the failure stays until Discard).
  bool Drain();
  // Waits for the blocks in flight and drops them, and forgets a failure: for a copy whose
  // data is cut off again.
  void Discard();
  bool Ok() const { return !failed_; }

 private:
  struct Job {
    std::vector<uint8_t> data;   // original bytes; handed back to the buffer pool once used
    std::vector<uint8_t> block;  // the ##DZ block
    uint8_t zipType = 0;
    uint32_t columns = 0;
    std::vector<uint64_t>* positions = nullptr;
    bool done = false;
    bool ok = false;
  };
  void Compress(Job* job);
  // Waits until the oldest job is compressed, then writes and removes it.
  void WriteOldest();

  mDirectFile* file_;
  const CompressSettings settings_;
  size_t maxInFlight_ = 1;
  bool failed_ = false;
  std::deque<std::unique_ptr<Job>> jobs_;  // oldest first; touched by the owning thread only
  std::mutex mutex_;                       // guards the jobs' done/ok, the pools below
  std::condition_variable finished_;
  std::vector<std::unique_ptr<BlockDeflater>> deflaters_;  // free ones
  std::vector<std::vector<uint8_t>> buffers_;              // free ones
  os::TaskPool pool_;  // last: its workers end before the members they use
};

// The records of one sorted group, cut into blocks of whole records, each compressed by the
// queue; Finish lists the blocks in ##DL blocks behind an ##HL and links the data group to
// it. A group without records gets no data (the data link stays 0). As an appending stream,
// it takes the records of the group-by-group copy through WriteBytes.
class DZGroupWriter : public m4DataStream {
 public:
  // recordLength: the group's record bytes; blockShare: the original bytes this group may
  // buffer (at least one record, at most the block limit).
  DZGroupWriter(DZBlockQueue* queue, uint64_t recordLength, uint64_t blockShare);

  // Where the ##HL goes: ReserveListHead places it now (flags 0), behind what is placed so
  // far, and returns its position for the data group's link; without a reservation, Finish
  // places it at the end and links it from target.
  uint64_t ReserveListHead(mDirectFile* file);
  void SetTarget(M4DGBlock* target) { target_ = target; }

  // Appends n bytes; false when a buffer cannot be allocated.
  bool Append(const uint8_t* p, uint64_t n) {
    if (n <= room_) {
      std::memcpy(buffer_.data() + filled_, p, n);
      filled_ += n;
      room_ -= n;
      return true;
    }
    return AppendSlow(p, n);
  }
  bool WriteBytes(uint32_t n, const void* source) override {
    return Append(static_cast<const uint8_t*>(source), n);
  }
  // Hands the partly filled last block to the queue.
  void SubmitRest();
  // Submits the rest, drains the queue, writes the lists and the link. Complete tells the
  // outcome; Finish is the same for the appending-stream interface.
  bool Complete();
  void Finish() override { Complete(); }
  bool NoMemory() const { return noMemory_; }

 private:
  bool AppendSlow(const uint8_t* p, uint64_t n);
  // Writes the ##DL chain; returns the first list's position, 0 on failure.
  uint64_t WriteLists(mDirectFile* file);

  DZBlockQueue* queue_;
  uint64_t recordLength_;
  uint64_t blockSize_;
  uint8_t zipType_;
  std::vector<uint8_t> buffer_;
  uint64_t filled_ = 0;
  uint64_t room_ = 0;
  bool noMemory_ = false;
  std::vector<uint64_t> positions_;  // of the group's ##DZ blocks, in order
  std::unique_ptr<M4HLBlock> listHead_;
  M4DGBlock* target_ = nullptr;
};

// A group's part of a budget of buffer bytes shared among groups in proportion to their data
// (part of all bytes), kept between least and most.
uint64_t BufferShare(uint64_t budget, uint64_t part, uint64_t all, uint64_t least, uint64_t most);

// The block share of a group of groupBytes original bytes among groups of allBytes: the
// groups of a data group share budget bytes of buffers in proportion to their data, each
// between one record (or minimum bytes) and the block limit, cut to whole records.
uint64_t CompressedBlockShare(uint64_t groupBytes, uint64_t allBytes, uint64_t recordLength,
                              uint64_t budget, uint64_t minimum, uint64_t blockLimit);

}  // namespace qm
