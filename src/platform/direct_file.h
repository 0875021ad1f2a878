// mDirectFile: one open OS file with positioned exact transfers and an 8-aligned logical end.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"

class mDirectFile {
 public:
  mDirectFile() = default;
  mDirectFile(const mDirectFile&) = delete;
  mDirectFile& operator=(const mDirectFile&) = delete;
  ~mDirectFile();

  // Opens an existing file for reading and writing (others may read, none may write).
  bool OpenReadWrite(const char16_t* name);
  // Creates or truncates a file for reading and writing (same sharing).
  bool CreateTruncate(const char16_t* name);
  // Opens an existing file for reading only, without a lock.
  bool OpenReadOnly(const char16_t* name);
  // Opens an existing file for reading only; others may read, none may write (and the open
  // fails while a writer holds the file).
  bool OpenReadOnlyLocked(const char16_t* name);
  void Close();
  bool IsOpen() const { return handle_ != qm::os::kInvalidHandle; }

  bool ReadAt(uint64_t position, uint32_t count, void* destination);
  // From now on small reads are served from a window of the file read in one piece, so that
  // walking many small blocks costs a few system calls instead of two a block. Only for a
  // file nobody else writes while it is open; a write through this object drops the window.
  void CacheSmallReads();
  // From now on small writes that continue or overlap the ones before them are gathered in
  // memory and reach the file in one piece: before any other transfer or size change, at
  // FlushWrites and at Close. For a file whose intermediate states nobody needs (a copy
  // being made); the order in which bytes reach the file is kept.
  void CombineSmallWrites();
  // Writes what was gathered; false when that failed (also recorded as a write error).
  bool FlushWrites();
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
  // For a file opened read-only: takes the size the file has now as its end, since another
  // process may have written more since it was opened. False (nothing changed) when the file
  // is open for writing or its size cannot be read.
  bool RefreshEnd();
  uint64_t GetPosition() const { return position_; }

  // Writes what was gathered and makes everything written so far durable (a sync barrier:
  // what was written before it reaches the disk before anything written after it). False
  // when the system refused; also recorded as a write error.
  bool Sync();

  static bool RemoveFile(const char16_t* name);

  // Sticky record of a write or size change the OS refused since the last ClearWriteError.
  // Writers that do not examine each result ask it once at the end of an operation.
  bool HadWriteError() const { return writeFailed_; }
  void ClearWriteError() { writeFailed_ = false; }

  // Taking back an operation whose writes failed. MarkUndo starts the operation (and clears
  // the write error): from then on every write and cut first keeps in memory the bytes it
  // replaces below the size the file had at the mark, and after the first failed write or
  // size change every later one fails at once without touching the file, so that the file
  // never holds more of the operation than the writes before the failure. UndoToMark writes
  // the kept bytes back, newest first, and gives the file the size and logical end of the
  // mark: the file is then exactly as it was. False when that failed too (the file is then
  // as an interrupted operation leaves it). UndoToMark and DropUndoMark end the operation;
  // closing drops the mark.
  void MarkUndo();
  bool UndoToMark();
  void DropUndoMark();
  // Runs operation (a callable returning false on failure) under a mark: when it fails, or
  // one of its writes does, the file is put back. True when it succeeded and its writes stay.
  template <class Operation>
  bool AllOrNothing(Operation operation) {
    MarkUndo();
    if (operation() && !writeFailed_) {
      DropUndoMark();
      return true;
    }
    UndoToMark();
    return false;
  }

 private:
  bool OpenWith(const char16_t* name, qm::os::OpenMode mode);
  // Sets the size on disk, after the gathered writes; a refusal is recorded as a write error.
  bool SetPhysicalSize(uint64_t size);
  // Position, logical end and size after a write that ends at upTo.
  void NoteWritten(uint64_t upTo);
  // Every transfer to the OS that changes the file's bytes goes through here: refused after
  // a failure while marked, and what it replaces kept for UndoToMark.
  bool WriteToDisk(uint64_t position, uint32_t count, const void* source);
  // Keeps the bytes of [position, end) that exist below the mark's size; false when they
  // cannot be read (the change is then refused, since it could not be taken back).
  bool KeepForUndo(uint64_t position, uint64_t end);

  qm::os::FileHandle handle_ = qm::os::kInvalidHandle;
  uint64_t position_ = ~0ULL;
  uint64_t end_ = 0;
  uint64_t physical_ = 0;  // the file's size once gathered writes are written
  uint64_t diskSize_ = 0;  // the file's size on disk now
  bool writeFailed_ = false;
  bool writable_ = false;

  // The undo mark: the file's size and logical end then, and the bytes replaced since.
  struct Replaced {
    uint64_t position;
    std::vector<uint8_t> bytes;
  };
  bool marked_ = false;
  uint64_t markSize_ = 0;
  uint64_t markEnd_ = 0;
  std::vector<Replaced> replaced_;

  // The read window: kWindowSize bytes from windowStart_ (fewer at the end of file).
  static constexpr uint32_t kWindowSize = 64 * 1024;
  static constexpr uint32_t kSmallRead = 4096;
  bool ReadThroughWindow(uint64_t position, uint32_t count, void* destination);
  // Gathered writes: pendingLength_ bytes for pendingStart_ on.
  static constexpr uint32_t kCombineSize = 256 * 1024;
  static constexpr uint32_t kSmallWrite = 16 * 1024;
  std::unique_ptr<uint8_t[]> pending_;
  uint64_t pendingStart_ = 0;
  uint32_t pendingLength_ = 0;
  bool combineWrites_ = false;
  bool cacheReads_ = false;
  std::unique_ptr<uint8_t[]> window_;
  uint64_t windowStart_ = 0;
  uint32_t windowLength_ = 0;
};
