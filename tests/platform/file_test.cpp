// Tests of the file layer and mDirectFile: exact transfers, the logical end, names, the writer's lock, the crash hook.
#ifdef _WIN32
#include "platform/win32_windows.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/direct_file.h"
#include "platform/platform.h"
#include "temp_dir.h"

namespace qm::os {
namespace {

using qm::test::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kNoPosition = ~0ULL;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  uint64_t DiskSize(const char* name) const { return std::filesystem::file_size(dir_.Path(name)); }
  TempDir dir_;
};

TEST_F(FileTest, TransfersExactLengthsAtAbsolutePositionsAndCountsWrites) {
  FileHandle h = OpenFile(dir_.WPath("data.bin").c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  const uint64_t writes = WriteCount();
  // Odd length, several MiB, written past the current end. Every read lands in `back`.
  Bytes big(3 * 1024 * 1024 + 7), back(big.size());
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + 7);
  ASSERT_TRUE(WriteAt(h, 100, static_cast<uint32_t>(big.size()), big.data()));
  uint64_t end = 0, size = 0;
  ASSERT_TRUE(GetFileSize(h, &end));
  EXPECT_EQ(end, 100 + big.size());
  ASSERT_TRUE(ReadAt(h, 100, static_cast<uint32_t>(back.size()), back.data()));
  EXPECT_EQ(back, big);
  ASSERT_TRUE(ReadAt(h, 0, 100, back.data()));
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 100), Bytes(100, 0));

  // A read that would cross the end fails; one that ends exactly there succeeds.
  EXPECT_FALSE(ReadAt(h, end - 10, 24, back.data()));
  EXPECT_TRUE(ReadAt(h, end - 24, 24, back.data()));
  EXPECT_FALSE(ReadAt(h, end, 1, back.data()));
  EXPECT_FALSE(ReadAt(h, 1ULL << 63, 1, back.data()));

  ASSERT_TRUE(SetFileSize(h, 10));
  ASSERT_TRUE(GetFileSize(h, &size));
  EXPECT_EQ(size, 10u);
  ASSERT_TRUE(SetFileSize(h, 50));  // extends with zeros
  ASSERT_TRUE(ReadAt(h, 10, 40, back.data()));
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 40), Bytes(40, 0));
  EXPECT_EQ(WriteCount(), writes + 3) << "writes and size changes count, reads do not";
  CloseFile(h);
}

TEST_F(FileTest, OpenModesRefuseWhatIsNotAWritableDiskFile) {
  const std::u16string name = dir_.WPath("f.bin");
  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kReadWrite), kInvalidHandle);
  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kReadOnlyShared), kInvalidHandle);
  EXPECT_EQ(OpenFile(dir_.WPath("").c_str(), OpenMode::kReadOnlyShared), kInvalidHandle) << "a directory";
  EXPECT_EQ(OpenFile(nullptr, OpenMode::kReadOnlyShared), kInvalidHandle);

  // Handles are not handed down to child processes.
  FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
#ifdef _WIN32
  EXPECT_EQ(OpenFile(u"NUL", OpenMode::kReadOnlyShared), kInvalidHandle) << "a device";
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
#else
  EXPECT_TRUE(fcntl(static_cast<int>(h), F_GETFD) & FD_CLOEXEC);
#endif
  CloseFile(h);
  h = OpenFile(name.c_str(), OpenMode::kReadOnlyShared);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_FALSE(WriteAt(h, 0, 1, "x")) << "read-only handle";
  EXPECT_FALSE(SetFileSize(h, 0));
  CloseFile(h);
}

TEST_F(FileTest, NamesExistAndRemove) {
  // e-acute, euro sign and an emoji (surrogate pair) reach the system unchanged.
  const std::u16string name = dir_.WPath("") + u"m\u00e9\u20ac\U0001F600.bin";
  FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  CloseFile(h);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(name)));
#ifndef _WIN32
  struct stat st;
  EXPECT_EQ(stat(dir_.Path("m\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80.bin").c_str(), &st), 0);
  // An unpaired surrogate becomes U+FFFD.
  h = OpenFile((dir_.WPath("") + u"x" + char16_t(0xD800) + u".bin").c_str(), OpenMode::kCreateTruncate);
  ASSERT_NE(h, kInvalidHandle);
  CloseFile(h);
  EXPECT_EQ(stat(dir_.Path("x\xEF\xBF\xBD.bin").c_str(), &st), 0);
#endif
  EXPECT_TRUE(FileExists(name.c_str()));
  EXPECT_FALSE(FileExists((dir_.WPath("") + u"m*.bin").c_str())) << "no wildcard matching";
  EXPECT_FALSE(FileExists((dir_.WPath("") + u"m????.bin").c_str()));
  EXPECT_FALSE(FileExists(dir_.WPath("").c_str())) << "a directory is not a file";
  EXPECT_FALSE(FileExists(nullptr));
  EXPECT_TRUE(RemoveFile(name.c_str()));
  EXPECT_FALSE(FileExists(name.c_str()));
  EXPECT_FALSE(RemoveFile(name.c_str()));
}

// A death test on Windows runs the test again in a new process up to the statement: the child
// takes the parent's file from the environment instead of making a directory of its own.
TEST(FileCrashHookTest, CrashPointEndsProcessBeforeTheWrite) {
  constexpr const char* kVariable = "QM_CRASH_TEST_FILE";
  std::optional<TempDir> dir;
  std::string path;
  if (const char* inherited = std::getenv(kVariable); inherited != nullptr && *inherited != 0) {
    path = inherited;
  } else {
    dir.emplace();
    ASSERT_TRUE(dir->Ok());
    path = dir->Path("crash.bin");
#ifdef _WIN32
    ASSERT_EQ(_putenv_s(kVariable, path.c_str()), 0);
#else
    ASSERT_EQ(setenv(kVariable, path.c_str(), 1), 0);
#endif
  }
  const std::u16string name = std::filesystem::path(path).u16string();
  EXPECT_EXIT(
      {
        FileHandle h = OpenFile(name.c_str(), OpenMode::kCreateTruncate);
        SetCrashAfterWrites(2);
        WriteAt(h, 0, 5, "first");
        WriteAt(h, 5, 6, "second");  // the crash point: never reaches the file
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(77), "");
#ifdef _WIN32
  _putenv_s(kVariable, "");
#else
  unsetenv(kVariable);
#endif
  EXPECT_EQ(ReadWhole(path), "first");
}

// ---- mDirectFile ---------------------------------------------------------------------------

TEST_F(FileTest, DirectFileEndFollowsWritesAllocationAndResizing) {
  mDirectFile f;
  uint8_t byte = 0;
  EXPECT_FALSE(f.ReadAt(0, 1, &byte)) << "closed";
  EXPECT_FALSE(f.WriteAt(0, 1, &byte));
  EXPECT_FALSE(f.ResizeFromEnd(8));
  ASSERT_TRUE(f.CreateTruncate(dir_.WPath("a.mf4").c_str()));
  EXPECT_EQ(f.GetEnd(), 0u);
  EXPECT_EQ(f.GetPosition(), kNoPosition) << "no transfer yet";

  const Bytes id(64, 0xAB);
  ASSERT_TRUE(f.WriteAt(0, 64, id.data()));
  EXPECT_EQ(f.GetEnd(), 64u);
  EXPECT_EQ(f.GetPosition(), 64u);
  EXPECT_EQ(f.AllocateAtEnd(100), 64u);
  EXPECT_EQ(f.AllocateAtEnd(24), 168u) << "8-aligned";
  EXPECT_EQ(f.GetEnd(), 192u);
  EXPECT_EQ(DiskSize("a.mf4"), 64u) << "allocation writes nothing";
  // A write ending before the end leaves it; one ending beyond moves it.
  ASSERT_TRUE(f.WriteAt(8, 8, id.data()));
  EXPECT_EQ(f.GetEnd(), 192u);
  EXPECT_EQ(f.GetPosition(), 16u);
  ASSERT_TRUE(f.WriteAt(190, 10, id.data()));
  EXPECT_EQ(f.GetEnd(), 200u);

  ASSERT_TRUE(f.ResizeFromEnd(-140));
  EXPECT_EQ(DiskSize("a.mf4"), 60u);
  EXPECT_EQ(f.GetEnd(), 60u);
  EXPECT_EQ(f.GetPosition(), 60u);
  ASSERT_TRUE(f.ResizeFromEnd(4000));
  EXPECT_EQ(DiskSize("a.mf4"), 4060u);
  uint8_t tail[8];
  ASSERT_TRUE(f.ReadAt(4052, 8, tail));
  EXPECT_EQ(tail[7], 0);
  EXPECT_FALSE(f.ResizeFromEnd(-4061)) << "below zero";
  EXPECT_EQ(DiskSize("a.mf4"), 4060u);
  ASSERT_TRUE(f.ResizeFromEnd(-4060));
  EXPECT_EQ(f.GetEnd(), 0u);

  // A failed open leaves the object closed and releases the earlier file.
  EXPECT_FALSE(f.OpenReadWrite(dir_.WPath("missing.mf4").c_str()));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.GetPosition(), kNoPosition);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("missing.mf4")));
  mDirectFile other;
  EXPECT_TRUE(other.OpenReadWrite(dir_.WPath("a.mf4").c_str()));
}

// Storage asked for ahead of writes changes neither size nor content, and what stays unused
// beyond the end is given back when the file closes.
TEST_F(FileTest, ReservedStorageIsInvisibleAndGivenBackAtClose) {
  const std::string path = dir_.Path("reserve.mf4");
  constexpr uint64_t kReserved = 8u << 20;
  mDirectFile f;
  ASSERT_TRUE(f.CreateTruncate(dir_.WPath("reserve.mf4").c_str()));
  ASSERT_TRUE(f.WriteAt(0, 5, "first"));
  f.ReserveStorage(0, kReserved);
  EXPECT_EQ(DiskSize("reserve.mf4"), 5u);
  ASSERT_TRUE(f.WriteAt(4096, 6, "second"));
  EXPECT_EQ(DiskSize("reserve.mf4"), 4102u);
  uint8_t gap[8];
  ASSERT_TRUE(f.ReadAt(8, 8, gap));
  EXPECT_EQ(Bytes(gap, gap + 8), Bytes(8, 0)) << "reads as zeros";
  f.Close();
  EXPECT_EQ(DiskSize("reserve.mf4"), 4102u);
  EXPECT_EQ(ReadWhole(path).substr(4096), "second");
#ifndef _WIN32
  auto allocated = [&path] {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
  };
  EXPECT_LT(allocated(), kReserved / 2) << "unused storage given back";

  // A writer that ends without closing (killed) leaves its reservation behind; the next
  // writer to close the file gives it back, a reader does not touch it.
  const FileHandle killed = OpenFile(dir_.WPath("reserve.mf4").c_str(), OpenMode::kReadWrite);
  ASSERT_NE(killed, kInvalidHandle);
  ReserveStorage(killed, 4096, kReserved);
  CloseFile(killed);
  const uint64_t left = allocated();
  if (left <= kReserved / 2) return;  // a file system that does not allocate ahead
  ASSERT_TRUE(f.OpenReadOnly(dir_.WPath("reserve.mf4").c_str()));
  f.Close();
  EXPECT_EQ(allocated(), left);
  ASSERT_TRUE(f.OpenReadWrite(dir_.WPath("reserve.mf4").c_str()));
  f.Close();
  EXPECT_LT(allocated(), kReserved / 2);
  EXPECT_EQ(ReadWhole(path).substr(4096), "second");
#endif
}

// Whatever an operation writes, cuts or extends after MarkUndo, UndoToMark gives back the file
// of the mark byte for byte, with its logical end; after a failed write (the fault hook) the
// operation's later writes are refused and never reach the file. DropUndoMark keeps all.
TEST_F(FileTest, UndoToMarkPutsBackEveryWriteAndCut) {
  const std::string path = dir_.Path("undo.mf4");
  std::mt19937_64 random(7);
  auto below = [&random](uint64_t n) { return n == 0 ? 0 : random() % n; };
  mDirectFile f;
  ASSERT_TRUE(f.CreateTruncate(dir_.WPath("undo.mf4").c_str()));
  Bytes image(5000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_TRUE(f.WriteAt(0, static_cast<uint32_t>(image.size()), image.data()));
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    f.AllocateAtEnd(below(20));  // a logical end beyond the size, too
    const uint64_t end = f.GetEnd();
    f.MarkUndo();
    const int fault = static_cast<int>(below(4));  // 0: none, otherwise the fault of that kind
    if (fault != 0) SetWriteFault(1 + below(6), static_cast<WriteFault>(fault));
    bool failed = false;
    for (int op = 0, ops = 1 + static_cast<int>(below(8)); op < ops; ++op) {
      const uint64_t size = std::filesystem::file_size(path);
      bool ok;
      if (below(4) != 0) {
        const uint64_t at = below(size + 3000);
        const Bytes bytes(1 + below(4000), static_cast<uint8_t>(round));
        ok = f.WriteAt(at, static_cast<uint32_t>(bytes.size()), bytes.data());
      } else {
        ok = f.ResizeFromEnd(static_cast<int64_t>(below(3000)) - static_cast<int64_t>(below(size)));
      }
      if (failed) {
        ASSERT_FALSE(ok) << "a write after a failure went through";
        ASSERT_EQ(std::filesystem::file_size(path), size);
      }
      failed = failed || !ok;
    }
    SetWriteFault(0, WriteFault::kNone);
    ASSERT_EQ(f.HadWriteError(), failed);
    if (round % 10 == 0 && !failed) {
      f.DropUndoMark();
      const std::string kept = ReadWhole(path);
      image.assign(kept.begin(), kept.end());
      continue;
    }
    ASSERT_TRUE(f.UndoToMark());
    ASSERT_EQ(f.GetEnd(), end);
    const std::string disk = ReadWhole(path);
    ASSERT_EQ(Bytes(disk.begin(), disk.end()), image);
  }
}

// Gathered writes and the read window must leave exactly what plain transfers leave: random
// writes (inside, behind, beyond the end and before what is gathered; small and large), reads
// and size changes are checked against an image of the file kept in memory.
TEST_F(FileTest, GatheredWritesAndTheReadWindowMatchPlainTransfers) {
  const std::string path = dir_.Path("gathered.mf4");
  std::mt19937 random(7);
  auto below = [&random](uint64_t n) { return n == 0 ? 0 : random() % n; };
  std::vector<uint8_t> image;
  mDirectFile f;
  ASSERT_TRUE(f.CreateTruncate(dir_.WPath("gathered.mf4").c_str()));
  f.CombineSmallWrites();
  for (int step = 0; step < 3000; ++step) {
    const uint64_t op = below(100);
    if (op < 80) {
      // Mostly small block-sized writes, some larger than what is gathered.
      const uint32_t n = static_cast<uint32_t>(op < 75 ? 1 + below(600) : 16 * 1024 + below(40000));
      const uint64_t at = op % 3 == 0 ? image.size() + below(300) : below(image.size() + 1);
      std::vector<uint8_t> bytes(n);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      ASSERT_TRUE(f.WriteAt(at, n, bytes.data()));
      if (image.size() < at + n) image.resize(at + n, 0);
      std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<ptrdiff_t>(at));
    } else if (op < 95 && !image.empty()) {
      const uint64_t at = below(image.size());
      const auto n = static_cast<uint32_t>(1 + below(std::min<uint64_t>(image.size() - at, 5000)));
      std::vector<uint8_t> got(n);
      ASSERT_TRUE(f.ReadAt(at, n, got.data()));
      ASSERT_TRUE(std::equal(got.begin(), got.end(), image.begin() + static_cast<ptrdiff_t>(at))) << step;
    } else {
      const int64_t change = static_cast<int64_t>(below(3000)) - static_cast<int64_t>(below(std::min<uint64_t>(image.size(), 3000)));
      ASSERT_TRUE(f.ResizeFromEnd(change));
      image.resize(static_cast<size_t>(static_cast<int64_t>(image.size()) + change), 0);
    }
  }
  f.Close();
  ASSERT_FALSE(f.HadWriteError());
  const std::string disk = ReadWhole(path);
  ASSERT_EQ(disk.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), reinterpret_cast<const uint8_t*>(disk.data())));

  // Reading back through the window: small reads anywhere, including across the window's
  // edges and the end of file, give the file's bytes or fail as plain reads do.
  ASSERT_TRUE(f.OpenReadOnly(dir_.WPath("gathered.mf4").c_str()));
  f.CacheSmallReads();
  for (int step = 0; step < 3000; ++step) {
    const uint64_t at = below(image.size() + 100);
    const auto n = static_cast<uint32_t>(1 + below(step % 10 == 0 ? 20000 : 5000));
    std::vector<uint8_t> got(n);
    const bool inside = at + n <= image.size();
    ASSERT_EQ(f.ReadAt(at, n, got.data()), inside) << at << "+" << n;
    if (inside) {
      ASSERT_TRUE(std::equal(got.begin(), got.end(), image.begin() + static_cast<ptrdiff_t>(at)));
    }
  }
}

// A file open for writing is never truncated by a second create; readers share it.
TEST_F(FileTest, WriterExcludesOtherWritersButNotReaders) {
  const std::u16string name = dir_.WPath("shared.mf4");
  const std::string path = dir_.Path("shared.mf4");
  std::ofstream(path, std::ios::binary) << "MDF     4.00    ";
  mDirectFile writer;
  ASSERT_TRUE(writer.OpenReadWrite(name.c_str()));
  EXPECT_EQ(writer.GetEnd(), 16u);

  mDirectFile second;
  EXPECT_FALSE(second.CreateTruncate(name.c_str()));
  EXPECT_FALSE(second.OpenReadWrite(name.c_str()));
  EXPECT_EQ(ReadWhole(path), "MDF     4.00    ");
#ifdef _WIN32
  // The refusal is a sharing violation, also for a program asking for the most liberal sharing.
  EXPECT_EQ(OpenFile(name.c_str(), OpenMode::kCreateTruncate), kInvalidHandle);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE foreign = CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(foreign, INVALID_HANDLE_VALUE);
  if (foreign != INVALID_HANDLE_VALUE) CloseHandle(foreign);
#endif

  // A reader sees what the writer adds later.
  mDirectFile reader;
  ASSERT_TRUE(reader.OpenReadOnly(name.c_str()));
  char buf[8];
  EXPECT_FALSE(reader.ReadAt(10, 8, buf)) << "crosses the end";
  ASSERT_TRUE(reader.ReadAt(8, 8, buf));
  EXPECT_EQ(std::string(buf, 8), "4.00    ");
  EXPECT_EQ(reader.GetPosition(), 16u);
  ASSERT_TRUE(writer.WriteAt(16, 8, "abcdefgh"));
  ASSERT_TRUE(reader.ReadAt(16, 8, buf));
  EXPECT_EQ(std::string(buf, 8), "abcdefgh");

  writer.Close();
  EXPECT_EQ(writer.GetEnd(), 0u);
  ASSERT_TRUE(second.CreateTruncate(name.c_str())) << "a writer may come after a reader";
  EXPECT_EQ(DiskSize("shared.mf4"), 0u);
}

}  // namespace
}  // namespace qm::os
