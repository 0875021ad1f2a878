// The operating-system layer: positioned file access, clocks, time zone, text and messages.
// POSIX and Win32 implement this one interface; nothing above it includes an OS header.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm::os {

// ---- Files -------------------------------------------------------------------------------

// An open file; kInvalidHandle when none.
using FileHandle = intptr_t;
constexpr FileHandle kInvalidHandle = -1;

enum class OpenMode {
  // Existing file, read and write; others may read, none may write.
  kReadWrite,
  // Create or truncate, read and write; others may read, none may write. A file already held
  // for writing by this library (here or in another process) is never truncated: the open fails.
  kCreateTruncate,
  // Existing file, read only, no lock taken: for inspecting a file another process may write.
  kReadOnlyShared,
  // Existing file, read only; others may read, none may write: the open fails while a writer
  // holds the file, and a writer cannot open or create it meanwhile. Works on read-only media.
  kReadOnlyLocked,
};

// Opens name (UTF-16, zero-terminated). Returns kInvalidHandle on failure.
FileHandle OpenFile(const char16_t* name, OpenMode mode);
void CloseFile(FileHandle h);

// Transfers exactly n bytes at absolute position pos. Partial transfers and interrupted calls
// are continued; end of file before n bytes fails a read. Returns false on any failure.
bool ReadAt(FileHandle h, uint64_t pos, uint32_t n, void* dst);
bool WriteAt(FileHandle h, uint64_t pos, uint32_t n, const void* src);

// Physical size of the file.
bool GetFileSize(FileHandle h, uint64_t* size);
// Sets the physical size (cuts or extends with zeros).
bool SetFileSize(FileHandle h, uint64_t size);
// Asks the file system for storage of n bytes at pos ahead of the writes that will fill them,
// without changing the file's size or content, so that those writes allocate nothing of
// their own. A hint only: where the file system cannot, nothing happens.
void ReserveStorage(FileHandle h, uint64_t pos, uint64_t n);
// Gives back storage reserved beyond the end of file (by this or an earlier writer that
// was killed); size and content stay as they are.
void ReleaseStorage(FileHandle h);
// Makes what was written to the file so far durable: it survives a power loss once this
// returns true. Only the data and what is needed to read it back (the size) are flushed.
bool SyncFile(FileHandle h);

bool RemoveFile(const char16_t* name);
// Renames from to to, replacing a file of that name (in one step where the system can).
bool RenameFile(const char16_t* from, const char16_t* to);
// True when a file (not a pattern) of that name exists.
bool FileExists(const char16_t* name);

// ---- Time --------------------------------------------------------------------------------

// Current UTC time as FILETIME (100 ns ticks since 1601-01-01), millisecond resolution.
uint64_t CurrentFileTime();

struct ZoneInfo {
  bool valid = false;        // false: zone information unavailable
  int32_t biasMin = 0;       // UTC minus local standard time, in minutes (Windows sign)
  int32_t daylightBiasMin = 0;  // added to biasMin while daylight-saving time is in force
  bool daylightNow = false;  // daylight-saving time is in force at the moment of the call
};
ZoneInfo CurrentZone();

// Whether daylight-saving time is in force at the given FILETIME instant in the current zone.
// Any conversion failure, and local years before 1970, answer false.
bool IsDaylightAt(uint64_t fileTime);

// Monotonic clock in ticks, and ticks per second.
int64_t MonotonicTicks();
int64_t MonotonicFrequency();

// ---- Text --------------------------------------------------------------------------------

// Host narrow text to UTF-16 (zero terminator not included in the result).
std::u16string NarrowToWide(const char* s);
// UTF-16 to host narrow text.
std::string WideToNarrow(const char16_t* s);

// Message strings handed to hosts: zero-terminated UTF-16 with a 4-byte byte count in front
// of the returned pointer. Released only by FreeMessage.
char16_t* AllocMessage(const char16_t* text);
void FreeMessage(char16_t* message);

// ---- Work --------------------------------------------------------------------------------

// Runs body(i) for every i in [first, last) on the calling thread and worker threads and
// returns when all are done.
void ParallelFor(uint32_t first, uint32_t last, const std::function<void(uint32_t)>& body);

// Worker threads that run submitted tasks, oldest first, while the submitting thread goes on.
// Tasks must not throw. Where no worker thread can be started, Submit runs the task itself.
// The destructor runs every task still queued, then ends the workers.
class TaskPool {
 public:
  // threads 0: one worker per hardware thread.
  explicit TaskPool(uint32_t threads = 0);
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;
  ~TaskPool();

  void Submit(std::function<void()> task);
  // The number of workers running (0: tasks run on the submitting thread).
  uint32_t Workers() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// ---- Test hooks --------------------------------------------------------------------------

// When set to n > 0, the n-th write or size change from now on ends the process at once
// (as a crash would) before it reaches the file. 0 disables it.
void SetCrashAfterWrites(uint64_t n);
// Number of writes and size changes made so far by this process.
uint64_t WriteCount();

// The write journal of the power-loss tests: while it is on, every successful write, size
// change and sync of every file is recorded in the order the process made them, so that
// a test can build the disk images a power loss could leave. Syncs are only recorded then,
// not passed to the disk.
struct JournalEntry {
  enum Kind { kWrite, kSize, kSync } kind = kWrite;
  FileHandle handle = kInvalidHandle;
  uint64_t position = 0;       // kWrite: where the bytes go; kSize: the new size
  std::vector<uint8_t> bytes;  // kWrite only
};
// Starts a new journal (dropping one that was not taken).
void StartWriteJournal();
// Ends the journal and returns what it recorded.
std::vector<JournalEntry> TakeWriteJournal();

// How the write or size change chosen by SetWriteFault fails.
enum class WriteFault {
  kNone,
  kFail,       // that one fails without touching the file
  kPartial,    // a write transfers the first half of its bytes, then fails (a size change fails)
  kFailOnward, // that one and every later one fail, as on a medium that stopped taking writes
};
// When set to n > 0, the n-th write or size change from now on fails as kind says; the
// failure is reported like the operating system's own (the call returns false). 0 or
// kNone disables it.
void SetWriteFault(uint64_t n, WriteFault kind);

}  // namespace qm::os
