// Win32 files: share modes instead of locks, positioned exact transfers, and the write-count hooks.
#include "platform/win32_windows.h"

#include <stdlib.h>

#include <cstdint>

#include "platform/platform.h"
#include "platform/write_counter.h"

namespace qm::os {
namespace {

// The largest position or size a LARGE_INTEGER can express.
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);

HANDLE ToHandle(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

const wchar_t* ToWide(const char16_t* name) { return reinterpret_cast<const wchar_t*>(name); }

// Moves the file pointer to pos from the start. A failed move fails the transfer that
// needs it, so that nothing is read from or written to a wrong position.
bool Seek(HANDLE h, uint64_t pos) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(pos);
  return SetFilePointerEx(h, distance, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

FileHandle OpenFile(const char16_t* name, OpenMode mode) {
  if (name == nullptr) return kInvalidHandle;

  // Writers share reading only. A second writer, here or in another process, fails with a
  // sharing violation before CREATE_ALWAYS could truncate, so a file held for writing is
  // never cut. The shared reader lets others read and write, so it works beside a writer.
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD share = FILE_SHARE_READ;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::kReadWrite:
      break;
    case OpenMode::kCreateTruncate:
      disposition = CREATE_ALWAYS;
      break;
    case OpenMode::kReadOnlyShared:
      access = GENERIC_READ;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    case OpenMode::kReadOnlyLocked:
      access = GENERIC_READ;  // sharing reading only: a writer's open fails meanwhile
      break;
  }
  // No security attributes: the handle is not inherited by child processes.
  HANDLE h = CreateFileW(ToWide(name), access, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;

  // Only disk files are data files: a console, pipe or device name is refused here.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return kInvalidHandle;
  }
  return reinterpret_cast<FileHandle>(h);
}

void CloseFile(FileHandle h) {
  if (h != kInvalidHandle) CloseHandle(ToHandle(h));
}

bool ReadAt(FileHandle h, uint64_t pos, uint32_t n, void* dst) {
  if (h == kInvalidHandle || (n != 0 && dst == nullptr)) return false;
  if (pos > kMaxOffset || n > kMaxOffset - pos) return false;
  if (!Seek(ToHandle(h), pos)) return false;
  auto* out = static_cast<uint8_t*>(dst);
  uint32_t done = 0;
  while (done < n) {
    DWORD got = 0;
    if (!ReadFile(ToHandle(h), out + done, n - done, &got, nullptr)) return false;
    if (got == 0) return false;  // end of file before n bytes
    done += got;
  }
  return true;
}

bool WriteAt(FileHandle h, uint64_t pos, uint32_t n, const void* src) {
  const WritePermit permit = CountWrite(n);
  if (h == kInvalidHandle || (n != 0 && src == nullptr)) return false;
  if (pos > kMaxOffset || n > kMaxOffset - pos) return false;
  if (!Seek(ToHandle(h), pos)) return false;
  const auto* in = static_cast<const uint8_t*>(src);
  uint32_t done = 0;
  while (done < permit.bytes) {
    DWORD put = 0;
    if (!WriteFile(ToHandle(h), in + done, permit.bytes - done, &put, nullptr)) return false;
    if (put == 0) return false;  // no progress: treat as a failure rather than spin
    done += put;
  }
  if (permit.fail) return false;
  JournalWrite(h, pos, n, src);
  return true;
}

bool GetFileSize(FileHandle h, uint64_t* size) {
  if (h == kInvalidHandle || size == nullptr) return false;
  LARGE_INTEGER value;
  if (!GetFileSizeEx(ToHandle(h), &value) || value.QuadPart < 0) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool SetFileSize(FileHandle h, uint64_t size) {
  if (CountWrite(0).fail || h == kInvalidHandle || size > kMaxOffset) return false;
  // The bytes between the old and a larger new end read as zeros.
  if (!Seek(ToHandle(h), size) || SetEndOfFile(ToHandle(h)) == 0) return false;
  JournalSize(h, size);
  return true;
}

bool SyncFile(FileHandle h) {
  if (h == kInvalidHandle) return false;
  if (JournalSync(h)) return true;
  // Writes the file's data and metadata held by the system to the disk.
  return FlushFileBuffers(ToHandle(h)) != 0;
}

// NTFS allocates as a file grows and offers no allocation beyond the end that stays in place
// across handles, so the hint is not passed on: writes allocate their own storage there.
void ReserveStorage(FileHandle, uint64_t, uint64_t) {}
void ReleaseStorage(FileHandle) {}

bool RemoveFile(const char16_t* name) {
  if (name == nullptr) return false;
  return DeleteFileW(ToWide(name)) != 0;
}

bool RenameFile(const char16_t* from, const char16_t* to) {
  if (from == nullptr || to == nullptr) return false;
  return MoveFileExW(ToWide(from), ToWide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool FileExists(const char16_t* name) {
  if (name == nullptr) return false;
  // FindFirstFileW takes wildcards; a name with one is a pattern, not a file.
  for (const char16_t* p = name; *p != 0; ++p) {
    if (*p == u'*' || *p == u'?') return false;
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(ToWide(name), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace qm::os
