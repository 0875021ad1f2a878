// Tests of MDF4File: identification block and HD of a new file, validation on open, growing chains, cycle counters.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/hierarchy_blocks.h"
#include "block/text_block.h"
#include "file/mdf4_file.h"
#include "mdf_builder.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using qm::test::MdfBuilder;
using Bytes = std::vector<uint8_t>;

class MDF4FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  std::u16string W(const char* name) const { return dir_.WPath(name); }
  Bytes Disk(const char* name) const {
    Bytes d;
    EXPECT_TRUE(qm::test::ReadFileBytes(dir_.Path(name), &d));
    return d;
  }
  static uint64_t U64(const Bytes& d, uint64_t pos) { return qm::LoadLE64(&d[pos]); }
  static uint64_t Link(const Bytes& d, uint64_t block, int i) { return U64(d, block + 24 + 8 * i); }

  qm::test::TempDir dir_;
};

TEST_F(MDF4FileTest, CreateWritesIdentificationBlockAndEmptyHeader) {
  MDF4File file;
  ASSERT_TRUE(file.Create(W("a.mf4").c_str(), "Brenik", 400));
  EXPECT_EQ(file.HD().GetPosition(), 64u);
  file.Close();

  const Bytes d = Disk("a.mf4");
  ASSERT_EQ(d.size(), 168u);
  Bytes id(64, 0);
  std::memcpy(&id[0], "MDF     4.00    Brenik  ", 24);
  id[28] = 400 & 0xFF;
  id[29] = 400 >> 8;
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 64), id);
  EXPECT_EQ(std::string(d.begin() + 64, d.begin() + 68), "##HD");
  EXPECT_EQ(U64(d, 72), 104u);
  EXPECT_EQ(U64(d, 80), 6u);
  EXPECT_EQ(Bytes(d.begin() + 88, d.end()), Bytes(48 + 32, 0)) << "six zero links, zero record";
}

TEST_F(MDF4FileTest, OpenValidatesIdentificationAndHeader) {
  auto opens = [&](const MdfBuilder& m) {
    EXPECT_TRUE(m.WriteTo(dir_.Path("x.mf4")));
    MDF4File file;
    const bool ok = file.Open(W("x.mf4").c_str());
    EXPECT_EQ(file.Direct().IsOpen(), ok);
    return ok;
  };
  EXPECT_TRUE(opens(MdfBuilder(400)));
  EXPECT_TRUE(opens(MdfBuilder(410)));
  EXPECT_FALSE(opens(MdfBuilder(399))) << "id_ver below 400 although the id is right";

  MdfBuilder magic, truncated, noHeader, wrongType, badLength;
  std::memcpy(&magic.Bytes()[0], "MDF4    ", 8);
  truncated.Bytes().resize(40);
  noHeader.Bytes().resize(64);
  wrongType.Bytes()[66] = 'D';
  wrongType.Bytes()[67] = 'G';
  badLength.SetBlockLength(64, 1000);
  EXPECT_FALSE(opens(magic));
  EXPECT_FALSE(opens(truncated));
  EXPECT_FALSE(opens(noHeader));
  EXPECT_FALSE(opens(wrongType));
  EXPECT_FALSE(opens(badLength));

  MDF4File none;
  EXPECT_FALSE(none.Open(W("does-not-exist.mf4").c_str()));
}

// The parent's first link is set in memory only; the previous element's link 0 is rewritten
// on disk at once.
TEST_F(MDF4FileTest, ChainLinksReachDiskWhenTheirBlockIsWritten) {
  MDF4File file;
  ASSERT_TRUE(file.Create(W("c.mf4").c_str(), "Brenik", 400));
  M4DGBlock* first = file.HD().AddDG(new M4DGBlock(2));
  ASSERT_EQ(first->GetPosition(), 168u);
  M4DGBlock* second = file.HD().AddDG(new M4DGBlock(2));
  ASSERT_EQ(second->GetPosition(), 232u);
  EXPECT_EQ(file.HD().GetLink(f::kHdDgFirst), 168u);
  EXPECT_EQ(file.HD().LastDG(), second);
  Bytes d = Disk("c.mf4");
  EXPECT_EQ(Link(d, 168, f::kDgNext), 232u);
  EXPECT_EQ(Link(d, 64, f::kHdDgFirst), 0u) << "the HD is not written by AddDG";
  ASSERT_TRUE(file.HD().Write(BlockParts::kAll));
  EXPECT_EQ(Link(Disk("c.mf4"), 64, f::kHdDgFirst), 168u);

  // Releasing the newest channel group writes the data group in full, and with it its
  // first-group link.
  ASSERT_EQ(second->AddCG(new M4CGBlock(1))->GetPosition(), 296u);
  EXPECT_EQ(Link(Disk("c.mf4"), 232, f::kDgCgFirst), 0u);
  second->ReleaseLastCG();
  EXPECT_EQ(second->LastCG(), nullptr);
  EXPECT_EQ(Link(Disk("c.mf4"), 232, f::kDgCgFirst), 296u);

  // A history entry placed before its comment keeps its position; a second comment is refused.
  auto* fh = new M4FHBlock;
  ASSERT_EQ(fh->Place(&file.Direct(), BlockParts::kNone), 400u);
  M4MDBlock comment(u"<FHcomment/>"), again(u"x");
  EXPECT_TRUE(fh->SetComment(&comment));
  EXPECT_EQ(fh->GetLink(f::kFhMdComment), 456u);
  EXPECT_FALSE(fh->SetComment(&again));
  EXPECT_EQ(again.GetPosition(), 0u);
  EXPECT_EQ(file.HD().AddFH(fh)->GetPosition(), 400u);
  EXPECT_EQ(Link(Disk("c.mf4"), 400, f::kFhMdComment), 456u);
}

TEST_F(MDF4FileTest, CycleCountersPatchOnlyTheCountField) {
  MDF4File file;
  ASSERT_TRUE(file.Create(W("k.mf4").c_str(), "Brenik", 400));
  M4DGBlock* dg = file.HD().AddDG(new M4DGBlock(2));
  M4CGBlock* one = dg->AddCG(new M4CGBlock(1));
  const uint64_t onePos = one->GetPosition();
  file.RegisterCycleCounter(*one, 1);
  EXPECT_EQ(file.Counters().Find(1)->countPosition, onePos + 24 + 48 + 8);
  file.AddCycles(1, 6);
  file.FlushCycleCounters();
  // Appending the next group rewrites the previous one's head; its writer keeps the count
  // in the object current, so the count on disk survives.
  one->cg_cycle_count = file.Counters().Find(1)->count;
  M4CGBlock* two = dg->AddCG(new M4CGBlock(2));
  const uint64_t twoPos = two->GetPosition();
  Bytes d = Disk("k.mf4");
  EXPECT_EQ(Link(d, onePos, f::kCgNext), twoPos);
  EXPECT_EQ(U64(d, onePos + 24 + 48 + 8), 6u);

  file.RegisterCycleCounter(*two, 1);  // the same key: the second group replaces the first
  file.RegisterCycleCounter(*two, 2);  // count 0: never written
  EXPECT_EQ(file.Counters().Entries().size(), 2u);
  EXPECT_EQ(file.Counters().Find(1)->countPosition, twoPos + 24 + 48 + 8);
  file.AddCycles(1, 10);
  file.AddCycles(1, 0xFFFFFFFFu);
  file.AddCycles(9, 3);
  EXPECT_EQ(file.Counters().Find(9), nullptr) << "an unknown key changes nothing";

  file.FlushCycleCounters();
  const Bytes after = Disk("k.mf4");
  ASSERT_EQ(after.size(), d.size());
  EXPECT_EQ(U64(after, twoPos + 24 + 48 + 8), uint64_t{10} + 0xFFFFFFFFu);
  size_t changed = 0;
  for (size_t i = 0; i < after.size(); ++i) changed += after[i] != d[i];
  EXPECT_LE(changed, 8u) << "nothing but the one count field";
}

}  // namespace
