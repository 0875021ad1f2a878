// Data blocks: reserve at the end of file, fill in memory, write in place, load whole.
#include "block/data_block.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/direct_file.h"

using namespace qm;

M4DataBlock::M4DataBlock(uint16_t type, uint32_t capacity) : m4Block(0, type), capacity_(capacity) {
  if (capacity != 0) buffer_.reset(new (std::nothrow) uint8_t[capacity]());
  if (buffer_) allocated_ = capacity;
}

const uint8_t* M4DataBlock::GetVarChunk(uint32_t index, uint64_t& size) {
  if (index != 0) return nullptr;
  size = dataLength_;
  return buffer_.get();
}

bool M4DataBlock::ResizeBuffer(uint32_t size) {
  std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[size]);
  if (!bigger) {
    buffer_.reset();
    allocated_ = 0;
    return false;
  }
  // Only bytes the old buffer really holds are kept (capacity may already be raised).
  const uint64_t keep = allocated_ < size ? allocated_ : size;
  if (buffer_ && keep != 0) std::memcpy(bigger.get(), buffer_.get(), keep);
  buffer_ = std::move(bigger);
  allocated_ = size;
  return true;
}

uint32_t M4DataBlock::GetFreeSpace() const {
  return static_cast<uint32_t>(capacity_) - static_cast<uint32_t>(dataLength_);
}

bool M4DataBlock::Append(uint32_t n, const void* source) {
  if (!buffer_ || GetFreeSpace() < n || dataLength_ + n > capacity_) return false;
  if (n != 0) std::memcpy(buffer_.get() + dataLength_, source, n);
  dataLength_ += n;
  return true;
}

bool M4DataBlock::FlushData(uint64_t from) {
  if (file_ == nullptr || position_ == 0) return false;
  if (from < dataLength_) {
    if (!buffer_ || dataLength_ - from > std::numeric_limits<uint32_t>::max()) return false;
    if (!file_->WriteAt(position_ + fmt::kBlockHeaderSize + from,
                        static_cast<uint32_t>(dataLength_ - from), buffer_.get() + from))
      return false;
  }
  return true;
}

bool M4DataBlock::Flush(uint64_t from) { return FlushData(from) && WriteHead() != 0; }

uint64_t M4DataBlock::ReserveAtEnd(mDirectFile* file, uint64_t from) {
  if (file_ != nullptr && position_ != 0 && from != kAlreadyWritten) Flush(from);
  dataLength_ = 0;
  heldFrom_ = 0;
  file_ = file;
  // The space is reserved at the logical end; the file grows as the block is written, so an
  // interrupted writer never leaves a reserved but unwritten tail behind.
  position_ = file_->AllocateAtEnd(fmt::kBlockHeaderSize + capacity_);
  file_->ReserveStorage(position_, fmt::kBlockHeaderSize + capacity_);
  return position_;
}

uint64_t M4DataBlock::MoveToEnd(mDirectFile* file) {
  const uint64_t length = dataLength_;
  if (length > allocated_ || !buffer_) return 0;
  if (heldFrom_ != 0 &&
      !file_->ReadAt(position_ + fmt::kBlockHeaderSize, static_cast<uint32_t>(heldFrom_), buffer_.get()))
    return 0;
  const uint64_t position = ReserveAtEnd(file, kAlreadyWritten);
  dataLength_ = length;
  return position;
}

bool M4DataBlock::ReadData(uint64_t position, uint64_t size) {
  buffer_.reset();
  capacity_ = dataLength_ = allocated_ = 0;
  if (size > std::numeric_limits<uint32_t>::max()) return false;
  if (size == 0) return true;
  buffer_.reset(new (std::nothrow) uint8_t[size]());
  if (!buffer_) return false;
  allocated_ = size;
  capacity_ = dataLength_ = size;
  return file_->ReadAt(position, static_cast<uint32_t>(size), buffer_.get());
}
