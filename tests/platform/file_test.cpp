// Tests of the file layer: undo after failed writes (the write fault hook), the writer's lock,
// handles and names as the system sees them.
#ifdef _WIN32
#include "platform/win32_windows.h"
#else
#include <fcntl.h>
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/direct_file.h"
#include "platform/platform.h"
#include "temp_dir.h"

namespace qm::os {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whatever an operation writes, cuts or extends after MarkUndo, UndoToMark gives back the file
// of the mark byte for byte, with its logical end; after a failed write (the fault hook) the
// operation's later writes are refused and never reach the file. DropUndoMark keeps all.
TEST(FileTest, UndoToMarkPutsBackEveryWriteAndCut) {
  qm::test::TempDir dir;
  const std::string path = dir.Path("undo.mf4");
  std::mt19937_64 random(7);
  auto below = [&random](uint64_t n) { return n == 0 ? 0 : random() % n; };
  mDirectFile f;
  ASSERT_TRUE(f.CreateTruncate(dir.WPath("undo.mf4").c_str()));
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
        const Bytes bytes(1 + below(4000), static_cast<uint8_t>(round));
        ok = f.WriteAt(below(size + 3000), static_cast<uint32_t>(bytes.size()), bytes.data());
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
      image = ReadWhole(path);
      continue;
    }
    ASSERT_TRUE(f.UndoToMark());
    ASSERT_EQ(f.GetEnd(), end);
    ASSERT_EQ(ReadWhole(path), image);
  }
}

// A file open for writing is never truncated by a second writer; readers share it and see what
// the writer adds. Names reach the system as UTF-8 (POSIX) or UTF-16 (Windows); handles are
// not handed down to child processes.
TEST(FileTest, WriterExcludesOtherWritersButNotReaders) {
  qm::test::TempDir dir;
  const std::u16string name = dir.WPath("") + u"m\u00e9\u20ac\U0001F600.mf4";
  const std::filesystem::path path(name);
  std::ofstream(path, std::ios::binary) << "MDF     4.00    ";
  mDirectFile writer, second, reader;
  ASSERT_TRUE(writer.OpenReadWrite(name.c_str()));
  EXPECT_FALSE(second.CreateTruncate(name.c_str()));
  EXPECT_FALSE(second.OpenReadWrite(name.c_str()));
  EXPECT_EQ(std::filesystem::file_size(path), 16u);
#ifdef _WIN32
  // A sharing violation, also for a program asking for the most liberal sharing.
  HANDLE foreign = CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(foreign, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (foreign != INVALID_HANDLE_VALUE) CloseHandle(foreign);
#else
  const FileHandle h = OpenFile(name.c_str(), OpenMode::kReadOnlyShared);
  EXPECT_TRUE(fcntl(static_cast<int>(h), F_GETFD) & FD_CLOEXEC);
  CloseFile(h);
  EXPECT_TRUE(std::filesystem::exists(dir.Path("m\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80.mf4")));
#endif
  ASSERT_TRUE(reader.OpenReadOnly(name.c_str()));
  char buf[8];
  ASSERT_TRUE(writer.WriteAt(16, 8, "abcdefgh"));
  EXPECT_FALSE(reader.ReadAt(20, 8, buf)) << "crosses the end";
  ASSERT_TRUE(reader.ReadAt(16, 8, buf));
  EXPECT_EQ(std::string(buf, 8), "abcdefgh");
  EXPECT_FALSE(FileExists((dir.WPath("") + u"m*.mf4").c_str())) << "no wildcard matching";
  writer.Close();
  ASSERT_TRUE(second.CreateTruncate(name.c_str())) << "a writer may come after a reader";
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

}  // namespace
}  // namespace qm::os
