// mDirectFile: one open OS file with positioned exact transfers and an 8-aligned logical end.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class mDirectFile {
 public:
  mDirectFile() = default;
  mDirectFile(const mDirectFile&) = delete;
  mDirectFile& operator=(const mDirectFile&) = delete;
  virtual ~mDirectFile();

  // Opens an existing file for reading and writing (others may read, none may write).
  bool OpenReadWrite(const char16_t* name);
  // Creates or truncates a file for reading and writing (same sharing).
  bool CreateTruncate(const char16_t* name);
  // Opens an existing file for reading only, without a lock.
  bool OpenReadOnly(const char16_t* name);
  virtual void Close();
  bool IsOpen() const { return handle_ != qm::os::kInvalidHandle; }

  bool ReadAt(uint64_t position, uint32_t count, void* destination);
  bool WriteAt(uint64_t position, uint32_t count, const void* source);

  // Reserves size bytes at the logical end rounded up to 8; returns that position.
  // The file is not extended.
  uint64_t AllocateAtEnd(uint64_t size);
  // Sets the physical end of file to its current physical end plus distance; end and
  // position become the new physical end. Returns false when the size could not be set.
  bool ResizeFromEnd(int64_t distance);

  // Asks for storage of [position, position + size) ahead of the writes that fill it; size
  // and content of the file stay as they are. What is left unused beyond the end of file
  // is given back when a writer closes the file (one that was killed leaves it allocated
  // until the file is next opened for writing and closed, or cut).
  void ReserveStorage(uint64_t position, uint64_t size);

  // Moves the logical end to newEnd (reserving or releasing space at the end); a file that
  // is physically longer is cut there. False when the size could not be set.
  bool SetEnd(uint64_t newEnd);
  uint64_t GetEnd() const { return end_; }
  uint64_t GetPosition() const { return position_; }

  static bool RemoveFile(const char16_t* name);

  // Sticky record of a write or size change the OS refused since the last ClearWriteError.
  // Writers that do not examine each result ask it once at the end of an operation.
  bool HadWriteError() const { return writeFailed_; }
  void ClearWriteError() { writeFailed_ = false; }

 private:
  bool OpenWith(const char16_t* name, qm::os::OpenMode mode);

  qm::os::FileHandle handle_ = qm::os::kInvalidHandle;
  uint64_t position_ = ~0ULL;
  uint64_t end_ = 0;
  uint64_t physical_ = 0;  // the file's size on disk
  bool writeFailed_ = false;
  bool writable_ = false;
};
