// mDirectFile: positioned exact transfers on one OS file and the 8-aligned logical end.
#include "platform/direct_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "platform/platform.h"

mDirectFile::~mDirectFile() { mDirectFile::Close(); }

bool mDirectFile::OpenWith(const char16_t* name, qm::os::OpenMode mode) {
  const qm::os::FileHandle opened = qm::os::OpenFile(name, mode);
  // The file held so far is closed whatever the outcome: a failed open leaves no file.
  mDirectFile::Close();
  handle_ = opened;
  if (handle_ == qm::os::kInvalidHandle) return false;
  uint64_t size = 0;
  if (!qm::os::GetFileSize(handle_, &size)) {
    mDirectFile::Close();
    return false;
  }
  end_ = size;
  physical_ = size;
  diskSize_ = size;
  writable_ = mode == qm::os::OpenMode::kReadWrite || mode == qm::os::OpenMode::kCreateTruncate;
  return true;
}

bool mDirectFile::OpenReadWrite(const char16_t* name) {
  return OpenWith(name, qm::os::OpenMode::kReadWrite);
}

bool mDirectFile::CreateTruncate(const char16_t* name) {
  return OpenWith(name, qm::os::OpenMode::kCreateTruncate);
}

bool mDirectFile::OpenReadOnly(const char16_t* name) {
  return OpenWith(name, qm::os::OpenMode::kReadOnlyShared);
}

bool mDirectFile::OpenReadOnlyLocked(const char16_t* name) {
  return OpenWith(name, qm::os::OpenMode::kReadOnlyLocked);
}

void mDirectFile::Close() {
  FlushWrites();
  combineWrites_ = false;
  if (handle_ != qm::os::kInvalidHandle && writable_) qm::os::ReleaseStorage(handle_);
  writable_ = false;
  cacheReads_ = false;
  windowLength_ = 0;
  if (handle_ != qm::os::kInvalidHandle) qm::os::CloseFile(handle_);
  handle_ = qm::os::kInvalidHandle;
  position_ = ~0ULL;
  end_ = 0;
  physical_ = 0;
  diskSize_ = 0;
  DropUndoMark();
}

bool mDirectFile::ReadAt(uint64_t position, uint32_t count, void* destination) {
  if (!IsOpen() || !FlushWrites()) return false;
  if (cacheReads_ && count != 0 && count <= kSmallRead && ReadThroughWindow(position, count, destination)) {
    position_ = position + count;
    return true;
  }
  position_ = position;
  if (!qm::os::ReadAt(handle_, position, count, destination)) return false;
  position_ = position + count;
  return true;
}

void mDirectFile::CacheSmallReads() {
  if (!window_) window_.reset(new (std::nothrow) uint8_t[kWindowSize]);
  cacheReads_ = window_ != nullptr;
  windowLength_ = 0;
}

bool mDirectFile::ReadThroughWindow(uint64_t position, uint32_t count, void* destination) {
  const bool inWindow = position >= windowStart_ && position - windowStart_ <= windowLength_ &&
                        count <= windowLength_ - (position - windowStart_);
  if (!inWindow) {
    // The window starts at the page of the read and ends at the end of file at the latest;
    // a read it cannot cover goes to the file directly (and fails there if it must).
    const uint64_t start = position & ~uint64_t{kSmallRead - 1};
    if (start >= physical_) return false;
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(kWindowSize, physical_ - start));
    windowLength_ = 0;
    if (position + count > start + length || !qm::os::ReadAt(handle_, start, length, window_.get()))
      return false;
    windowStart_ = start;
    windowLength_ = length;
  }
  std::memcpy(destination, window_.get() + (position - windowStart_), count);
  return true;
}

void mDirectFile::CombineSmallWrites() {
  if (!pending_) pending_.reset(new (std::nothrow) uint8_t[kCombineSize]);
  combineWrites_ = pending_ != nullptr;
}

bool mDirectFile::FlushWrites() {
  if (pendingLength_ == 0) return true;
  const uint32_t n = pendingLength_;
  pendingLength_ = 0;
  if (!WriteToDisk(pendingStart_, n, pending_.get())) return false;
  diskSize_ = std::max(diskSize_, pendingStart_ + n);
  return true;
}

bool mDirectFile::WriteAt(uint64_t position, uint32_t count, const void* source) {
  if (!IsOpen()) return false;
  windowLength_ = 0;
  if (combineWrites_ && count <= kSmallWrite && count != 0) {
    // Gathered when it starts inside or behind what is gathered and still fits. A gap in
    // front of it is allowed where the file has never had bytes: those read as zeros whether
    // the file is extended over them or the zeros are written.
    const uint64_t pendingEnd = pendingStart_ + pendingLength_;
    const bool joins = pendingLength_ != 0 && position >= pendingStart_ &&
                       (position <= pendingEnd || pendingEnd >= diskSize_) &&
                       position - pendingStart_ + count <= kCombineSize;
    if (!joins) {
      if (!FlushWrites()) return false;
      pendingStart_ = position;
    }
    const auto offset = static_cast<uint32_t>(position - pendingStart_);
    if (offset > pendingLength_) std::memset(pending_.get() + pendingLength_, 0, offset - pendingLength_);
    std::memcpy(pending_.get() + offset, source, count);
    pendingLength_ = std::max(pendingLength_, offset + count);
    NoteWritten(position + count);
    return true;
  }
  if (!FlushWrites()) return false;
  position_ = position;
  if (!WriteToDisk(position, count, source)) return false;
  NoteWritten(position + count);
  diskSize_ = std::max(diskSize_, position_);
  return true;
}

void mDirectFile::NoteWritten(uint64_t upTo) {
  position_ = upTo;
  end_ = std::max(end_, upTo);
  physical_ = std::max(physical_, upTo);
}

uint64_t mDirectFile::AllocateAtEnd(uint64_t size) {
  // The gap between the old end and the aligned position is never written.
  const uint64_t aligned = (end_ + 7) & ~uint64_t{7};
  end_ = aligned + size;
  return aligned;
}

void mDirectFile::ReserveStorage(uint64_t position, uint64_t size) {
  if (!IsOpen()) return;
  qm::os::ReserveStorage(handle_, position, size);
}

bool mDirectFile::ResizeFromEnd(int64_t distance) {
  // The physical size is tracked from the open and every transfer and size change, since
  // this object holds the only writer (others may only read).
  if (!IsOpen()) return false;
  const uint64_t size = physical_;
  uint64_t target;
  if (distance < 0) {
    const uint64_t cut = static_cast<uint64_t>(-(distance + 1)) + 1;  // |distance| without overflow
    if (cut > size) return false;
    target = size - cut;
  } else {
    target = size + static_cast<uint64_t>(distance);
    if (target < size) return false;
  }
  if (!SetPhysicalSize(target)) return false;
  end_ = target;
  position_ = target;
  return true;
}

bool mDirectFile::SetEnd(uint64_t newEnd) {
  if (!IsOpen()) return false;
  if (physical_ > newEnd && !SetPhysicalSize(newEnd)) return false;
  end_ = newEnd;
  position_ = newEnd;
  return true;
}

bool mDirectFile::SetPhysicalSize(uint64_t size) {
  windowLength_ = 0;
  if (!FlushWrites()) return false;
  // A cut below the mark's size is a change of those bytes like a write.
  if ((marked_ && (writeFailed_ || !KeepForUndo(size, diskSize_))) || !qm::os::SetFileSize(handle_, size)) {
    writeFailed_ = true;
    return false;
  }
  physical_ = size;
  diskSize_ = size;
  return true;
}

bool mDirectFile::Sync() {
  if (!IsOpen()) return false;
  if (!FlushWrites() || !qm::os::SyncFile(handle_)) {
    writeFailed_ = true;
    return false;
  }
  return true;
}

bool mDirectFile::RefreshEnd() {
  uint64_t size = 0;
  if (!IsOpen() || writable_ || !qm::os::GetFileSize(handle_, &size)) return false;
  end_ = physical_ = diskSize_ = size;
  return true;
}

bool mDirectFile::RemoveFile(const char16_t* name) { return qm::os::RemoveFile(name); }

bool mDirectFile::WriteToDisk(uint64_t position, uint32_t count, const void* source) {
  if ((marked_ && (writeFailed_ || !KeepForUndo(position, position + count))) ||
      !qm::os::WriteAt(handle_, position, count, source)) {
    writeFailed_ = true;
    return false;
  }
  return true;
}

bool mDirectFile::KeepForUndo(uint64_t position, uint64_t end) {
  // Bytes at or beyond the mark's size need no keeping: the undo cuts the file there. Nor
  // do bytes a cut of this operation removed: that cut kept them already.
  end = std::min({end, markSize_, diskSize_});
  if (position >= end) return true;
  if (end - position > std::numeric_limits<uint32_t>::max()) return false;
  Replaced kept{position, std::vector<uint8_t>(static_cast<size_t>(end - position))};
  if (!qm::os::ReadAt(handle_, position, static_cast<uint32_t>(kept.bytes.size()), kept.bytes.data()))
    return false;
  replaced_.push_back(std::move(kept));
  return true;
}

void mDirectFile::MarkUndo() {
  // Gathered writes belong to the state the mark keeps.
  const bool flushed = FlushWrites();
  replaced_.clear();
  marked_ = IsOpen();
  markSize_ = diskSize_;
  markEnd_ = end_;
  writeFailed_ = !flushed;
}

bool mDirectFile::UndoToMark() {
  if (!marked_) return false;
  marked_ = false;
  pendingLength_ = 0;  // what the operation gathered never reaches the file
  windowLength_ = 0;
  bool ok = true;
  for (auto r = replaced_.rbegin(); ok && r != replaced_.rend(); ++r)
    ok = qm::os::WriteAt(handle_, r->position, static_cast<uint32_t>(r->bytes.size()), r->bytes.data());
  replaced_.clear();
  // The size on disk, not the one tracked: a failed write may have extended the file.
  uint64_t size = 0;
  ok = ok && qm::os::GetFileSize(handle_, &size) && (size == markSize_ || qm::os::SetFileSize(handle_, markSize_));
  if (!ok) {
    writeFailed_ = true;
    if (qm::os::GetFileSize(handle_, &size)) physical_ = diskSize_ = end_ = size;
    return false;
  }
  physical_ = diskSize_ = markSize_;
  end_ = markEnd_;
  position_ = markSize_;
  return true;
}

void mDirectFile::DropUndoMark() {
  marked_ = false;
  replaced_.clear();
}
