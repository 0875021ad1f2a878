// M4DataBlock (DT, SD, RD): raw record bytes in a fixed-capacity buffer, written in place.
#pragma once

#include <cstring>
#include <memory>

#include "block/block.h"

class M4DataBlock : public m4Block {
 public:
  // capacity 0 makes a block for reading (the factory); otherwise the buffer is allocated
  // zero-filled. A failed allocation leaves no buffer, and Append then fails.
  M4DataBlock(uint16_t type, uint32_t capacity);

  uint64_t GetVarSize() const override { return dataLength_; }
  const uint8_t* GetVarChunk(uint32_t index, uint64_t& size) override;
  bool ReadData(uint64_t position, uint64_t size) override;

  uint64_t GetDataLength() const { return dataLength_; }
  uint64_t GetCapacity() const { return capacity_; }
  void SetCapacity(uint64_t n) { capacity_ = n; }
  // Reallocates the buffer to size bytes keeping its bytes; false (and no buffer) on failure.
  bool ResizeBuffer(uint32_t size);
  uint32_t GetFreeSpace() const;
  // Copies n bytes behind the data; refuses (false, nothing copied) when they do not fit.
  bool Append(uint32_t n, const void* source);
  // Append without the checks, for callers that checked GetFreeSpace.
  void AppendUnchecked(uint32_t n, const void* source) {
    std::memcpy(buffer_.get() + dataLength_, source, n);
    dataLength_ += n;
  }
  // Direct filling for callers that checked GetFreeSpace: where the next byte goes, and
  // how many bytes were put there.
  uint8_t* WritePointer() { return buffer_.get() + dataLength_; }
  void Advance(uint64_t n) { dataLength_ += n; }
  const uint8_t* Data() const { return buffer_.get(); }
  // Takes the block at position, holding dataLength bytes, over for further appends without
  // loading its data: the buffer holds only what is appended from then on.
  void AttachAt(mDirectFile* file, uint64_t position, uint64_t dataLength) {
    file_ = file;
    position_ = position;
    dataLength_ = dataLength;
    heldFrom_ = dataLength;
  }
  // Ends the block's life where it stands and starts it anew at the aligned end of file with
  // the same bytes, taken from the buffer (those before an AttachAt are read from the old
  // place). Returns the new position, or 0 when the old bytes could not be read.
  uint64_t MoveToEnd(mDirectFile* file);

  // Writes the data bytes from offset `from` on, then the header with the current length:
  // the length on disk never covers bytes that are not written yet.
  bool Flush(uint64_t from);
  // Writes the data bytes from offset `from` on, without the header.
  bool FlushData(uint64_t from);
  // Passed to ReserveAtEnd when the block's bytes are on disk already.
  static constexpr uint64_t kAlreadyWritten = ~uint64_t{0};
  // Ends the block's current life (writing it when it was placed, from offset `from`) and
  // starts a new, empty block at the aligned end of file, reserving header + capacity
  // bytes there. Returns the new position.
  uint64_t ReserveAtEnd(mDirectFile* file, uint64_t from = 0);

 private:
  uint64_t capacity_;
  uint64_t dataLength_ = 0;
  uint64_t heldFrom_ = 0;   // the buffer holds the data from this offset on
  uint64_t allocated_ = 0;  // bytes the buffer really holds
  std::unique_ptr<uint8_t[]> buffer_;
};

class M4DTBlock : public M4DataBlock {
 public:
  explicit M4DTBlock(uint32_t capacity = 0) : M4DataBlock(qm::fmt::kDT, capacity) {}
};
class M4SDBlock : public M4DataBlock {
 public:
  explicit M4SDBlock(uint32_t capacity = 0) : M4DataBlock(qm::fmt::kSD, capacity) {}
};
class M4RDBlock : public M4DataBlock {
 public:
  explicit M4RDBlock(uint32_t capacity = 0) : M4DataBlock(qm::fmt::kRD, capacity) {}
};
