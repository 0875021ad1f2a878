// Tests of the appending data stream: block and list layout on disk, continuing earlier data, write order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "block/text_block.h"
#include "file/mdf4_file.h"
#include "mdf_builder.h"
#include "stream/data_stream.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using qm::LoadLE32;
using qm::LoadLE64;
using qm::test::MdfBuilder;
using qm::test::TempDir;

constexpr uint32_t kCap = f::kDataBlockCapacity;
constexpr uint32_t kEntries = f::kListEntries;
constexpr uint64_t kHead = f::kBlockHeaderSize;
// Area reserved for a list of n entries: header, next link, n block links, flags/count, equal length.
constexpr uint64_t ListArea(uint32_t n) { return kHead + 8 * (n + 1) + 8 + 8; }
constexpr uint64_t Align8(uint64_t v) { return (v + 7) & ~uint64_t{7}; }

// xorshift64: the same sequence on every platform and library.
struct Rng {
  uint64_t s;
  uint64_t Next() { return s ^= s << 13, s ^= s >> 7, s ^= s << 17; }
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
};

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
  Rng rng{seed * 2654435761u + 1};
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng.Next() >> 24);
  return v;
}

// The file as it is on disk, with the block fields the stream writes.
struct Image {
  std::vector<uint8_t> b;

  explicit Image(const std::string& path) { EXPECT_TRUE(qm::test::ReadFileBytes(path, &b)); }
  uint64_t Size() const { return b.size(); }
  uint64_t U64(uint64_t p) const { return p + 8 <= b.size() ? LoadLE64(&b[p]) : ~0ULL; }
  std::string Id(uint64_t p) const {
    return p + 4 <= b.size() ? std::string(reinterpret_cast<const char*>(&b[p]), 4) : "";
  }
  uint64_t Length(uint64_t p) const { return U64(p + f::kHeaderLengthOffset); }
  uint64_t LinkCount(uint64_t p) const { return U64(p + f::kHeaderLinkCountOffset); }
  uint64_t Link(uint64_t p, uint64_t i) const { return U64(p + kHead + 8 * i); }
  uint64_t Record(uint64_t p) const { return p + kHead + 8 * LinkCount(p); }
  uint8_t DlFlags(uint64_t p) const { return b.at(Record(p)); }
  uint32_t DlCount(uint64_t p) const { return LoadLE32(&b.at(Record(p) + 4)); }
  uint64_t DlEqual(uint64_t p) const { return U64(Record(p) + 8); }
  std::vector<uint8_t> Data(uint64_t p) const {
    return std::vector<uint8_t>(b.begin() + p + kHead, b.begin() + p + Length(p));
  }
  bool ZeroFrom(uint64_t p) const {
    return std::all_of(b.begin() + std::min<uint64_t>(p, b.size()), b.end(),
                       [](uint8_t x) { return x == 0; });
  }
  uint64_t DataLink(uint64_t dg) const { return Link(dg, f::kDgData); }
  uint64_t FirstDG() const { return Link(f::kHDPosition, f::kHdDgFirst); }
};

// Opens path for writing and adopts its first data group as the newest one, as a reopened file does.
M4DGBlock* OpenFirstDG(MDF4File* file, const std::u16string& path) {
  if (!file->Open(path.c_str())) return nullptr;
  std::unique_ptr<M4DGBlock> dg =
      LoadAs<M4DGBlock>(file, file->HD().GetLink(f::kHdDgFirst), f::kDG);
  if (!dg) return nullptr;
  M4DGBlock* raw = dg.get();
  file->HD().AdoptLastDG(dg.release());
  return raw;
}

// One data-writing call: open a stream on dg, append in pieces, finish, release, delete.
// False when the stream is not ready or refuses bytes.
bool AppendRound(M4DGBlock* dg, const uint8_t* data, size_t n, uint32_t cap = kCap,
                 uint32_t entries = kEntries, size_t piece = SIZE_MAX) {
  std::unique_ptr<m4DataStreamEx> s(new m4DataStreamEx(dg, cap, entries, f::kDT));
  if (!s->IsReady()) return false;
  for (size_t off = 0; off < n;) {
    const uint32_t k = static_cast<uint32_t>(std::min(piece, n - off));
    if (!s->WriteBytes(k, data + off)) return false;
    off += k;
  }
  s->Finish();
  s->Release();
  return true;
}
bool AppendRound(M4DGBlock* dg, const std::vector<uint8_t>& v, uint32_t cap = kCap,
                 uint32_t entries = kEntries, size_t piece = SIZE_MAX) {
  return AppendRound(dg, v.data(), v.size(), cap, entries, piece);
}

// Reads the first data group's data through a reading stream on a separate read-only open.
bool ReadBack(const std::u16string& path, std::vector<uint8_t>* out) {
  MDF4File r;
  if (!r.OpenForInspection(path.c_str())) return false;
  std::unique_ptr<M4DGBlock> dg = LoadAs<M4DGBlock>(&r, r.HD().GetLink(f::kHdDgFirst), f::kDG);
  if (!dg) return false;
  m4DataStream s;
  if (!s.OpenForRead(&r, dg->GetLink(f::kDgData))) return false;
  out->assign(s.TotalLength(), 0);
  uint64_t got = 0;
  while (got < out->size()) {
    const uint32_t ask = static_cast<uint32_t>(std::min<uint64_t>(3000001, out->size() - got));
    const int32_t n = s.ReadBytes(ask, out->data() + got);
    if (n <= 0) return false;
    got += static_cast<uint64_t>(n);
  }
  uint8_t extra = 0;
  return s.ReadBytes(1, &extra) == 0;
}

// Walks the list chain from the data link and checks the layout this stream keeps: lists of
// equal length cap with 1..entries blocks, full lists except the last, full DT blocks except
// the very last, total bytes as expected and the file ending right behind the last block.
void CheckChain(const Image& img, uint64_t link, uint32_t cap, uint32_t entries, uint64_t total) {
  std::set<uint64_t> seen;
  uint64_t sum = 0, lastBlock = 0;
  for (uint64_t dl = link; dl != 0;) {
    SCOPED_TRACE("list at " + std::to_string(dl));
    ASSERT_TRUE(seen.insert(dl).second) << "the chain loops";
    ASSERT_EQ(img.Id(dl), "##DL");
    const uint32_t count = img.DlCount(dl);
    ASSERT_GE(count, 1u);
    ASSERT_LE(count, entries);
    EXPECT_EQ(img.LinkCount(dl), count + 1u);
    EXPECT_EQ(img.Length(dl), kHead + 8 * (count + 1) + 16);
    EXPECT_EQ(img.DlFlags(dl), f::kDlFlagEqualLength);
    EXPECT_EQ(img.DlEqual(dl), cap);
    const uint64_t next = img.Link(dl, f::kDlNext);
    if (next != 0) {
      EXPECT_EQ(count, entries) << "only the last list may be partly filled";
    }
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t p = img.Link(dl, 1 + i);
      ASSERT_EQ(img.Id(p), "##DT") << "entry " << i;
      EXPECT_EQ(img.LinkCount(p), 0u);
      const uint64_t len = img.Length(p) - kHead;
      if (next != 0 || i + 1 < count) {
        EXPECT_EQ(len, cap) << "entry " << i;
      }
      EXPECT_LE(len, cap);
      sum += len;
      lastBlock = p;
    }
    dl = next;
  }
  EXPECT_EQ(sum, total);
  EXPECT_EQ(img.Size(), lastBlock + img.Length(lastBlock)) << "the file ends behind the last block";
}

// A fresh file made by the library with one empty data group with 2-byte record IDs.
class AppendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_.Path("a.mf4");
    wpath_ = dir_.WPath("a.mf4");
    file_ = std::make_unique<MDF4File>();
    ASSERT_TRUE(file_->Create(wpath_.c_str(), "test", f::kVersion));
    dg_ = file_->HD().AddDG(new M4DGBlock(2));
    ASSERT_NE(dg_->GetPosition(), 0u);
    ASSERT_NE(file_->HD().WriteHead(), 0u);
    start_ = std::filesystem::file_size(path_);
  }

  // Closes the file and opens it again from disk.
  void Reopen() {
    file_.reset();
    file_ = std::make_unique<MDF4File>();
    dg_ = OpenFirstDG(file_.get(), wpath_);
    ASSERT_NE(dg_, nullptr);
  }

  // Places an unrelated block behind everything (as a group declared between data calls).
  uint64_t PlaceText(const std::string& text) {
    M4TXBlock tx;
    tx.appendBytes(text.data(), text.size());
    return tx.Place(file_.get(), m4Block::kPlaceAll);
  }

  std::vector<uint8_t> Read() {
    std::vector<uint8_t> out;
    EXPECT_TRUE(ReadBack(wpath_, &out));
    return out;
  }
  uint64_t DiskSize() const { return std::filesystem::file_size(path_); }

  // Many separate open/write/finish rounds of varied sizes, some ending exactly on or just
  // past a block boundary, some crossing list boundaries, some after the file was reopened or
  // an unrelated block was placed. all receives every byte appended, in order.
  void RunRounds(uint32_t cap, uint32_t entries, int rounds, uint64_t seed, std::vector<uint8_t>* all) {
    Rng rng{seed};
    for (int r = 0; r < rounds; ++r) {
      SCOPED_TRACE("round " + std::to_string(r));
      if (r % 7 == 3) {
        ASSERT_NE(PlaceText("unrelated " + std::to_string(r)), 0u);
      }
      if (r % 5 == 4) {
        ASSERT_NO_FATAL_FAILURE(Reopen());
      }
      const uint64_t used = all->size() % cap;
      uint64_t n;
      switch (rng.Below(8)) {
        case 0: n = 0; break;
        case 1: n = cap - used; break;      // ends exactly on a block boundary
        case 2: n = cap - used + 1; break;  // one byte into the next block
        case 3: n = rng.Below(uint64_t{cap} * (entries + 1)); break;  // may cross a list
        case 4: n = cap + rng.Below(cap + 1); break;
        default: n = rng.Below(cap / 4 + 2); break;
      }
      const std::vector<uint8_t> bytes = RandomBytes(n, seed * 1000 + r);
      const size_t piece = 1 + rng.Below(cap / 3 + 1);
      ASSERT_TRUE(AppendRound(dg_, bytes, cap, entries, piece));
      all->insert(all->end(), bytes.begin(), bytes.end());
    }
  }

  TempDir dir_;
  std::string path_;
  std::u16string wpath_;
  std::unique_ptr<MDF4File> file_;
  M4DGBlock* dg_ = nullptr;
  uint64_t start_ = 0;  // file size before any data
};

TEST_F(AppendTest, EmptyStreamFinishesAsListAndEmptyBlock) {
  const Image before(path_);
  const uint64_t dl = Align8(start_);
  {
    std::unique_ptr<m4DataStreamEx> s(new m4DataStreamEx(dg_, kCap, kEntries, f::kDT));
    ASSERT_TRUE(s->IsReady());
    // Opening reserves space but writes nothing: the old bytes stand, the rest reads as zeros.
    const Image open(path_);
    EXPECT_TRUE(std::equal(before.b.begin(), before.b.end(), open.b.begin()));
    EXPECT_TRUE(open.ZeroFrom(start_));
    EXPECT_EQ(open.DataLink(dg_->GetPosition()), 0u);
    s->Finish();
  }
  const Image img(path_);
  ASSERT_EQ(img.Id(dl), "##DL");
  EXPECT_EQ(img.Length(dl), 56u);
  EXPECT_EQ(img.LinkCount(dl), 2u);
  EXPECT_EQ(img.Link(dl, 0), 0u);
  EXPECT_EQ(img.DlFlags(dl), 1u);
  EXPECT_EQ(img.DlCount(dl), 1u);
  EXPECT_EQ(img.DlEqual(dl), 4194304u);
  const uint64_t dt = dl + 88;
  EXPECT_EQ(img.Link(dl, 1), dt);
  ASSERT_EQ(img.Id(dt), "##DT");
  EXPECT_EQ(img.Length(dt), 24u);
  EXPECT_EQ(img.LinkCount(dt), 0u);
  EXPECT_EQ(img.Size(), dt + 24) << "the unused reservation is cut";
  EXPECT_EQ(img.DataLink(dg_->GetPosition()), dl);
  EXPECT_TRUE(Read().empty());
}

TEST_F(AppendTest, FiveFullBlocksAndOneByteStartASecondList) {
  const uint64_t dl1 = Align8(start_);
  const uint64_t step = 24 + kCap;  // a multiple of 8: full blocks sit back to back
  const std::vector<uint8_t> data = RandomBytes(5ull * kCap + 1, 2);
  std::unique_ptr<m4DataStreamEx> s(new m4DataStreamEx(dg_, kCap, kEntries, f::kDT));
  ASSERT_TRUE(s->IsReady());
  ASSERT_TRUE(s->WriteBytes(static_cast<uint32_t>(data.size()), data.data()));
  const uint64_t dl2 = dl1 + 88 + 5 * step;
  {
    // Before finishing: the full first list is on disk and linked from the group, but it does
    // not lead on to the second list, which is not written yet.
    const Image mid(path_);
    EXPECT_EQ(mid.DataLink(dg_->GetPosition()), dl1);
    EXPECT_EQ(mid.DlCount(dl1), 5u);
    EXPECT_EQ(mid.Link(dl1, 0), 0u);
    EXPECT_EQ(mid.Length(dl1 + 88 + 4 * step), step);
    EXPECT_TRUE(mid.U64(dl2) == 0u || mid.U64(dl2) == ~0ULL) << "second list not written yet";
  }
  s->Finish();
  s.reset();

  const Image img(path_);
  EXPECT_EQ(img.DataLink(dg_->GetPosition()), dl1);
  EXPECT_EQ(img.Length(dl1), 88u);
  EXPECT_EQ(img.DlCount(dl1), 5u);
  EXPECT_EQ(img.Link(dl1, 0), dl2);
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(img.Link(dl1, 1 + i), dl1 + 88 + i * step) << i;
    EXPECT_EQ(img.Length(dl1 + 88 + i * step), step) << i;
  }
  ASSERT_EQ(img.Id(dl2), "##DL");
  EXPECT_EQ(img.Length(dl2), 56u);
  EXPECT_EQ(img.DlCount(dl2), 1u);
  EXPECT_EQ(img.Link(dl2, 0), 0u);
  EXPECT_EQ(img.Link(dl2, 1), dl2 + 88);
  EXPECT_EQ(img.Length(dl2 + 88), 25u);
  EXPECT_EQ(img.Size(), dl2 + 88 + 25);
  EXPECT_EQ(Read(), data);
}

TEST_F(AppendTest, ReopenGrowsLastBlockAtEndOfFileInPlace) {
  const std::vector<uint8_t> a = RandomBytes(1000, 3), b = RandomBytes(500, 4);
  ASSERT_TRUE(AppendRound(dg_, a));
  const uint64_t dl = Align8(start_), dt = dl + 88;
  EXPECT_EQ(DiskSize(), dt + 24 + 1000);
  Reopen();
  {
    std::unique_ptr<m4DataStreamEx> s(new m4DataStreamEx(dg_, kCap, kEntries, f::kDT));
    ASSERT_TRUE(s->IsReady());
    EXPECT_EQ(file_->GetEnd(), dt + 24 + kCap) << "the block's full area is reserved again";
    ASSERT_TRUE(s->WriteBytes(500, b.data()));
    s->Finish();
  }
  const Image img(path_);
  EXPECT_EQ(img.DlCount(dl), 1u);
  EXPECT_EQ(img.Link(dl, 1), dt);
  EXPECT_EQ(img.Length(dt), 24u + 1500);
  EXPECT_EQ(img.Size(), dt + 24 + 1500);
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(img.Data(dt), both);
  EXPECT_EQ(Read(), both);
}

TEST_F(AppendTest, ReopenMovesLastBlockWhenABlockFollowsIt) {
  const std::vector<uint8_t> a = RandomBytes(1000, 5), b = RandomBytes(500, 6);
  ASSERT_TRUE(AppendRound(dg_, a));
  const uint64_t dl = Align8(start_), oldDt = dl + 88;
  const uint64_t tx = PlaceText("between");
  ASSERT_EQ(tx, Align8(oldDt + 24 + 1000));
  const uint64_t moved = Align8(DiskSize());
  ASSERT_TRUE(AppendRound(dg_, b));

  const Image img(path_);
  EXPECT_EQ(img.DlCount(dl), 1u);
  EXPECT_EQ(img.Link(dl, 1), moved);
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(img.Data(moved), both);
  EXPECT_EQ(img.Size(), moved + 24 + 1500);
  // The old block and the text behind it are untouched.
  EXPECT_EQ(img.Id(oldDt), "##DT");
  EXPECT_EQ(img.Data(oldDt), a);
  EXPECT_EQ(img.Id(tx), "##TX");
  EXPECT_EQ(Read(), both);
}

TEST_F(AppendTest, FinishWritesCycleCountsOfRegisteredGroups) {
  M4CGBlock* cg = dg_->AddCG(new M4CGBlock(1));
  ASSERT_NE(cg->GetPosition(), 0u);
  const uint64_t count = cg->GetPosition() + kHead + 8 * 6 + 8;
  file_->RegisterCycleCounter(*cg, 1);
  file_->AddCycles(1, 7);
  const std::vector<uint8_t> a = RandomBytes(30, 11);
  {
    std::unique_ptr<m4DataStreamEx> s(new m4DataStreamEx(dg_, kCap, kEntries, f::kDT));
    ASSERT_TRUE(s->WriteBytes(30, a.data()));
    EXPECT_EQ(Image(path_).U64(count), 0u) << "counts are written by Finish";
    s->Finish();
  }
  EXPECT_EQ(Image(path_).U64(count), 7u);
  file_->AddCycles(1, 5);
  ASSERT_TRUE(AppendRound(dg_, a));
  EXPECT_EQ(Image(path_).U64(count), 12u);
}

// ---- Continuing data laid out by another writer --------------------------------------------

constexpr uint32_t kSmallCap = 16;
constexpr uint32_t kSmallEntries = 3;

// The data written in many separate rounds reads back as exactly the bytes appended, in order,
// with real blocks and lists and with tiny ones.
TEST_F(AppendTest, ManyRoundsReadBackAsExactlyTheBytesAppended) {
  const struct { uint32_t cap, entries; int rounds; uint64_t seed; } runs[] = {{kCap, kEntries, 24, 77}, {64, 3, 400, 5}};
  for (const auto& r : runs) {
    SCOPED_TRACE(r.cap);
    if (r.cap != kCap) SetUp();  // a fresh file
    std::vector<uint8_t> all;
    RunRounds(r.cap, r.entries, r.rounds, r.seed, &all);
    ASSERT_GT(all.size(), 2ull * r.cap * r.entries) << "the rounds should span several lists";
    const Image img(path_);
    CheckChain(img, img.DataLink(img.FirstDG()), r.cap, r.entries, all.size());
    EXPECT_TRUE(Read() == all);
  }
}

class ForeignDataTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }

  // Writes the image, then appends bytes in one small-block round; returns whether the
  // stream was ready.
  bool Append(const MdfBuilder& m, const std::vector<uint8_t>& bytes) {
    EXPECT_TRUE(m.WriteTo(dir_.Path("f.mf4")));
    MDF4File file;
    M4DGBlock* dg = OpenFirstDG(&file, dir_.WPath("f.mf4"));
    EXPECT_NE(dg, nullptr);
    return dg != nullptr && AppendRound(dg, bytes, kSmallCap, kSmallEntries);
  }
  std::vector<uint8_t> Read() {
    std::vector<uint8_t> out;
    EXPECT_TRUE(ReadBack(dir_.WPath("f.mf4"), &out));
    return out;
  }

  TempDir dir_;
};

TEST_F(ForeignDataTest, SingleBlockBecomesFirstEntryOfANewList) {
  MdfBuilder m;
  const uint64_t dg = m.AddDG(2);
  const std::vector<uint8_t> old = RandomBytes(10, 12), add = RandomBytes(10, 13);
  const uint64_t dt = m.AddDT(old);
  m.SetDGData(dg, dt);
  const uint64_t dl = Align8(m.Size());
  ASSERT_TRUE(Append(m, add));

  const Image img(dir_.Path("f.mf4"));
  EXPECT_EQ(img.DataLink(dg), dl);
  ASSERT_EQ(img.Id(dl), "##DL");
  EXPECT_EQ(img.DlCount(dl), 2u);
  EXPECT_EQ(img.DlEqual(dl), kSmallCap);
  const uint64_t moved = dl + ListArea(kSmallEntries);
  EXPECT_EQ(img.Link(dl, 1), moved) << "the old bytes move behind the list";
  EXPECT_EQ(img.Link(dl, 2), moved + 24 + kSmallCap);
  EXPECT_EQ(img.Length(moved), 24u + kSmallCap);
  EXPECT_EQ(img.Length(moved + 24 + kSmallCap), 24u + 4);
  EXPECT_EQ(img.Data(dt), old) << "the old block stays as it was";
  std::vector<uint8_t> both = old;
  both.insert(both.end(), add.begin(), add.end());
  EXPECT_EQ(Read(), both);
}

// A list another writer made in the form this stream continues: equal length 16, two blocks,
// and its full reserved area for three entries present and zero.
struct ContinuableList {
  MdfBuilder m;
  uint64_t dg = 0, a = 0, b = 0, dl = 0;
  std::vector<uint8_t> data = RandomBytes(21, 14);

  explicit ContinuableList(bool room = true) {
    dg = m.AddDG(2);
    a = m.AddDT(std::vector<uint8_t>(data.begin(), data.begin() + 16));
    b = m.AddDT(std::vector<uint8_t>(data.begin() + 16, data.end()));
    dl = m.AddDL({a, b}, 0, true, kSmallCap);
    if (room) m.AppendRaw(std::vector<uint8_t>(ListArea(kSmallEntries) - (m.Size() - dl), 0));
    m.SetDGData(dg, dl);
  }
};

TEST_F(ForeignDataTest, ContinuesAListWithRoomAcrossAListBoundary) {
  ContinuableList c;
  const std::vector<uint8_t> add = RandomBytes(30, 15);
  ASSERT_TRUE(Append(c.m, add));
  const Image img(dir_.Path("f.mf4"));
  EXPECT_EQ(img.DlCount(c.dl), 3u);
  EXPECT_EQ(img.Link(c.dl, 1), c.a);
  EXPECT_NE(img.Link(c.dl, 2), c.b) << "a block followed by other blocks is moved";
  const uint64_t next = img.Link(c.dl, 0);
  ASSERT_NE(next, 0u);
  EXPECT_EQ(img.DlCount(next), 1u);
  std::vector<uint8_t> all = c.data;
  all.insert(all.end(), add.begin(), add.end());
  CheckChain(img, c.dl, kSmallCap, kSmallEntries, all.size());
  EXPECT_EQ(Read(), all);
}

}  // namespace
