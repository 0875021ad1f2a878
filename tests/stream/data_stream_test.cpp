// Tests of the appending data stream: the block and list layout on disk over many calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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

constexpr uint64_t kHead = f::kBlockHeaderSize;

Bytes RandomBytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng() >> 24);
  return v;
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
};

// Opens path for writing and adopts its first data group as the newest one, as a reopened file does.
M4DGBlock* OpenFirstDG(MDF4File* file, const std::u16string& path) {
  if (!file->Open(path.c_str())) return nullptr;
  std::unique_ptr<M4DGBlock> dg = LoadAs<M4DGBlock>(file, file->HD().GetLink(f::kHdDgFirst), f::kDG);
  if (!dg) return nullptr;
  file->HD().AdoptLastDG(dg.get());
  return dg.release();
}

// One data-writing call: open a stream on dg, append in pieces, finish, release.
bool AppendRound(M4DGBlock* dg, const Bytes& data, uint32_t cap, uint32_t entries, size_t piece) {
  m4DataStreamEx s(dg, cap, entries, f::kDT);
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
  if (!r.OpenForInspection(path.c_str()) || !(dg = LoadAs<M4DGBlock>(&r, r.HD().GetLink(f::kHdDgFirst), f::kDG)) ||
      !s.OpenForRead(&r, dg->GetLink(f::kDgData))) {
    ADD_FAILURE() << "the data cannot be opened for reading";
    return {};
  }
  Bytes out(s.TotalLength() + 1);
  EXPECT_EQ(s.ReadBytes(static_cast<uint32_t>(out.size()), out.data()), static_cast<int32_t>(s.TotalLength()));
  out.pop_back();
  return out;
}

// Walks the list chain from the first data group and checks the layout this stream keeps:
// lists of equal length cap with 1..entries blocks, full lists except the last, full DT blocks
// except the very last, total bytes as expected and the file ending right behind the last block.
void CheckChain(const Image& img, uint32_t cap, uint32_t entries, uint64_t total) {
  std::set<uint64_t> seen;
  uint64_t sum = 0, lastBlock = 0;
  for (uint64_t dl = img.Link(img.Link(f::kHDPosition, f::kHdDgFirst), f::kDgData); dl != 0;) {
    SCOPED_TRACE("list at " + std::to_string(dl));
    ASSERT_TRUE(seen.insert(dl).second) << "the chain loops";
    ASSERT_EQ(img.Id(dl), "##DL");
    const uint32_t count = qm::LoadLE32(&img.b.at(img.Record(dl) + 4));
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

// Many separate open/write/finish rounds of varied sizes, some ending exactly on or just past a
// block boundary, some crossing list boundaries, some after the file was reopened or an
// unrelated block was placed, with real blocks and lists and with tiny ones: the data reads
// back as exactly the bytes appended, in the layout above.
TEST(AppendStreamTest, ManyRoundsKeepTheLayoutAndReadBackAsAppended) {
  const struct { uint32_t cap, entries; int rounds; uint64_t seed; } runs[] = {
      {f::kDataBlockCapacity, f::kListEntries, 24, 77}, {64, 3, 400, 5}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.cap);
    qm::test::TempDir dir;
    const std::u16string path = dir.WPath("a.mf4");
    auto file = std::make_unique<MDF4File>();
    ASSERT_TRUE(file->Create(path.c_str(), "test", f::kVersion));
    M4DGBlock* dg = file->HD().AddDG(new M4DGBlock(2));
    ASSERT_NE(file->HD().WriteHead(), 0u);
    std::mt19937_64 rng(run.seed);
    Bytes all;
    for (int r = 0; r < run.rounds; ++r) {
      SCOPED_TRACE("round " + std::to_string(r));
      if (r % 7 == 3) {  // an unrelated block behind everything, as a group declared between calls
        M4TXBlock tx;
        tx.appendBytes("unrelated", 9);
        ASSERT_NE(tx.Place(file.get(), m4Block::kPlaceAll), 0u);
      }
      if (r % 5 == 4) {
        file = std::make_unique<MDF4File>();  // the old object closes its file first
        ASSERT_NE(dg = OpenFirstDG(file.get(), path), nullptr);
      }
      const uint64_t used = all.size() % run.cap;
      const uint64_t choices[] = {0, run.cap - used, run.cap - used + 1,  // none, to a block's end, one past
                                  rng() % (uint64_t{run.cap} * (run.entries + 1)), run.cap + rng() % (run.cap + 1),
                                  rng() % (run.cap / 4 + 2)};
      const Bytes bytes = RandomBytes(choices[rng() % 6], run.seed * 1000 + r);
      ASSERT_TRUE(AppendRound(dg, bytes, run.cap, run.entries, 1 + rng() % (run.cap / 3 + 1)));
      all.insert(all.end(), bytes.begin(), bytes.end());
    }
    ASSERT_GT(all.size(), 2ull * run.cap * run.entries) << "the rounds should span several lists";
    CheckChain(Image(dir.Path("a.mf4")), run.cap, run.entries, all.size());
    EXPECT_TRUE(ReadBack(path) == all);
  }
}

}  // namespace
