// mDirectFile: positioned exact transfers on one OS file and the 8-aligned logical end.
#include "file/direct_file.h"

#include <cstdint>

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
  writable_ = mode != qm::os::OpenMode::kReadOnlyShared;
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

void mDirectFile::Close() {
  if (handle_ != qm::os::kInvalidHandle && writable_) qm::os::ReleaseStorage(handle_);
  writable_ = false;
  if (handle_ != qm::os::kInvalidHandle) qm::os::CloseFile(handle_);
  handle_ = qm::os::kInvalidHandle;
  position_ = ~0ULL;
  end_ = 0;
  physical_ = 0;
}

bool mDirectFile::ReadAt(uint64_t position, uint32_t count, void* destination) {
  if (!IsOpen()) return false;
  position_ = position;
  if (!qm::os::ReadAt(handle_, position, count, destination)) return false;
  position_ = position + count;
  return true;
}

bool mDirectFile::WriteAt(uint64_t position, uint32_t count, const void* source) {
  if (!IsOpen()) return false;
  position_ = position;
  if (!qm::os::WriteAt(handle_, position, count, source)) {
    writeFailed_ = true;
    return false;
  }
  position_ = position + count;
  if (position_ > end_) end_ = position_;
  if (position_ > physical_) physical_ = position_;
  return true;
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
  if (!qm::os::SetFileSize(handle_, target)) {
    writeFailed_ = true;
    return false;
  }
  end_ = target;
  position_ = target;
  physical_ = target;
  return true;
}

bool mDirectFile::SetEnd(uint64_t newEnd) {
  if (!IsOpen()) return false;
  if (physical_ > newEnd) {
    if (!qm::os::SetFileSize(handle_, newEnd)) {
      writeFailed_ = true;
      return false;
    }
    physical_ = newEnd;
  }
  end_ = newEnd;
  position_ = newEnd;
  return true;
}

bool mDirectFile::RemoveFile(const char16_t* name) { return qm::os::RemoveFile(name); }
