// Helpers of the sort suites: running a sort, and reading sorted copies with the test-side writer's view of the bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "block/byte_order.h"
#include "block/format.h"
#include "mdf_builder.h"
#include "sort/sort_driver.h"
#include "temp_dir.h"

namespace qm::test {

// What a sort returned and printed; the elapsed time of each "... done (x s)" line is checked
// and dropped, so that two runs compare line by line.
struct SortRun {
  bool result = false;
  std::vector<std::string> lines;  // stdout
  std::string errors;              // stderr
};

inline SortRun RunSort(const TempDir& dir, const std::string& source, const std::string& destination,
                       const SortOptions& options = {}) {
  SortRun run;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run.result = SortFile(dir.WPath(source).c_str(), dir.WPath(destination).c_str(), options);
  const std::string out = testing::internal::GetCapturedStdout();
  run.errors = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(out.empty() || out.back() == '\n');
  std::istringstream in(out);
  const std::regex done(R"(\.\.\. done \([0-9]+\.[0-9]{6} s\))");
  for (std::string line; std::getline(in, line);)
    run.lines.push_back(std::regex_match(line, done) ? "... done" : line);
  return run;
}

// Writes the image into dir and returns name.
inline std::string WriteImage(const TempDir& dir, const MdfBuilder& m, const std::string& name) {
  EXPECT_TRUE(m.WriteTo(dir.Path(name)));
  return name;
}

inline std::vector<uint64_t> DataGroupsOf(const MdfBuilder& m) {
  return ChainOf(m, m.GetLink(fmt::kHDPosition, fmt::kHdDgFirst));
}

// The record bytes behind a data link of a sorted copy: a ##DL chain of ##DT blocks.
inline std::vector<uint8_t> DataOf(const MdfBuilder& m, uint64_t link) {
  std::vector<uint8_t> out;
  auto appendDT = [&](uint64_t dt) {
    EXPECT_EQ(BlockId(m, dt), "##DT");
    const uint64_t length = Field64(m, dt + fmt::kHeaderLengthOffset);
    const auto* p = &m.Bytes()[dt + fmt::kBlockHeaderSize];
    out.insert(out.end(), p, p + (length - fmt::kBlockHeaderSize));
  };
  if (BlockId(m, link) == "##DT") {
    appendDT(link);
    return out;
  }
  for (uint64_t dl : ChainOf(m, link)) {
    EXPECT_EQ(BlockId(m, dl), "##DL");
    const uint32_t count = LoadLE32(&m.Bytes()[m.DataPos(dl) + 4]);
    for (uint32_t i = 1; i <= count; ++i) appendDT(m.GetLink(dl, static_cast<int>(i)));
  }
  return out;
}

// Distinct record contents: n bytes derived from seed.
inline std::vector<uint8_t> Payload(uint64_t seed, size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (seed >> 8));
  return out;
}

}  // namespace qm::test
