// Tests of the block factory: every block type read back as its own class, and hostile headers refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "block/block.h"
#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/descriptive_blocks.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "block/list_blocks.h"
#include "block/text_block.h"
#include "file/direct_file.h"
#include "mdf_builder.h"
#include "stream/data_block.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using qm::test::MdfBuilder;
using qm::test::TempDir;

class BlockFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }

  // A new file with a 64-byte stand-in identification block, for blocks placed by the library.
  void CreateFile() {
    ASSERT_TRUE(file_.CreateTruncate(dir_.WPath("w.mf4").c_str()));
    const std::vector<uint8_t> id(f::kIdBlockSize, 0);
    ASSERT_TRUE(file_.WriteAt(0, f::kIdBlockSize, id.data()));
  }
  // Writes the builder's image and opens it.
  void OpenImage(const MdfBuilder& m) {
    ASSERT_TRUE(m.WriteTo(dir_.Path("r.mf4")));
    ASSERT_TRUE(file_.OpenReadWrite(dir_.WPath("r.mf4").c_str()));
  }

  TempDir dir_;
  mDirectFile file_;
};

std::vector<uint8_t> VarBytes(m4Block& b) {
  uint64_t size = b.GetVarSize();
  if (size == 0) return {};
  const uint8_t* p = b.GetVarChunk(0, size);
  if (p == nullptr) return {};
  return std::vector<uint8_t>(p, p + size);
}

std::vector<uint64_t> Links(const m4Block& b) {
  std::vector<uint64_t> out;
  for (uint32_t i = 0; i < b.GetLinkCount(); ++i) out.push_back(b.GetLink(i));
  return out;
}

// Loaded and original agree in everything the file holds.
void ExpectSameBlock(m4Block& original, m4Block& loaded) {
  EXPECT_EQ(loaded.GetType(), original.GetType());
  EXPECT_EQ(loaded.GetPosition(), original.GetPosition());
  EXPECT_EQ(loaded.GetHeaderLength(), original.GetHeaderLength());
  EXPECT_EQ(loaded.GetHeaderLinkCount(), original.GetLinkCount());
  EXPECT_EQ(Links(loaded), Links(original));
  ASSERT_EQ(loaded.GetFixedSize(), original.GetFixedSize());
  if (original.GetFixedSize() != 0)
    EXPECT_EQ(std::memcmp(loaded.GetFixedData(), original.GetFixedData(), original.GetFixedSize()), 0);
  EXPECT_EQ(loaded.GetVarSize(), original.GetVarSize());
  EXPECT_EQ(VarBytes(loaded), VarBytes(original));
}

struct Case {
  std::string name;
  std::unique_ptr<m4Block> block;
  const std::type_info* loadedClass;
};

std::vector<Case> EveryBlockType() {
  std::vector<Case> cases;
  auto add = [&](const char* name, m4Block* b, const std::type_info& cls) {
    cases.push_back({name, std::unique_ptr<m4Block>(b), &cls});
  };
  auto* fh = new M4FHBlock;
  fh->fh_time_ns = 1234567890123456789ULL;
  fh->fh_tz_offset_min = 60;
  fh->fh_dst_offset_min = -60;
  fh->fh_time_flags = 2;
  fh->SetLink(f::kFhMdComment, 0x1000);
  add("FH", fh, typeid(M4FHBlock));

  auto* dg = new M4DGBlock(2);
  dg->SetLink(f::kDgData, 0x2000);
  add("DG", dg, typeid(M4DGBlock));

  auto* cg = new M4CGBlock(3);
  cg->cg_cycle_count = 77;
  cg->cg_flags = 1;
  cg->cg_data_bytes = 16;
  cg->cg_inval_bytes = 1;
  cg->SetLink(f::kCgTxAcqName, 0x3000);
  add("CG", cg, typeid(M4CGBlock));

  auto* cn = new M4CNBlock;
  cn->cn_type = f::kCnTypeMaster;
  cn->cn_sync_type = f::kCnSyncTime;
  cn->cn_data_type = f::kCnDataTypeFloatLE;
  cn->cn_byte_offset = 8;
  cn->cn_bit_count = 64;
  cn->cn_limit_ext_max = 1e300;
  for (uint32_t i = 0; i < 8; ++i) cn->SetLink(i, 0x100 * (i + 1));
  add("CN", cn, typeid(M4CNBlock));

  // A linear conversion comes back as the plain conversion class.
  auto* cc = new M4CCLinear(2.5, -1.0);
  cc->SetLink(f::kCcInverse, 0x4000);
  add("CC", cc, typeid(M4CCBlock));

  auto* tx = new M4TXBlock;
  tx->appendBytes("Time", 4);
  add("TX", tx, typeid(M4TXBlock));
  add("MD", new M4MDBlock(u"<HDcomment><TX>\u00e9</TX></HDcomment>"), typeid(M4MDBlock));

  auto* si = new M4SIBlock;
  si->si_type = 2;
  si->si_bus_type = 3;
  si->SetLink(2, 0x5000);
  add("SI", si, typeid(M4SIBlock));

  auto* at = new M4ATBlock;
  at->at_flags = 1;
  at->at_md5_checksum[15] = 0xEE;
  at->at_original_size = 12345;
  add("AT", at, typeid(M4ATBlock));

  auto* ev = new M4EVBlock(4);
  ev->ev_sync_base_value = -5;
  ev->ev_sync_factor = 0.5;
  ev->SetLink(6, 0x6000);  // a scope link beyond the five of construction
  add("EV", ev, typeid(M4EVBlock));

  auto* ch = new M4CHBlock;
  ch->ch_element_count = 2;
  ch->SetLink(4, 0x7000);
  ch->SetLink(5, 0x7100);
  add("CH", ch, typeid(M4CHBlock));

  auto* ca = new M4CABlock;
  ca->ca_ndim = 2;
  ca->ca_byte_offset_base = -8;
  ca->var = {3, 4};
  add("CA", ca, typeid(M4CABlock));

  auto* sr = new M4SRBlock;
  sr->sr_cycle_count = 9;
  sr->sr_interval = 0.1;
  sr->sr_sync_type = 1;
  add("SR", sr, typeid(M4SRBlock));

  auto* dl = new M4DLBlock(f::kListEntries, f::kDataBlockCapacity);
  dl->AddDataBlock(0x8000);
  dl->AddDataBlock(0x9000);
  add("DL", dl, typeid(M4DLBlock));

  auto* hl = new M4HLBlock;
  hl->hl_flags = 1;
  hl->hl_zip_type = 1;
  hl->SetLink(f::kHlDlFirst, 0xA000);
  add("HL", hl, typeid(M4HLBlock));

  auto* dz = new M4DZBlock;
  std::memcpy(dz->dz_org_block_type, "DT", 2);
  dz->dz_zip_type = 1;
  dz->dz_zip_parameter = 10;
  dz->dz_org_data_length = 100;
  dz->dz_data_length = 5;
  dz->var = {1, 2, 3, 4, 5};
  add("DZ", dz, typeid(M4DZBlock));

  const uint8_t bytes[5] = {9, 8, 7, 6, 5};
  auto* dt = new M4DTBlock(16);
  dt->Append(5, bytes);
  add("DT", dt, typeid(M4DTBlock));
  auto* sd = new M4SDBlock(16);
  sd->Append(3, bytes);
  add("SD", sd, typeid(M4SDBlock));
  auto* rd = new M4RDBlock(16);
  rd->Append(1, bytes);
  add("RD", rd, typeid(M4RDBlock));
  return cases;
}

TEST_F(BlockFactoryTest, EveryBlockTypeReadsBackAsItsOwnClass) {
  CreateFile();
  std::vector<Case> cases = EveryBlockType();
  for (Case& c : cases) ASSERT_NE(c.block->Place(&file_, m4Block::kPlaceAll), 0u) << c.name;
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<m4Block> loaded = LoadBlock(&file_, c.block->GetPosition());
    ASSERT_NE(loaded, nullptr);
    m4Block& ref = *loaded;
    EXPECT_EQ(typeid(ref), *c.loadedClass);
    EXPECT_EQ(loaded->GetFile(), &file_);
    ExpectSameBlock(*c.block, *loaded);
  }
}

TEST_F(BlockFactoryTest, WrittenListHasTheLengthItsEntriesGive) {
  CreateFile();
  M4DLBlock dl(f::kListEntries, f::kDataBlockCapacity);
  dl.AddDataBlock(0x100);
  dl.AddDataBlock(0x200);
  const uint64_t pos = dl.Place(&file_, m4Block::kPlaceAll);
  auto loaded = LoadAs<M4DLBlock>(&file_, pos, f::kDL);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->GetHeaderLength(), 24u + 24u + 8u + 8u);
  EXPECT_EQ(loaded->GetLinkCount(), 3u);
  EXPECT_EQ(loaded->dl_flags, f::kDlFlagEqualLength);
  EXPECT_EQ(loaded->dl_count, 2u);
  uint64_t equal = 0;
  ASSERT_TRUE(loaded->EqualLength(&equal));
  EXPECT_EQ(equal, f::kDataBlockCapacity);
}

TEST_F(BlockFactoryTest, ShortRecordLeavesTheRestZero) {
  MdfBuilder m;
  // A CN whose length covers its links and only 10 of its 72 record bytes.
  const uint64_t cn = m.AddBlock("CN", std::vector<uint64_t>(8, 0), std::vector<uint8_t>(10, 0xFF));
  // Links only: no record bytes at all.
  const uint64_t cg = m.AddBlock("CG", std::vector<uint64_t>(6, 0), {});
  // Record plus five bytes more: they become the variable part.
  std::vector<uint8_t> dgData(8 + 5, 0xCC);
  dgData[0] = 2;
  const uint64_t dg = m.AddBlock("DG", std::vector<uint64_t>(4, 0), dgData);
  OpenImage(m);

  auto c = LoadAs<M4CNBlock>(&file_, cn, f::kCN);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cn_type, 0xFF);
  EXPECT_EQ(c->cn_bit_count, 0xFFFFu) << "two bytes from the file, two zero";
  EXPECT_EQ(c->cn_flags, 0u);
  EXPECT_EQ(c->cn_limit_ext_max, 0.0);
  EXPECT_EQ(c->GetVarSize(), 0u);

  auto g = LoadAs<M4CGBlock>(&file_, cg, f::kCG);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->GetLinkCount(), 6u);
  EXPECT_EQ(g->cg_record_id, 0u);
  EXPECT_EQ(g->cg_data_bytes, 0u);

  auto d = LoadAs<M4DGBlock>(&file_, dg, f::kDG);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->dg_rec_id_size, 2);
  EXPECT_EQ(d->var, std::vector<uint8_t>(5, 0xCC));
}

TEST_F(BlockFactoryTest, ConversionWithFiveValuesHoldsFiveDoubles) {
  MdfBuilder m;
  const uint64_t cc = m.AddCC(7, {1.0, 2.0, 3.0, 4.0, 5.5});
  OpenImage(m);
  std::unique_ptr<m4Block> b = LoadBlock(&file_, cc);
  ASSERT_NE(b, nullptr);
  m4Block& ref = *b;
  ASSERT_EQ(typeid(ref), typeid(M4CCBlock));
  auto& conv = static_cast<M4CCBlock&>(*b);
  EXPECT_EQ(conv.cc_type, 7);
  EXPECT_EQ(conv.cc_val_count, 5);
  EXPECT_EQ(conv.var, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.5}));
  EXPECT_EQ(conv.GetVarSize(), 40u);
}

TEST_F(BlockFactoryTest, ListWithOffsetsKeepsEveryValueAndLink) {
  MdfBuilder m;
  const uint64_t a = m.AddDT(std::vector<uint8_t>(10, 1));
  const uint64_t b = m.AddDT(std::vector<uint8_t>(20, 2));
  const uint64_t c = m.AddDT(std::vector<uint8_t>(30, 3));
  const uint64_t dl = m.AddDL({a, b, c}, 0, /*equalLength=*/false);
  OpenImage(m);
  auto list = LoadAs<M4DLBlock>(&file_, dl, f::kDL);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->dl_flags, 0);
  EXPECT_EQ(list->dl_count, 3u);
  EXPECT_EQ(Links(*list), (std::vector<uint64_t>{0, a, b, c}));
  EXPECT_EQ(list->var, (std::vector<uint64_t>{0, 10, 30}));
  uint64_t equal = 0;
  EXPECT_FALSE(list->EqualLength(&equal)) << "offsets are not an equal length";
}

TEST_F(BlockFactoryTest, CompressedBlockShorterThanItsStatedPayloadStillLoads) {
  MdfBuilder m;
  const uint64_t dz = m.AddDZ(std::vector<uint8_t>(64, 0x42), f::kZipDeflate, 0);
  ASSERT_NE(dz, 0u);
  const uint64_t payload = qm::LoadLE64(&m.Bytes()[m.DataPos(dz) + 16]);  // dz_data_length
  ASSERT_NE(payload, 0u);
  m.SetDZLengths(dz, 64, payload + 100);
  OpenImage(m);
  auto z = LoadAs<M4DZBlock>(&file_, dz, f::kDZ);
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(z->dz_data_length, payload + 100);
  EXPECT_EQ(z->var.size(), payload);
}

TEST_F(BlockFactoryTest, HostileHeadersGiveNull) {
  MdfBuilder m;
  const uint64_t shortLength = m.AddBlock("DG", std::vector<uint64_t>(4, 0), std::vector<uint8_t>(8, 0));
  m.SetBlockLength(shortLength, 24 + 8 * 3);  // fewer bytes than its four links
  const uint64_t tiny = m.AddBlock("TX", {}, {'a', 0});
  m.SetBlockLength(tiny, 23);
  const uint64_t hugeLinks = m.AddBlock("CN", std::vector<uint64_t>(8, 0), std::vector<uint8_t>(72, 0));
  m.Patch64(hugeLinks + f::kHeaderLinkCountOffset, 1ULL << 61);
  // 8 x this count wraps around to 8 in 64 bits.
  const uint64_t wrappingLinks = m.AddBlock("CN", std::vector<uint64_t>(8, 0), std::vector<uint8_t>(72, 0));
  m.Patch64(wrappingLinks + f::kHeaderLinkCountOffset, 0x2000000000000001ULL);
  const uint64_t unknown = m.AddBlock("XX", {}, std::vector<uint8_t>(8, 0));
  const uint64_t noMark = m.AddBlock("TX", {}, {'a', 0});
  m.Bytes()[noMark] = '$';
  const uint64_t good = m.AddBlock("DG", std::vector<uint64_t>(4, 0), std::vector<uint8_t>(8, 0));
  const uint64_t pastEnd = m.AddBlock("TX", {}, {'a', 'b', 'c', 0});
  m.SetBlockLength(pastEnd, 24 + 4 + 1);  // one byte beyond the end of the file
  OpenImage(m);
  ASSERT_EQ(file_.GetEnd(), pastEnd + 28);

  EXPECT_NE(LoadBlock(&file_, good), nullptr) << "the control case loads";
  EXPECT_EQ(LoadBlock(&file_, 0), nullptr);
  EXPECT_EQ(LoadBlock(&file_, f::kHDPosition), nullptr) << "the HD is not loaded by the factory";
  EXPECT_EQ(LoadBlock(&file_, shortLength), nullptr);
  EXPECT_EQ(LoadBlock(&file_, tiny), nullptr);
  EXPECT_EQ(LoadBlock(&file_, hugeLinks), nullptr);
  EXPECT_EQ(LoadBlock(&file_, wrappingLinks), nullptr);
  EXPECT_EQ(LoadBlock(&file_, unknown), nullptr);
  EXPECT_EQ(LoadBlock(&file_, noMark), nullptr);
  EXPECT_EQ(LoadBlock(&file_, good + 8), nullptr) << "into the middle of a block";
  EXPECT_EQ(LoadBlock(&file_, pastEnd), nullptr);
  EXPECT_EQ(LoadBlock(&file_, pastEnd + 16), nullptr) << "header crosses the end of the file";
  EXPECT_EQ(LoadBlock(&file_, 1ULL << 40), nullptr);
  EXPECT_EQ(LoadBlock(nullptr, good), nullptr);
}

TEST_F(BlockFactoryTest, BlockEndingExactlyAtEndOfFileLoads) {
  MdfBuilder m;
  const uint64_t tx = m.AddText("abc");  // 28 bytes, the last block of the image
  OpenImage(m);
  ASSERT_EQ(file_.GetEnd(), tx + 28);
  auto t = LoadAs<M4TXBlock>(&file_, tx, f::kTX);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->GetLength(), 3u);
}

TEST_F(BlockFactoryTest, LoadLinkedChecksTypeAndIndex) {
  MdfBuilder m;
  const uint64_t dg = m.AddDG(2);
  const uint64_t cg = m.AddCG(dg, 1, 0, 8);
  const uint64_t md = m.AddText("<CGcomment/>", /*md=*/true);
  m.SetLink(cg, f::kCgTxAcqName, md);  // the name stored as an MD block
  OpenImage(m);
  auto group = LoadAs<M4CGBlock>(&file_, cg, f::kCG);
  ASSERT_NE(group, nullptr);

  EXPECT_EQ(LoadLinked(&file_, *group, f::kCgTxAcqName, f::kTX), nullptr);
  auto any = LoadLinked(&file_, *group, f::kCgTxAcqName, 0);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->GetType(), f::kMD);
  EXPECT_EQ(any->GetPosition(), md);
  EXPECT_NE(LoadLinked(&file_, *group, f::kCgTxAcqName, f::kMD), nullptr);

  EXPECT_EQ(LoadLinked(&file_, *group, f::kCgCnFirst, 0), nullptr) << "link 0 value: no block";
  EXPECT_EQ(LoadLinked(&file_, *group, 6, 0), nullptr) << "index beyond the link array";
  EXPECT_EQ(LoadLinked(&file_, *group, -1, 0), nullptr);
}

TEST_F(BlockFactoryTest, ReadHeaderAtNeedsPositionAndMark) {
  MdfBuilder m;
  const uint64_t tx = m.AddText("abc");
  OpenImage(m);
  uint8_t header[f::kBlockHeaderSize];
  EXPECT_TRUE(ReadHeaderAt(&file_, tx, header));
  EXPECT_EQ(qm::LoadLE64(header + f::kHeaderLengthOffset), 28u);
  EXPECT_FALSE(ReadHeaderAt(&file_, 0, header));
  EXPECT_FALSE(ReadHeaderAt(&file_, tx + 8, header));
  EXPECT_FALSE(ReadHeaderAt(&file_, tx + 16, header)) << "only 12 bytes left in the file";
}

}  // namespace
