// Tests of mDirectFile: the logical end, exact transfers, resizing, opening and locking.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "file/direct_file.h"
#include "temp_dir.h"

namespace {

using qm::test::TempDir;

constexpr uint64_t kNoPosition = ~0ULL;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class DirectFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  TempDir dir_;
};

TEST_F(DirectFileTest, EndFollowsWritesAndAlignedAllocation) {
  mDirectFile f;
  ASSERT_TRUE(f.CreateTruncate(dir_.WPath("a.mf4").c_str()));
  EXPECT_EQ(f.GetEnd(), 0u);
  EXPECT_EQ(f.GetPosition(), kNoPosition) << "no transfer yet";

  const std::vector<uint8_t> id(64, 0xAB);
  ASSERT_TRUE(f.WriteAt(0, 64, id.data()));
  EXPECT_EQ(f.GetEnd(), 64u);
  EXPECT_EQ(f.GetPosition(), 64u);

  EXPECT_EQ(f.AllocateAtEnd(100), 64u);
  EXPECT_EQ(f.GetEnd(), 164u);
  EXPECT_EQ(f.AllocateAtEnd(24), 168u);
  EXPECT_EQ(f.GetEnd(), 192u);
  EXPECT_EQ(std::filesystem::file_size(dir_.Path("a.mf4")), 64u) << "allocation writes nothing";

  // A write ending before the end leaves it; one ending beyond moves it.
  ASSERT_TRUE(f.WriteAt(8, 8, id.data()));
  EXPECT_EQ(f.GetEnd(), 192u);
  EXPECT_EQ(f.GetPosition(), 16u);
  ASSERT_TRUE(f.WriteAt(190, 10, id.data()));
  EXPECT_EQ(f.GetEnd(), 200u);
}

TEST_F(DirectFileTest, ClosedObjectRefusesTransfers) {
  mDirectFile f;
  uint8_t byte = 0;
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(f.ReadAt(0, 1, &byte));
  EXPECT_FALSE(f.WriteAt(0, 1, &byte));
  EXPECT_FALSE(f.ResizeFromEnd(8));
  EXPECT_EQ(f.GetPosition(), kNoPosition);
}

TEST_F(DirectFileTest, ResizeFromEndCutsAndExtends) {
  mDirectFile f;
  const std::string path = dir_.Path("z.mf4");
  ASSERT_TRUE(f.CreateTruncate(dir_.WPath("z.mf4").c_str()));
  const std::vector<uint8_t> data(100, 7);
  ASSERT_TRUE(f.WriteAt(0, 100, data.data()));
  f.AllocateAtEnd(500);

  ASSERT_TRUE(f.ResizeFromEnd(-40));
  EXPECT_EQ(std::filesystem::file_size(path), 60u);
  EXPECT_EQ(f.GetEnd(), 60u);
  EXPECT_EQ(f.GetPosition(), 60u);

  ASSERT_TRUE(f.ResizeFromEnd(4000));
  EXPECT_EQ(std::filesystem::file_size(path), 4060u);
  EXPECT_EQ(f.GetEnd(), 4060u);
  uint8_t tail[8];
  ASSERT_TRUE(f.ReadAt(4052, 8, tail));
  EXPECT_EQ(tail[7], 0);

  EXPECT_FALSE(f.ResizeFromEnd(-4061)) << "below zero";
  EXPECT_EQ(std::filesystem::file_size(path), 4060u);
  ASSERT_TRUE(f.ResizeFromEnd(-4060));
  EXPECT_EQ(f.GetEnd(), 0u);
}

TEST_F(DirectFileTest, FailedOpenLeavesTheObjectClosed) {
  mDirectFile f;
  ASSERT_TRUE(f.CreateTruncate(dir_.WPath("held.mf4").c_str()));
  const std::vector<uint8_t> data(16, 1);
  ASSERT_TRUE(f.WriteAt(0, 16, data.data()));

  EXPECT_FALSE(f.OpenReadWrite(dir_.WPath("missing.mf4").c_str()));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.GetEnd(), 0u);
  EXPECT_EQ(f.GetPosition(), kNoPosition);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("missing.mf4")));

  // The earlier file was really released: another writer may now open it.
  mDirectFile other;
  ASSERT_TRUE(other.OpenReadWrite(dir_.WPath("held.mf4").c_str()));
  EXPECT_EQ(other.GetEnd(), 16u);
}

TEST_F(DirectFileTest, WriterExcludesOtherWritersButNotReaders) {
  const std::u16string name = dir_.WPath("shared.mf4");
  const std::string path = dir_.Path("shared.mf4");
  std::ofstream(path, std::ios::binary) << "MDF     4.00    ";

  mDirectFile writer;
  ASSERT_TRUE(writer.OpenReadWrite(name.c_str()));
  EXPECT_EQ(writer.GetEnd(), 16u);

  mDirectFile second;
  EXPECT_FALSE(second.CreateTruncate(name.c_str()));
  EXPECT_FALSE(second.OpenReadWrite(name.c_str()));
  EXPECT_EQ(ReadWhole(path), "MDF     4.00    ") << "a held file is never truncated";

  mDirectFile reader;
  ASSERT_TRUE(reader.OpenReadOnly(name.c_str()));
  char buf[8];
  EXPECT_FALSE(reader.ReadAt(10, 8, buf)) << "crosses the end";
  ASSERT_TRUE(reader.ReadAt(8, 8, buf));
  EXPECT_EQ(std::string(buf, 8), "4.00    ");
  EXPECT_EQ(reader.GetPosition(), 16u);

  writer.Close();
  EXPECT_EQ(writer.GetEnd(), 0u);
  ASSERT_TRUE(second.CreateTruncate(name.c_str()));
  EXPECT_EQ(second.GetEnd(), 0u);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

}  // namespace
