// Tests of the appending data stream: block and list layout on disk, continuing earlier data, write order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
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
using Bytes = std::vector<uint8_t>;
using qm::test::MdfBuilder;

constexpr uint32_t kCap = f::kDataBlockCapacity;
constexpr uint32_t kEntries = f::kListEntries;
constexpr uint32_t kSmallCap = 16;
constexpr uint32_t kSmallEntries = 3;
constexpr uint64_t kHead = f::kBlockHeaderSize;
// Area reserved for a list of n entries: header, next link, n block links, flags/count, equal length.
constexpr uint64_t ListArea(uint32_t n) { return kHead + 8 * (n + 1) + 8 + 8; }
constexpr uint64_t Align8(uint64_t v) { return (v + 7) & ~uint64_t{7}; }

Bytes RandomBytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng() >> 24);
  return v;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The file as it is on disk, with the block fields the stream writes.
struct Image {
  Bytes b;

  explicit Image(const std::string& path) { EXPECT_TRUE(qm::test::ReadFileBytes(path, &b)); }
  uint64_t U64(uint64_t p) const { return p + 8 <= b.size() ? qm::LoadLE64(&b[p]) : ~0ULL; }
  std::string Id(uint64_t p) const { return p + 4 <= b.size() ? std::string(b.begin() + p, b.begin() + p + 4) : ""; }
  uint64_t Length(uint64_t p) const { return U64(p + f::kHeaderLengthOffset); }
  uint64_t LinkCount(uint64_t p) const { return U64(p + f::kHeaderLinkCountOffset); }
  uint64_t Link(uint64_t p, uint64_t i) const { return U64(p + kHead + 8 * i); }
  uint64_t Record(uint64_t p) const { return p + kHead + 8 * LinkCount(p); }
  uint32_t DlCount(uint64_t p) const { return qm::LoadLE32(&b.at(Record(p) + 4)); }
  Bytes Data(uint64_t p) const { return Bytes(b.begin() + p + kHead, b.begin() + p + Length(p)); }
  uint64_t DataLink(uint64_t dg) const { return Link(dg, f::kDgData); }
};

// Opens path for writing and adopts its first data group as the newest one, as a reopened file does.
M4DGBlock* OpenFirstDG(MDF4File* file, const std::u16string& path) {
  if (!file->Open(path.c_str())) return nullptr;
  std::unique_ptr<M4DGBlock> dg = LoadAs<M4DGBlock>(&file->Direct(), file->HD().GetLink(f::kHdDgFirst), f::kDG);
  if (!dg) return nullptr;
  file->HD().AdoptLastDG(dg.get());
  return dg.release();
}

// One data-writing call: open a stream on dg of file, append in pieces, finish, release.
// False when the stream is not ready or refuses bytes.
bool AppendRound(MDF4File& file, M4DGBlock* dg, const Bytes& data, uint32_t cap = kCap,
                 uint32_t entries = kEntries, size_t piece = SIZE_MAX) {
  m4DataStreamEx s(dg, file.Counters(), cap, entries, f::kDT);
  if (!s.IsReady()) return false;
  for (size_t off = 0; off < data.size();) {
    const uint32_t k = static_cast<uint32_t>(std::min(piece, data.size() - off));
    if (!s.WriteBytes(k, data.data() + off)) return false;
    off += k;
  }
  s.Finish();
  s.Release();
  return true;
}

// The first data group's data, read through a reading stream on a separate read-only open.
Bytes ReadBack(const std::u16string& path) {
  MDF4File r;
  std::unique_ptr<M4DGBlock> dg;
  m4DataStream s;
  if (!r.OpenForInspection(path.c_str()) || !(dg = LoadAs<M4DGBlock>(&r.Direct(), r.HD().GetLink(f::kHdDgFirst), f::kDG)) ||
      !s.OpenForRead(&r.Direct(), dg->GetLink(f::kDgData))) {
    ADD_FAILURE() << "the data cannot be opened for reading";
    return {};
  }
  Bytes out(s.TotalLength() + 1);
  EXPECT_EQ(s.ReadBytes(static_cast<uint32_t>(out.size()), out.data()), static_cast<int32_t>(s.TotalLength()));
  out.pop_back();
  return out;
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
    ASSERT_TRUE(count >= 1 && count <= entries) << count;
    const uint64_t next = img.Link(dl, f::kDlNext);
    EXPECT_TRUE(next == 0 || count == entries) << "only the last list may be partly filled";
    EXPECT_EQ(img.LinkCount(dl), count + 1u);
    EXPECT_EQ(img.Length(dl), kHead + 8 * (count + 1) + 16);
    EXPECT_EQ(img.b.at(img.Record(dl)), f::kDlFlagEqualLength);
    EXPECT_EQ(img.U64(img.Record(dl) + 8), cap) << "equal length";
    for (uint32_t i = 0; i < count; ++i) {
      lastBlock = img.Link(dl, 1 + i);
      ASSERT_EQ(img.Id(lastBlock), "##DT") << "entry " << i;
      EXPECT_EQ(img.LinkCount(lastBlock), 0u);
      const uint64_t len = img.Length(lastBlock) - kHead;
      EXPECT_TRUE(len == cap || (len < cap && next == 0 && i + 1 == count))
          << "only the very last block may be partly filled; entry " << i << " holds " << len;
      sum += len;
    }
    dl = next;
  }
  EXPECT_EQ(sum, total);
  EXPECT_EQ(img.b.size(), lastBlock + img.Length(lastBlock)) << "the file ends behind the last block";
}

// A fresh file made by the library with one empty data group with 2-byte record IDs.
class AppendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    file_ = std::make_unique<MDF4File>();
    ASSERT_TRUE(file_->Create(wpath_.c_str(), "test", f::kVersion));
    dg_ = file_->HD().AddDG(new M4DGBlock(2));
    ASSERT_NE(file_->HD().WriteHead(), 0u);
    start_ = DiskSize();
  }

  // Closes the file and opens it again from disk.
  void Reopen() {
    file_ = std::make_unique<MDF4File>();  // the old object closes its file first
    ASSERT_NE(dg_ = OpenFirstDG(file_.get(), wpath_), nullptr);
  }

  // Places an unrelated block behind everything (as a group declared between data calls).
  uint64_t PlaceText(const std::string& text) {
    M4TXBlock tx;
    tx.appendBytes(text.data(), text.size());
    return tx.Place(&file_->Direct(), BlockParts::kAll);
  }
  uint64_t DiskSize() const { return std::filesystem::file_size(path_); }

  // Writes another writer's file as f.mf4, then appends bytes to its first data group in one
  // round of 16-byte blocks listed three to a list; false when the stream was not ready.
  bool AppendToImage(const MdfBuilder& m, const Bytes& bytes) {
    EXPECT_TRUE(m.WriteTo(dir_.Path("f.mf4")));
    MDF4File file;
    M4DGBlock* dg = OpenFirstDG(&file, dir_.WPath("f.mf4"));
    return dg != nullptr && AppendRound(file, dg, bytes, kSmallCap, kSmallEntries);
  }

  // Many separate open/write/finish rounds of varied sizes, some ending exactly on or just
  // past a block boundary, some crossing list boundaries, some after the file was reopened or
  // an unrelated block was placed. all receives every byte appended, in order.
  void RunRounds(uint32_t cap, uint32_t entries, int rounds, uint64_t seed, Bytes* all) {
    std::mt19937_64 rng(seed);
    for (int r = 0; r < rounds; ++r) {
      SCOPED_TRACE("round " + std::to_string(r));
      if (r % 7 == 3) { ASSERT_NE(PlaceText("unrelated " + std::to_string(r)), 0u); }
      if (r % 5 == 4) { ASSERT_NO_FATAL_FAILURE(Reopen()); }
      const uint64_t used = all->size() % cap;
      uint64_t n;
      switch (rng() % 8) {
        case 0: n = 0; break;
        case 1: n = cap - used; break;      // ends exactly on a block boundary
        case 2: n = cap - used + 1; break;  // one byte into the next block
        case 3: n = rng() % (uint64_t{cap} * (entries + 1)); break;  // may cross a list
        case 4: n = cap + rng() % (cap + 1); break;
        default: n = rng() % (cap / 4 + 2); break;
      }
      const Bytes bytes = RandomBytes(n, seed * 1000 + r);
      ASSERT_TRUE(AppendRound(*file_, dg_, bytes, cap, entries, 1 + rng() % (cap / 3 + 1)));
      all->insert(all->end(), bytes.begin(), bytes.end());
    }
  }

  qm::test::TempDir dir_;
  const std::string path_ = dir_.Path("a.mf4");
  const std::u16string wpath_ = dir_.WPath("a.mf4");
  std::unique_ptr<MDF4File> file_;
  M4DGBlock* dg_ = nullptr;
  uint64_t start_ = 0;  // file size before any data
};

TEST_F(AppendTest, EmptyStreamFinishesAsListAndEmptyBlock) {
  const Bytes before = Image(path_).b;
  const uint64_t dl = Align8(start_);
  {
    m4DataStreamEx s(dg_, file_->Counters(), kCap, kEntries, f::kDT);
    ASSERT_TRUE(s.IsReady());
    const Image open(path_);
    Bytes expected = before;
    expected.resize(std::max(open.b.size(), before.size()), 0);
    EXPECT_EQ(open.b, expected) << "opening writes nothing: the old bytes stand, the rest reads as zeros";
    s.Finish();
  }
  const Image img(path_);
  EXPECT_EQ(img.DataLink(dg_->GetPosition()), dl);
  EXPECT_EQ(img.Link(dl, 1), dl + 88) << "the block follows the list's whole area";
  CheckChain(img, dl, kCap, kEntries, 0);  // one list, one empty block, the unused reservation cut
  EXPECT_TRUE(ReadBack(wpath_).empty());
}

TEST_F(AppendTest, FiveFullBlocksAndOneByteStartASecondList) {
  const uint64_t dl1 = Align8(start_), step = kHead + kCap;  // a multiple of 8: full blocks sit back to back
  const uint64_t dl2 = dl1 + 88 + 5 * step;
  const Bytes data = RandomBytes(5ull * kCap + 1, 2);
  {
    m4DataStreamEx s(dg_, file_->Counters(), kCap, kEntries, f::kDT);
    ASSERT_TRUE(s.WriteBytes(static_cast<uint32_t>(data.size()), data.data()));
    // Before finishing: the full first list is on disk and linked from the group, but it does
    // not lead on to the second list, which is not written yet.
    const Image mid(path_);
    EXPECT_EQ(mid.DataLink(dg_->GetPosition()), dl1);
    EXPECT_EQ(mid.DlCount(dl1), 5u);
    EXPECT_EQ(mid.Link(dl1, 0), 0u);
    EXPECT_EQ(mid.Length(dl1 + 88 + 4 * step), step);
    EXPECT_TRUE(mid.U64(dl2) == 0u || mid.U64(dl2) == ~0ULL) << "second list not written yet";
    s.Finish();
  }
  const Image img(path_);
  EXPECT_EQ(img.DataLink(dg_->GetPosition()), dl1);
  EXPECT_EQ(img.Link(dl1, 0), dl2);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(img.Link(dl1, 1 + i), dl1 + 88 + i * step) << i;
  EXPECT_EQ(img.Link(dl2, 1), dl2 + 88);
  CheckChain(img, dl1, kCap, kEntries, data.size());
  EXPECT_EQ(ReadBack(wpath_), data);
}

// A later call continues the last block in place while it ends the file (here after the file
// was reopened); when a block follows it, its bytes move to a new block at the end.
TEST_F(AppendTest, LaterCallGrowsLastBlockInPlaceOrMovesIt) {
  for (const bool blockFollows : {false, true}) {
    SCOPED_TRACE(blockFollows ? "a block follows" : "the block ends the file");
    SetUp();
    const Bytes a = RandomBytes(1000, 3), b = RandomBytes(500, 4);
    ASSERT_TRUE(AppendRound(*file_, dg_, a));
    const uint64_t dl = Align8(start_), dt = dl + 88;
    uint64_t tx = 0, at = dt;
    if (blockFollows) {
      ASSERT_EQ(tx = PlaceText("between"), Align8(dt + kHead + 1000));
      at = Align8(DiskSize());
    } else {
      Reopen();
    }
    {
      m4DataStreamEx s(dg_, file_->Counters(), kCap, kEntries, f::kDT);
      ASSERT_TRUE(s.IsReady());
      EXPECT_EQ(file_->Direct().GetEnd(), at + kHead + kCap) << "the block's full area is reserved again";
      ASSERT_TRUE(s.WriteBytes(500, b.data()));
      s.Finish();
    }
    const Image img(path_);
    EXPECT_EQ(img.DlCount(dl), 1u);
    EXPECT_EQ(img.Link(dl, 1), at);
    EXPECT_EQ(img.Data(at), Cat(a, b));
    EXPECT_EQ(img.b.size(), at + kHead + 1500);
    EXPECT_EQ(ReadBack(wpath_), Cat(a, b));
    if (blockFollows) {  // the old block and the text behind it are untouched
      EXPECT_EQ(img.Id(dt), "##DT");
      EXPECT_EQ(img.Data(dt), a);
      EXPECT_EQ(img.Id(tx), "##TX");
    }
  }
}

// A stream kept across calls that continued a reopened file's block in place holds only the
// bytes appended since; when a block lands behind it, the move takes the earlier bytes from
// the old place and the rest from memory.
TEST_F(AppendTest, KeptStreamMovesAContinuedBlockWithAllItsBytes) {
  const Bytes a = RandomBytes(1000, 5), b = RandomBytes(300, 6), c = RandomBytes(200, 7);
  ASSERT_TRUE(AppendRound(*file_, dg_, a));
  Reopen();
  m4DataStreamEx s(dg_, file_->Counters(), kCap, kEntries, f::kDT);
  ASSERT_TRUE(s.IsReady());
  ASSERT_TRUE(s.WriteBytes(300, b.data()));
  s.Finish();
  ASSERT_NE(PlaceText("between"), 0u);
  const uint64_t at = Align8(DiskSize());
  ASSERT_TRUE(s.Resume());
  ASSERT_TRUE(s.WriteBytes(200, c.data()));
  s.Finish();
  const Image img(path_);
  EXPECT_EQ(img.Link(Align8(start_), 1), at);
  EXPECT_EQ(img.Data(at), Cat(Cat(a, b), c));
  EXPECT_EQ(ReadBack(wpath_), Cat(Cat(a, b), c));
}

TEST_F(AppendTest, FinishWritesCycleCountsOfRegisteredGroups) {
  M4CGBlock* cg = dg_->AddCG(new M4CGBlock(1));
  const uint64_t count = cg->GetPosition() + kHead + 8 * 6 + 8;
  file_->RegisterCycleCounter(*cg, 1);
  file_->AddCycles(1, 7);
  const Bytes a = RandomBytes(30, 11);
  {
    m4DataStreamEx s(dg_, file_->Counters(), kCap, kEntries, f::kDT);
    ASSERT_TRUE(s.WriteBytes(30, a.data()));
    EXPECT_EQ(Image(path_).U64(count), 0u) << "counts are written by Finish";
    s.Finish();
  }
  EXPECT_EQ(Image(path_).U64(count), 7u);
  file_->AddCycles(1, 5);
  ASSERT_TRUE(AppendRound(*file_, dg_, a));
  EXPECT_EQ(Image(path_).U64(count), 12u);
}

// The data written in many separate rounds reads back as exactly the bytes appended, in order,
// with real blocks and lists and with tiny ones.
TEST_F(AppendTest, ManyRoundsReadBackAsExactlyTheBytesAppended) {
  const struct { uint32_t cap, entries; int rounds; uint64_t seed; } runs[] = {{kCap, kEntries, 24, 77}, {64, 3, 400, 5}};
  for (const auto& r : runs) {
    SCOPED_TRACE(r.cap);
    if (r.cap != kCap) SetUp();  // a fresh file
    Bytes all;
    RunRounds(r.cap, r.entries, r.rounds, r.seed, &all);
    ASSERT_GT(all.size(), 2ull * r.cap * r.entries) << "the rounds should span several lists";
    const Image img(path_);
    CheckChain(img, img.DataLink(img.Link(f::kHDPosition, f::kHdDgFirst)), r.cap, r.entries, all.size());
    EXPECT_TRUE(ReadBack(wpath_) == all);
  }
}

// ---- Continuing data laid out by another writer --------------------------------------------

TEST_F(AppendTest, SingleBlockBecomesFirstEntryOfANewList) {
  MdfBuilder m;
  const uint64_t dg = m.AddDG(2);
  const Bytes old = RandomBytes(10, 12), add = RandomBytes(10, 13);
  const uint64_t dt = m.AddDT(old);
  m.SetDGData(dg, dt);
  const uint64_t dl = Align8(m.Size()), moved = dl + ListArea(kSmallEntries);
  ASSERT_TRUE(AppendToImage(m, add));
  const Image img(dir_.Path("f.mf4"));
  EXPECT_EQ(img.DataLink(dg), dl);
  EXPECT_EQ(img.Link(dl, 1), moved) << "the old bytes move behind the list";
  EXPECT_EQ(img.Link(dl, 2), moved + kHead + kSmallCap);
  CheckChain(img, dl, kSmallCap, kSmallEntries, old.size() + add.size());
  EXPECT_EQ(img.Data(dt), old) << "the old block stays as it was";
  EXPECT_EQ(ReadBack(dir_.WPath("f.mf4")), Cat(old, add));
}

// A list another writer made in the form this stream continues: equal length 16, two blocks,
// and its full reserved area for three entries present and zero.
TEST_F(AppendTest, ContinuesAListWithRoomAcrossAListBoundary) {
  MdfBuilder m;
  const Bytes old = RandomBytes(21, 14), add = RandomBytes(30, 15);
  const uint64_t dg = m.AddDG(2);
  const uint64_t a = m.AddDT(Bytes(old.begin(), old.begin() + 16));
  const uint64_t b = m.AddDT(Bytes(old.begin() + 16, old.end()));
  const uint64_t dl = m.AddDL({a, b}, 0, true, kSmallCap);
  m.AppendRaw(Bytes(ListArea(kSmallEntries) - (m.Size() - dl), 0));
  m.SetDGData(dg, dl);
  ASSERT_TRUE(AppendToImage(m, add));
  const Image img(dir_.Path("f.mf4"));
  EXPECT_EQ(img.Link(dl, 1), a);
  EXPECT_NE(img.Link(dl, 2), b) << "a block followed by other blocks is moved";
  CheckChain(img, dl, kSmallCap, kSmallEntries, old.size() + add.size());  // three blocks, then a second list
  EXPECT_EQ(ReadBack(dir_.WPath("f.mf4")), Cat(old, add));
}

}  // namespace
