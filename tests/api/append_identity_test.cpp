// The appending stream kept across data calls writes exactly the bytes of a stream per call.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/file_context.h"
#include "mdf_builder.h"
#include "quillmark/quillmark.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

// One call of a scenario: a data call (group, count), a new group, or close-and-reopen.
struct Step {
  enum Kind { kData, kGroup, kReopen } kind;
  int group;
  uint32_t count;
};

// Writes the steps to a new file at path; keepAppender selects the kept stream or a stream per call.
void Write(const std::string& path, const std::vector<Step>& steps, bool keepAppender) {
  MDF4HeaderInfo info{"identity", "qa", "quillmark", "kept stream", "clock", "c"};
  MDF4Handle h{};
  int64_t start = 133000000000000000LL;  // a fixed start time: both files carry the same
  ASSERT_TRUE(MDF4_Create(path.c_str(), &h, &info, &start));
  h.file->keepAppender = keepAppender;
  std::vector<int> widths;
  auto name = [](int g) { return "G" + std::to_string(g); };
  auto addGroup = [&]() {
    const int g = static_cast<int>(widths.size());
    widths.push_back(1 + g % 4);
    ASSERT_TRUE(MDF4_AddChannelGroup(&h, name(g).c_str(), g % 2 == 0));
    for (int c = g % 2 == 0 ? 1 : 0; c < widths.back(); ++c)
      ASSERT_TRUE(MDF4_AddChannel(&h, name(g).c_str(), "x", "u", 1.0 + c, 0.0));
  };
  addGroup();
  addGroup();
  double base = 0;
  bool reopened = false;  // a reopened file takes no new groups
  for (const Step& s : steps) {
    if (s.kind == Step::kGroup && !reopened) {
      addGroup();
    } else if (s.kind == Step::kReopen) {
      reopened = true;
      MDF4_Close(&h);
      ASSERT_TRUE(MDF4_Create(path.c_str(), &h, &info, &start));
      h.file->keepAppender = keepAppender;
    } else if (s.kind == Step::kData) {
      const int g = s.group % static_cast<int>(widths.size());
      std::vector<double> v(static_cast<size_t>(s.count) * widths[g]);
      for (double& x : v) x = base++;
      ASSERT_TRUE(MDF4_AddChannelData1D(&h, name(g).c_str(), v.data(), s.count)) << name(g) << " " << h.errorCode;
    }
  }
  MDF4_Close(&h);
}

void ExpectSameBytes(const std::vector<Step>& steps) {
  TempDir dir;
  const std::string kept = dir.Path("kept.mf4"), perCall = dir.Path("per-call.mf4");
  Write(kept, steps, true);
  Write(perCall, steps, false);
  std::vector<uint8_t> a, b;
  ASSERT_TRUE(ReadFileBytes(kept, &a) && ReadFileBytes(perCall, &b));
  EXPECT_TRUE(a == b) << a.size() << " bytes with the kept stream, " << b.size() << " with one per call";
}

TEST(AppendIdentity, SmallCallsGroupsBetweenCallsAndReopening) {
  std::mt19937 random(7);
  std::vector<Step> steps;
  for (int i = 0; i < 300; ++i) {
    const int r = static_cast<int>(random() % 100);
    if (r < 4) steps.push_back({Step::kGroup, 0, 0});
    else if (r < 5 && i > 200) steps.push_back({Step::kReopen, 0, 0});
    else steps.push_back({Step::kData, static_cast<int>(random() % 1000), static_cast<uint32_t>(random() % 50)});
  }
  ExpectSameBytes(steps);
}

TEST(AppendIdentity, BlockAndListBoundaries) {
  // A record of group 1 is 2 + 16 bytes; 4 MiB blocks fill after 233016.9 records, so these
  // calls end just before, on and after block ends and run past five blocks (a second list).
  ExpectSameBytes({{Step::kData, 1, 233016}, {Step::kData, 0, 1}, {Step::kData, 1, 1}, {Step::kGroup, 0, 0},
                   {Step::kData, 1, 500000}, {Step::kReopen, 0, 0}, {Step::kData, 1, 466000}, {Step::kData, 0, 0},
                   {Step::kGroup, 0, 0}, {Step::kData, 2, 3}, {Step::kData, 1, 10}});
}

}  // namespace
}  // namespace qm::test
