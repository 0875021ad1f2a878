// Two threads, each with its own handle and file, write at the same time and get two correct files.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "file/mdf4_file.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"
#include "stream/data_stream.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

constexpr int kCalls = 300;

// Writes kCalls interleaved calls to two groups; values depend on seed.
bool WriteFile(const std::string& path, double seed) {
  MDF4Handle h{};
  MDF4HeaderInfo info{"thread", "", "", "", "", ""};
  int64_t start = 0;
  bool ok = MDF4_Create(path.c_str(), &h, &info, &start) && MDF4_AddChannelGroup(&h, "A", true) &&
            MDF4_AddChannel(&h, "A", "a", "", 1, 0) && MDF4_AddChannelGroup(&h, "B", false) &&
            MDF4_AddChannel(&h, "B", "b", "", 1, 0);
  for (int i = 0; ok && i < kCalls; ++i) {
    const double a[2] = {seed + i, seed - i}, b[1] = {seed * i};
    ok = MDF4_AddChannelData1D(&h, "A", a, 1) && MDF4_AddChannelData1D(&h, "B", b, 1);
  }
  MDF4_Close(&h);
  return ok;
}

// The records of the file in order, each as (record ID, first value).
std::vector<std::pair<uint16_t, double>> ReadRecords(const std::string& path) {
  std::vector<std::pair<uint16_t, double>> out;
  MDF4File file;
  m4DataStream reader;
  std::unique_ptr<M4DGBlock> dg;
  const std::u16string name = os::NarrowToWide(path.c_str());
  if (!file.OpenForInspection(name.c_str()) ||
      !(dg = LoadAs<M4DGBlock>(&file.Direct(), file.HD().GetLink(fmt::kHdDgFirst), fmt::kDG)) ||
      !reader.OpenForRead(&file.Direct(), dg->GetLink(fmt::kDgData)))
    return out;
  for (uint8_t record[2 + 16]; reader.ReadBytes(2, record) == 2;) {
    const int32_t size = LoadLE16(record) == 1 ? 16 : 8;  // group A holds two values, B one
    if (reader.ReadBytes(size, record + 2) != size) break;
    out.emplace_back(LoadLE16(record), LoadLEDouble(record + 2));
  }
  return out;
}

TEST(IndependentHandles, TwoThreadsWriteTwoCorrectFiles) {
  TempDir dir;
  const std::string first = dir.Path("first.mf4"), second = dir.Path("second.mf4");
  bool ok1 = false, ok2 = false;
  std::thread t1([&] { ok1 = WriteFile(first, 1000.0); }), t2([&] { ok2 = WriteFile(second, -5.0); });
  t1.join();
  t2.join();
  ASSERT_TRUE(ok1 && ok2);
  for (const auto& [path, seed] : {std::pair{first, 1000.0}, std::pair{second, -5.0}}) {
    const auto records = ReadRecords(path);
    ASSERT_EQ(records.size(), 2u * kCalls) << path;
    for (int i = 0; i < kCalls; ++i) {
      EXPECT_EQ(records[2 * i], (std::pair<uint16_t, double>{1, seed + i})) << path << " " << i;
      EXPECT_EQ(records[2 * i + 1], (std::pair<uint16_t, double>{2, seed * i})) << path << " " << i;
    }
  }
}

}  // namespace
}  // namespace qm::test
