// Tests of MDF4File: the identification block and the header are validated on open.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "file/mdf4_file.h"
#include "mdf_builder.h"
#include "temp_dir.h"

namespace {

using qm::test::MdfBuilder;

TEST(MDF4FileTest, OpenValidatesIdentificationAndHeader) {
  qm::test::TempDir dir;
  MdfBuilder v410(410), v399(399), magic, truncated, noHeader, wrongType, badLength;
  std::memcpy(&magic.Bytes()[0], "MDF4    ", 8);
  truncated.Bytes().resize(40);
  noHeader.Bytes().resize(64);
  wrongType.Bytes()[66] = 'D';
  wrongType.Bytes()[67] = 'G';
  badLength.SetBlockLength(64, 1000);
  const std::pair<const MdfBuilder*, bool> cases[] = {{&v410, true},       {&v399, false},    {&magic, false},
                                                      {&truncated, false}, {&noHeader, false}, {&wrongType, false},
                                                      {&badLength, false}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    ASSERT_TRUE(cases[i].first->WriteTo(dir.Path("x.mf4")));
    MDF4File file;
    EXPECT_EQ(file.Open(dir.WPath("x.mf4").c_str()), cases[i].second) << "case " << i;
    EXPECT_EQ(file.Direct().IsOpen(), cases[i].second) << "case " << i;
  }
  MDF4File none;
  EXPECT_FALSE(none.Open(dir.WPath("does-not-exist.mf4").c_str()));
}

}  // namespace
