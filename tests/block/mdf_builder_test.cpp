// Smoke check of the test-side helpers other suites rely on: SHA-256 and the sidecar reader.
#include <gtest/gtest.h>

#include <string>

#include "sha256.h"
#include "sidecar.h"

namespace qm::test {
namespace {

TEST(TestSupportTest, Sha256AndSidecarWork) {
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  if (!HaveTestData()) GTEST_SKIP() << "testdata folder missing";
  Sidecar a;
  ASSERT_TRUE(LoadSidecar(TestDataPath("a_unsorted_dt.json"), &a));
  EXPECT_EQ(a.startTimeNs, 1700000000123456789ULL);
  ASSERT_EQ(a.dataGroups.size(), 1u);
  EXPECT_EQ(a.dataGroups[0].groups[0].name, "EngineFast");
}

}  // namespace
}  // namespace qm::test
