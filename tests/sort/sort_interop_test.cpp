// Sorting files written by other tools: the copy's records and values against the testdata sidecars.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sha256.h"
#include "sidecar.h"
#include "sort_test_support.h"

namespace qm::test {
namespace {

// Copies a testdata file into dir (the sort opens its source for writing) and sorts it.
SortRun SortCopy(const TempDir& dir, const std::string& name) {
  MdfBuilder source;
  EXPECT_TRUE(ReadFileBytes(TestDataPath(name + ".mf4"), &source.Bytes()));
  return RunSort(dir, WriteImage(dir, source, "src.mf4"), "dst.mf4");
}

class SortInteropTest : public ::testing::TestWithParam<const char*> {};

TEST_P(SortInteropTest, EveryGroupGetsItsRecordsAndValues) {
  if (!HaveTestData()) GTEST_SKIP() << "no testdata folder";
  Sidecar sidecar;
  ASSERT_TRUE(LoadSidecar(TestDataPath(std::string(GetParam()) + ".json"), &sidecar));
  TempDir dir;
  ASSERT_TRUE(SortCopy(dir, GetParam()).result);
  const MdfBuilder m = LoadImage(dir.Path("dst.mf4"));
  const auto dgs = DataGroupsOf(m);
  ASSERT_EQ(dgs.size(), sidecar.ChannelGroupCount());

  size_t i = 0;
  for (const SidecarDataGroup& sd : sidecar.dataGroups) {
    for (const SidecarGroup& sg : sd.groups) {
      SCOPED_TRACE(sg.name);
      const uint64_t cg = m.GetLink(dgs[i], fmt::kDgCgFirst);
      EXPECT_EQ(Field64(m, m.DataPos(cg)), i + 1);
      EXPECT_EQ(Field64(m, m.DataPos(cg) + 8), sg.cycleCount);
      EXPECT_EQ(TextOf(m, m.GetLink(cg, fmt::kCgTxAcqName)), sg.name);
      const uint32_t size = LoadLE32(&m.Bytes()[m.DataPos(cg) + 24]);
      const std::vector<uint8_t> records = DataOf(m, m.GetLink(dgs[i++], fmt::kDgData));
      ASSERT_EQ(records.size(), sg.cycleCount * size);
      if (!sg.recordsSha256.empty()) { EXPECT_EQ(Sha256Hex(records), sg.recordsSha256); }

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
  // Record ID size 0: every record reads as ID 0, which the first group (ID 1) does not declare.
  const SortRun run = SortCopy(dir, "h_sorted");
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.lines, (std::vector<std::string>{"processing 1 channel groups ...",
                                                 "copy channel group 'EngineFast' ...", "... done"}));
  EXPECT_EQ(DataGroupsOf(LoadImage(dir.Path("dst.mf4"))).size(), 1u);
}

}  // namespace
}  // namespace qm::test
