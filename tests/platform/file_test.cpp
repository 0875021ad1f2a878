// Tests of the file layer: the writer's lock, handles and names as the system sees them.
#ifdef _WIN32
#include "platform/win32_windows.h"
#else
#include <fcntl.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/direct_file.h"
#include "platform/platform.h"
#include "temp_dir.h"

namespace qm::os {
namespace {

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
