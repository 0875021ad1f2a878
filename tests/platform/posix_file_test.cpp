// Tests of the POSIX file layer: exact transfers, the writer lock, names, the crash hook.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "temp_dir.h"

namespace qm::os {
namespace {

using qm::test::TempDir;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class PosixFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  TempDir dir_;
};

TEST_F(PosixFileTest, TransfersExactLengthsAtAbsolutePositions) {
  const std::u16string name = dir_.WPath("data.bin");
  FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);

  // More than one pipe/page worth, odd length, written past the current end.
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

  ASSERT_TRUE(SetFileSize(h, 10));
  ASSERT_TRUE(GetFileSize(h, &size));
  EXPECT_EQ(size, 10u);
  ASSERT_TRUE(SetFileSize(h, 50));  // extends with zeros
  ASSERT_TRUE(ReadAt(h, 10, 40, gap));
  EXPECT_EQ(std::vector<uint8_t>(gap, gap + 40), std::vector<uint8_t>(40, 0));
  CloseFile(h);
}

TEST_F(PosixFileTest, OpenModesAndCloseOnExec) {
  const std::u16string name = dir_.WPath("f.bin");
  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kReadWrite), kInvalidHandle);
  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kReadOnlyShared), kInvalidHandle);
  EXPECT_EQ(OpenFile(dir_.WPath("").c_str(), OpenMode::kReadOnlyShared), kInvalidHandle)
      << "a directory is not a data file";

  FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  const int fdFlags = fcntl(static_cast<int>(h), F_GETFD);
  ASSERT_NE(fdFlags, -1);
  EXPECT_TRUE(fdFlags & FD_CLOEXEC);
  CloseFile(h);

  h = OpenFile(name.c_str(), OpenMode::kReadOnlyShared);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_TRUE(fcntl(static_cast<int>(h), F_GETFD) & FD_CLOEXEC);
  const uint8_t byte = 1;
  EXPECT_FALSE(WriteAt(h, 0, 1, &byte)) << "read-only handle";
  CloseFile(h);
}

TEST_F(PosixFileTest, NamesAreUtf16EncodedAsUtf8) {
  // e-acute, euro sign and an emoji (surrogate pair) reach the OS as UTF-8.
  const std::u16string name = dir_.WPath("") + u"m\u00e9\u20ac\U0001F600.bin";
  FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  CloseFile(h);
  struct stat st;
  EXPECT_EQ(stat(dir_.Path("m\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80.bin").c_str(), &st), 0);

  // An unpaired surrogate becomes U+FFFD.
  const std::u16string lone = dir_.WPath("") + u"x" + char16_t(0xD800) + u".bin";
  h = OpenFile(lone.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  CloseFile(h);
  EXPECT_EQ(stat(dir_.Path("x\xEF\xBF\xBD.bin").c_str(), &st), 0);
}

TEST_F(PosixFileTest, ExistsAndRemove) {
  WriteWhole(dir_.Path("ab.txt"), "x");
  EXPECT_TRUE(FileExists(dir_.WPath("ab.txt").c_str()));
  EXPECT_FALSE(FileExists(dir_.WPath("a*.txt").c_str())) << "no wildcard matching";
  EXPECT_FALSE(FileExists(dir_.WPath("a?.txt").c_str()));
  EXPECT_FALSE(FileExists(dir_.WPath("").c_str())) << "a directory is not a file";
  EXPECT_FALSE(FileExists(nullptr));

  EXPECT_TRUE(RemoveFile(dir_.WPath("ab.txt").c_str()));
  EXPECT_FALSE(FileExists(dir_.WPath("ab.txt").c_str()));
  EXPECT_FALSE(RemoveFile(dir_.WPath("ab.txt").c_str()));
}

TEST_F(PosixFileTest, WritesAndSizeChangesAreCounted) {
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

TEST_F(PosixFileTest, CrashPointEndsProcessBeforeTheWrite) {
  const std::string path = dir_.Path("crash.bin");
  const std::u16string name = dir_.WPath("crash.bin");
  EXPECT_EXIT(
      {
        FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
        SetCrashAfterWrites(2);
        WriteAt(h, 0, 5, "first");
        WriteAt(h, 5, 6, "second");  // the crash point: never reaches the file
        _exit(0);
      },
      ::testing::ExitedWithCode(77), "");
  EXPECT_EQ(ReadWhole(path), "first");
}

}  // namespace
}  // namespace qm::os
