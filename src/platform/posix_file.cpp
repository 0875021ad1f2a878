// POSIX files: positioned exact transfers, an exclusive writer lock, and the write-count hooks.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/write_counter.h"

namespace qm::os {
namespace {

// The largest position or size an off_t can express.
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);

int ToFd(FileHandle h) { return static_cast<int>(h); }

}  // namespace

FileHandle OpenFile(const char16_t* name, OpenMode mode) {
  if (name == nullptr) return kInvalidHandle;
  const std::string path = WideToNarrow(name);

  int flags = O_CLOEXEC;
  bool lock = true;
  switch (mode) {
    case OpenMode::kReadWrite:
      flags |= O_RDWR;
      break;
    case OpenMode::kCreateTruncate:
      // No O_TRUNC: the file is cut only after the lock shows nobody else is writing it.
      flags |= O_RDWR | O_CREAT;
      break;
    case OpenMode::kReadOnlyShared:
      flags |= O_RDONLY;
      lock = false;
      break;
    case OpenMode::kReadOnlyLocked:
      flags |= O_RDONLY;
      break;
  }

  int fd;
  do {
    fd = open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidHandle;

  // Only regular files are data files: a directory or device is refused here, not later.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return kInvalidHandle;
  }

  // "Others may read, none may write": every writer of this library holds an exclusive lock,
  // readers take none. flock locks belong to the open file description, so a second writer
  // in the same process conflicts as well.
  // A locked reader takes a shared lock: other readers too, writers not. flock needs no write
  // access, so this works on read-only media.
  const int lockMode = mode == OpenMode::kReadOnlyLocked ? LOCK_SH : LOCK_EX;
  if (lock && flock(fd, lockMode | LOCK_NB) != 0) {
    close(fd);
    return kInvalidHandle;
  }
  // An empty file is left as it is: truncating it anyway makes some file systems flush
  // everything written later when the file is closed.
  if (mode == OpenMode::kCreateTruncate && (fstat(fd, &st) != 0 || (st.st_size != 0 && ftruncate(fd, 0) != 0))) {
    close(fd);
    return kInvalidHandle;
  }
  return static_cast<FileHandle>(fd);
}

void CloseFile(FileHandle h) {
  // The lock goes with the descriptor. close is not retried on EINTR: the descriptor is
  // released either way on Linux.
  if (h != kInvalidHandle) close(ToFd(h));
}

bool ReadAt(FileHandle h, uint64_t pos, uint32_t n, void* dst) {
  if (h == kInvalidHandle || (n != 0 && dst == nullptr)) return false;
  if (pos > kMaxOffset || n > kMaxOffset - pos) return false;
  auto* out = static_cast<uint8_t*>(dst);
  uint32_t done = 0;
  while (done < n) {
    const ssize_t got = pread(ToFd(h), out + done, n - done, static_cast<off_t>(pos + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return false;  // end of file before n bytes
    done += static_cast<uint32_t>(got);
  }
  return true;
}

bool WriteAt(FileHandle h, uint64_t pos, uint32_t n, const void* src) {
  const WritePermit permit = CountWrite(n);
  if (h == kInvalidHandle || (n != 0 && src == nullptr)) return false;
  if (pos > kMaxOffset || n > kMaxOffset - pos) return false;
  const auto* in = static_cast<const uint8_t*>(src);
  uint32_t done = 0;
  while (done < permit.bytes) {
    const ssize_t put = pwrite(ToFd(h), in + done, permit.bytes - done, static_cast<off_t>(pos + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;  // no progress: treat as a failure rather than spin
    done += static_cast<uint32_t>(put);
  }
  if (permit.fail) return false;
  JournalWrite(h, pos, n, src);
  return true;
}

bool GetFileSize(FileHandle h, uint64_t* size) {
  if (h == kInvalidHandle || size == nullptr) return false;
  struct stat st;
  if (fstat(ToFd(h), &st) != 0 || st.st_size < 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool SetFileSize(FileHandle h, uint64_t size) {
  if (CountWrite(0).fail || h == kInvalidHandle || size > kMaxOffset) return false;
  if (ftruncate(ToFd(h), static_cast<off_t>(size)) != 0) return false;
  JournalSize(h, size);
  return true;
}

bool SyncFile(FileHandle h) {
  if (h == kInvalidHandle) return false;
  if (JournalSync(h)) return true;
  int result;
  do {
#ifdef __linux__
    result = fdatasync(ToFd(h));
#else
    result = fsync(ToFd(h));
#endif
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void ReserveStorage(FileHandle h, uint64_t pos, uint64_t n) {
#ifdef __linux__
  // Allocated but unwritten extents read as zeros and lie beyond the size until written, so
  // readers see nothing of them; the writes into them skip the file system's delayed
  // allocation, the larger part of the cost of growing a file in small steps.
  if (h == kInvalidHandle || n == 0 || pos > kMaxOffset || n > kMaxOffset - pos) return;
  int result;
  do {
    result = fallocate(ToFd(h), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(pos), static_cast<off_t>(n));
  } while (result != 0 && errno == EINTR);
#else
  (void)h;
  (void)pos;
  (void)n;
#endif
}

void ReleaseStorage(FileHandle h) {
  // Setting the size a file already has frees what was allocated beyond it; it is done only
  // when more is allocated than the size needs, so that a file with nothing to give back
  // keeps its modification time.
  struct stat st;
  if (h == kInvalidHandle || fstat(ToFd(h), &st) != 0 || st.st_size < 0) return;
  const uint64_t allocated = static_cast<uint64_t>(st.st_blocks) * 512;
  const uint64_t needed = (static_cast<uint64_t>(st.st_size) + 4095) & ~uint64_t{4095};
  if (allocated > needed) (void)ftruncate(ToFd(h), st.st_size);
}

bool RemoveFile(const char16_t* name) {
  if (name == nullptr) return false;
  return unlink(WideToNarrow(name).c_str()) == 0;
}

bool RenameFile(const char16_t* from, const char16_t* to) {
  if (from == nullptr || to == nullptr) return false;
  return rename(WideToNarrow(from).c_str(), WideToNarrow(to).c_str()) == 0;
}

bool FileExists(const char16_t* name) {
  if (name == nullptr) return false;
  struct stat st;
  return stat(WideToNarrow(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace qm::os
