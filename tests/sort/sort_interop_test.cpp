// Sorting files written by other tools: the copy's records and values against the testdata sidecars.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "block/byte_order.h"
#include "block/format.h"
#include "mdf_builder.h"
#include "sha256.h"
#include "sidecar.h"
#include "sort/sort_driver.h"
#include "sort_test_support.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

// Copies a testdata file into dir (the sort opens its source for writing) and sorts it.
bool SortCopy(const TempDir& dir, const std::string& name, std::string* out) {
  MdfBuilder source;
  EXPECT_TRUE(ReadFileBytes(TestDataPath(name + ".mf4"), &source.Bytes()));
  EXPECT_TRUE(source.WriteTo(dir.Path("src.mf4")));
  testing::internal::CaptureStdout();
  const bool ok = SortFile(dir.WPath("src.mf4").c_str(), dir.WPath("dst.mf4").c_str());
  *out = testing::internal::GetCapturedStdout();
  return ok;
}

class SortInteropTest : public ::testing::TestWithParam<const char*> {};

TEST_P(SortInteropTest, EveryGroupGetsItsRecordsAndValues) {
  if (!HaveTestData()) GTEST_SKIP() << "no testdata folder";
  Sidecar sidecar;
  ASSERT_TRUE(LoadSidecar(TestDataPath(std::string(GetParam()) + ".json"), &sidecar));
  TempDir dir;
  std::string out;
  ASSERT_TRUE(SortCopy(dir, GetParam(), &out));
  const MdfBuilder m = LoadImage(dir.Path("dst.mf4"));
  const auto dgs = ChainOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdDgFirst));
  ASSERT_EQ(dgs.size(), sidecar.ChannelGroupCount());

  size_t i = 0;
  for (size_t d = 0; d < sidecar.dataGroups.size(); ++d) {
    for (size_t g = 0; g < sidecar.dataGroups[d].groups.size(); ++g) {
      const SidecarGroup& sg = sidecar.dataGroups[d].groups[g];
      SCOPED_TRACE(sg.name);
      const uint64_t cg = m.GetLink(dgs[i], fmt::kDgCgFirst);
      EXPECT_EQ(Field64(m, m.DataPos(cg)), i + 1);
      EXPECT_EQ(Field64(m, m.DataPos(cg) + 8), sg.cycleCount);
      EXPECT_EQ(TextOf(m, m.GetLink(cg, fmt::kCgTxAcqName)), sg.name);
      const uint32_t size = LoadLE32(&m.Bytes()[m.DataPos(cg) + 24]);
      const std::vector<uint8_t> records = DataOf(m, m.GetLink(dgs[i++], fmt::kDgData));
      ASSERT_EQ(records.size(), sg.cycleCount * size);
      if (!sg.recordsSha256.empty()) {
        EXPECT_EQ(Sha256Hex(records), sg.recordsSha256);
      }

      const auto cns = ChainOf(m, m.GetLink(cg, fmt::kCgCnFirst));
      ASSERT_EQ(cns.size(), sg.channels.size());
      for (size_t c = 0; c < cns.size(); ++c) {
        const SidecarChannel& sc = sg.channels[c];
        EXPECT_EQ(TextOf(m, m.GetLink(cns[c], fmt::kCnTxName)), sc.name);
        EXPECT_EQ(m.GetLink(cns[c], fmt::kCnCcConversion) != 0, sc.conversionType == fmt::kCcTypeLinear)
            << sc.name;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, SortInteropTest,
                         ::testing::Values("a_unsorted_dt", "b_unsorted_dl_chain", "c_unsorted_hl_dz_deflate",
                                           "other_writer_unsorted_2cg"));

TEST(SortInterop, AlreadySortedFileFailsInItsFirstGroup) {
  if (!HaveTestData()) GTEST_SKIP() << "no testdata folder";
  TempDir dir;
  std::string out;
  // Record ID size 0: every record reads as ID 0, which the first group (ID 1) does not declare.
  EXPECT_FALSE(SortCopy(dir, "h_sorted", &out));
  EXPECT_EQ(out.rfind("processing 1 channel groups ...\ncopy channel group 'EngineFast' ...\n... done (", 0), 0u);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);
  const MdfBuilder m = LoadImage(dir.Path("dst.mf4"));
  EXPECT_EQ(ChainOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdDgFirst)).size(), 1u);
}

}  // namespace
}  // namespace qm::test
