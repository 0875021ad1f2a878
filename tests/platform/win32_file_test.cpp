// Tests of the Win32 file layer: exact transfers, share modes in place of locks, names, crash hook.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "temp_dir.h"

namespace qm::os {
namespace {

using qm::test::TempDir;

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Win32FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  TempDir dir_;
};

TEST_F(Win32FileTest, TransfersExactLengthsAtAbsolutePositions) {
  FileHandle h = OpenFile(dir_.WPath("data.bin").c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);

  // Odd length, several MiB, written past the current end.
  std::vector<uint8_t> big(3 * 1024 * 1024 + 7);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + 7);
  ASSERT_TRUE(WriteAt(h, 100, static_cast<uint32_t>(big.size()), big.data()));
  uint64_t size = 0;
  ASSERT_TRUE(GetFileSize(h, &size));
  EXPECT_EQ(size, 100 + big.size());

  std::vector<uint8_t> back(big.size());
  ASSERT_TRUE(ReadAt(h, 100, static_cast<uint32_t>(back.size()), back.data()));
  EXPECT_EQ(back, big);
  uint8_t gap[100];
  ASSERT_TRUE(ReadAt(h, 0, sizeof gap, gap));
  EXPECT_EQ(std::vector<uint8_t>(gap, gap + 100), std::vector<uint8_t>(100, 0));

  // A read that would cross the end fails; one that ends exactly there succeeds.
  uint8_t tail[24];
  EXPECT_FALSE(ReadAt(h, size - 10, sizeof tail, tail));
  EXPECT_TRUE(ReadAt(h, size - 24, sizeof tail, tail));
  EXPECT_FALSE(ReadAt(h, size, 1, tail));
  EXPECT_FALSE(ReadAt(h, 1ULL << 63, 1, tail)) << "position beyond what the system can seek";

  ASSERT_TRUE(SetFileSize(h, 10));
  ASSERT_TRUE(GetFileSize(h, &size));
  EXPECT_EQ(size, 10u);
  ASSERT_TRUE(SetFileSize(h, 50));  // extends with zeros
  ASSERT_TRUE(ReadAt(h, 10, 40, gap));
  EXPECT_EQ(std::vector<uint8_t>(gap, gap + 40), std::vector<uint8_t>(40, 0));
  CloseFile(h);
}

TEST_F(Win32FileTest, SecondWriterFailsWithSharingViolationAndNothingIsTruncated) {
  const std::u16string name = dir_.WPath("held.bin");
  FileHandle writer = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(writer, kInvalidHandle);
  ASSERT_TRUE(WriteAt(writer, 0, 5, "held!"));

  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kCreateTruncate), kInvalidHandle);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kReadWrite), kInvalidHandle);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  uint64_t size = 0;
  ASSERT_TRUE(GetFileSize(writer, &size));
  EXPECT_EQ(size, 5u) << "the refused create must not have cut the file";

  // A program that opens the file for writing with the most liberal sharing is refused too.
  HANDLE foreign = CreateFileW(W(name), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(foreign, INVALID_HANDLE_VALUE);
  if (foreign != INVALID_HANDLE_VALUE) CloseHandle(foreign);

  // Once the writer is gone the file can be taken over.
  CloseFile(writer);
  writer = OpenFile(name.c_str(), OpenMode::kReadWrite);
  ASSERT_NE(writer, kInvalidHandle);
  CloseFile(writer);
}

TEST_F(Win32FileTest, SharedReaderWorksBesideAWriter) {
  const std::u16string name = dir_.WPath("live.bin");
  FileHandle writer = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(writer, kInvalidHandle);
  ASSERT_TRUE(WriteAt(writer, 0, 4, "abcd"));

  FileHandle reader = OpenFile(name.c_str(), OpenMode::kReadOnlyShared);
  ASSERT_NE(reader, kInvalidHandle);
  char seen[8] = {};
  ASSERT_TRUE(ReadAt(reader, 0, 4, seen));
  EXPECT_EQ(std::string(seen, 4), "abcd");

  // The reader sees what the writer adds later, and cannot write itself.
  ASSERT_TRUE(WriteAt(writer, 4, 4, "efgh"));
  ASSERT_TRUE(ReadAt(reader, 0, 8, seen));
  EXPECT_EQ(std::string(seen, 8), "abcdefgh");
  EXPECT_FALSE(WriteAt(reader, 0, 1, "x"));
  EXPECT_FALSE(SetFileSize(reader, 0));
  CloseFile(writer);

  // A writer may also come after the reader: the reader shares writing.
  writer = OpenFile(name.c_str(), OpenMode::kReadWrite);
  ASSERT_NE(writer, kInvalidHandle);
  CloseFile(writer);
  CloseFile(reader);
}

TEST_F(Win32FileTest, OpenModesRefuseWhatIsNotADiskFile) {
  const std::u16string name = dir_.WPath("f.bin");
  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kReadWrite), kInvalidHandle);
  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kReadOnlyShared), kInvalidHandle);
  EXPECT_EQ(OpenFile(dir_.WPath("").c_str(), OpenMode::kReadOnlyShared), kInvalidHandle)
      << "a directory is not a data file";
  EXPECT_EQ(OpenFile(u"NUL", OpenMode::kReadOnlyShared), kInvalidHandle) << "a device";
  EXPECT_EQ(OpenFile(nullptr, OpenMode::kReadOnlyShared), kInvalidHandle);

  // Handles are not handed down to child processes.
  FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  CloseFile(h);
}

TEST_F(Win32FileTest, NamesReachTheSystemAsUtf16) {
  // e-acute, euro sign and an emoji (surrogate pair).
  const std::u16string name = dir_.WPath("") + u"m\u00e9\u20ac\U0001F600.bin";
  FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  CloseFile(h);
  EXPECT_NE(GetFileAttributesW(W(name)), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(FileExists(name.c_str()));
  EXPECT_TRUE(RemoveFile(name.c_str()));
  EXPECT_EQ(GetFileAttributesW(W(name)), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Win32FileTest, ExistsTakesNoPatternsAndNoDirectories) {
  std::ofstream(dir_.Path("ab.txt"), std::ios::binary) << "x";
  EXPECT_TRUE(FileExists(dir_.WPath("ab.txt").c_str()));
  EXPECT_FALSE(FileExists(dir_.WPath("a*.txt").c_str())) << "no wildcard matching";
  EXPECT_FALSE(FileExists(dir_.WPath("a?.txt").c_str()));
  EXPECT_FALSE(FileExists(dir_.WPath("").c_str())) << "a directory is not a file";
  ASSERT_TRUE(CreateDirectoryW(W(dir_.WPath("sub")), nullptr));
  EXPECT_FALSE(FileExists(dir_.WPath("sub").c_str()));
  EXPECT_FALSE(FileExists(nullptr));

  EXPECT_TRUE(RemoveFile(dir_.WPath("ab.txt").c_str()));
  EXPECT_FALSE(FileExists(dir_.WPath("ab.txt").c_str()));
  EXPECT_FALSE(RemoveFile(dir_.WPath("ab.txt").c_str()));
}

TEST_F(Win32FileTest, WritesAndSizeChangesAreCounted) {
  FileHandle h = OpenFile(dir_.WPath("c.bin").c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  const uint64_t before = WriteCount();
  const uint8_t byte = 5;
  ASSERT_TRUE(WriteAt(h, 0, 1, &byte));
  ASSERT_TRUE(SetFileSize(h, 8));
  uint8_t back;
  ASSERT_TRUE(ReadAt(h, 0, 1, &back));
  EXPECT_EQ(WriteCount(), before + 2);
  CloseFile(h);
}

// A death test on Windows runs the test again in a new process up to the statement. The
// child takes the parent's file from the environment instead of making a directory of its own.
TEST(Win32CrashHookTest, CrashPointEndsProcessBeforeTheWrite) {
  constexpr const char* kVariable = "QM_CRASH_TEST_FILE";
  std::optional<TempDir> dir;
  std::string path;
  if (const char* inherited = getenv(kVariable); inherited != nullptr && *inherited != 0) {
    path = inherited;
  } else {
    dir.emplace();
    ASSERT_TRUE(dir->Ok());
    path = dir->Path("crash.bin");
    ASSERT_EQ(_putenv_s(kVariable, path.c_str()), 0);
  }
  const std::u16string name = std::filesystem::path(path).u16string();
  EXPECT_EXIT(
      {
        FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
        SetCrashAfterWrites(2);
        WriteAt(h, 0, 5, "first");
        WriteAt(h, 5, 6, "second");  // the crash point: never reaches the file
        _exit(0);
      },
      ::testing::ExitedWithCode(77), "");
  _putenv_s(kVariable, "");
  EXPECT_EQ(ReadWhole(path), "first");
}

}  // namespace
}  // namespace qm::os
