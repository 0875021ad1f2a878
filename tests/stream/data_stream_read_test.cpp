// Tests of the reading data stream on layouts of other writers: lists, list chains, compressed blocks, hostile input.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "block/format.h"
#include "file/mdf4_file.h"
#include "mdf_builder.h"
#include "stream/data_stream.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using Bytes = std::vector<uint8_t>;
using qm::test::MdfBuilder;

Bytes Seq(size_t n, uint8_t start = 0) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i * 7);
  return v;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Tail(const Bytes& v, size_t from) { return Bytes(v.begin() + from, v.end()); }

// A list of blocks of equal length 10.
uint64_t List10(MdfBuilder& m, const std::vector<uint64_t>& blocks, uint64_t next = 0) {
  return m.AddDL(blocks, next, true, 10);
}

class ReadStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }

  // Writes the image and opens a reading stream on link; returns IsReady.
  bool Open(const MdfBuilder& m, uint64_t link) {
    EXPECT_TRUE(m.WriteTo(dir_.Path("r.mf4")));
    file_ = std::make_unique<MDF4File>();
    EXPECT_TRUE(file_->OpenForInspection(dir_.WPath("r.mf4").c_str()));
    stream_ = std::make_unique<m4DataStream>();
    return stream_->OpenForRead(&file_->Direct(), link);
  }

  // Reads everything from the current offset in pieces of `piece` bytes.
  Bytes ReadAll(uint32_t piece) {
    Bytes out, buf(piece);
    for (int32_t n = 0; (n = stream_->ReadBytes(piece, buf.data())) > 0;) {
      out.insert(out.end(), buf.begin(), buf.begin() + n);
      if (static_cast<uint32_t>(n) < piece) break;
    }
    return out;
  }

  qm::test::TempDir dir_;
  std::unique_ptr<MDF4File> file_;
  std::unique_ptr<m4DataStream> stream_;
};

TEST_F(ReadStreamTest, ReadsAndSeeksAcrossBlocksAndListsInAnyPieceSize) {
  const Bytes data = Seq(45);
  MdfBuilder m;
  const auto split = m.AddSplitData(data, {.blockSize = 10, .blocksPerList = 2});
  ASSERT_EQ(split.lists.size(), 3u);
  ASSERT_TRUE(Open(m, split.root));
  EXPECT_EQ(stream_->TotalLength(), 45u);
  EXPECT_EQ(stream_->Fragments().size(), 6u) << "five blocks and the terminator";
  EXPECT_EQ(stream_->BlockType(), f::kDT);
  for (uint32_t piece : {1u, 3u, 7u, 10u, 11u, 45u, 1000u}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(stream_->Seek(0), 0u);
    EXPECT_EQ(ReadAll(piece), data);
  }
  for (uint64_t at : {9u, 10u, 11u, 20u, 44u}) {
    SCOPED_TRACE(at);
    EXPECT_EQ(stream_->Seek(at), at);
    EXPECT_EQ(ReadAll(6), Tail(data, at));
  }
  // The end itself, or beyond it, finds no fragment: the stream starts over at 0.
  EXPECT_EQ(stream_->Seek(45), 0u);
  EXPECT_EQ(stream_->Seek(1000), 0u);
  // A read past the end returns what remains, then nothing.
  Bytes buf(100);
  ASSERT_EQ(stream_->ReadBytes(40, buf.data()), 40);
  EXPECT_EQ(stream_->ReadBytes(100, buf.data()), 5);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 5), Tail(data, 40));
  EXPECT_EQ(stream_->Offset(), 45u);
  EXPECT_EQ(stream_->ReadBytes(100, buf.data()), 0);
}

// Layouts that read as the concatenation of their blocks.
TEST_F(ReadStreamTest, ListsOfListsOffsetsAndMixedChainsRead) {
  const Bytes a = Seq(10), b = Seq(7, 40), c = Seq(5, 80), d33 = Seq(33, 5);
  const struct {
    const char* name;
    std::function<uint64_t(MdfBuilder&)> build;
    Bytes data;
  } cases[] = {
      {"list of lists in front",
       [&](MdfBuilder& m) { return m.AddSplitData(d33, {.blockSize = 8, .blocksPerList = 3, .withHL = true}).root; },
       d33},
      {"list of lists pointing at a data block", [&](MdfBuilder& m) { return m.AddHL(m.AddDT(a)); }, a},
      {"list with offsets: blocks of any length",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(a), m.AddDT(b), m.AddDT(c)}, 0, false); }, Cat({a, b, c})},
      // b is shorter than the equal length and not last: a chain that starts compressed does not check it.
      {"compressed first, plain later",
       [&](MdfBuilder& m) { return List10(m, {m.AddDZ(a, 0, 0), m.AddDT(b), m.AddDT(c)}); }, Cat({a, b, c})},
      // Empty blocks of other writers are passed over; the data ends where the chain ends.
      {"empty blocks inside a list with offsets",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT({}), m.AddDT(b), m.AddDT({}), m.AddDT(c)}, 0, false); },
       Cat({b, c})},
      {"empty last block of an equal-length list that is not the last",
       [&](MdfBuilder& m) { return List10(m, {m.AddDT(a), m.AddDT({})}, List10(m, {m.AddDT(c), m.AddDT({})})); },
       Cat({a, c})},
      {"empty compressed block in a list", [&](MdfBuilder& m) { return List10(m, {m.AddDZ(a, 0, 0), m.AddDZ({}, 0, 0), m.AddDZ(c, 0, 0)}); },
       Cat({a, c})},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    MdfBuilder m;
    ASSERT_TRUE(Open(m, k.build(m)));
    EXPECT_EQ(stream_->TotalLength(), k.data.size());
    EXPECT_EQ(ReadAll(6), k.data);
  }
}

TEST_F(ReadStreamTest, TransposedCompressedBlocksReadFromAnOffset) {
  const Bytes a = Seq(40), b = Seq(23, 9);
  MdfBuilder m;
  ASSERT_TRUE(Open(m, m.AddDL({m.AddDZ(a, f::kZipTransposeDeflate, 8), m.AddDZ(b, 0, 0)}, 0, true, 40)));
  EXPECT_EQ(stream_->Seek(13), 13u);
  EXPECT_EQ(ReadAll(5), Tail(Cat({a, b}), 13));
}

TEST_F(ReadStreamTest, CorruptCompressedBlockStopsReadingAfterTheGoodBytes) {
  const Bytes a = Seq(10);
  MdfBuilder m;
  const uint64_t good = m.AddDZ(a, 0, 0), bad = m.AddDZ(Seq(10, 1), 0, 0);
  // Damage the deflate stream of the second block (behind its 24-byte record).
  m.Patch16(m.DataPos(bad) + 24 + 2, 0xFFFF);
  ASSERT_TRUE(Open(m, List10(m, {good, bad})));
  Bytes buf(20);
  EXPECT_EQ(stream_->ReadBytes(20, buf.data()), 10);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 10), a);
}

// Damaged or hostile layouts: the stream does not open, holds no data and reads nothing.
TEST_F(ReadStreamTest, RejectsHostileLayouts) {
  const Bytes d10 = Seq(10), d9 = Seq(9), d5 = Seq(5);
  const struct {
    const char* name;
    std::function<uint64_t(MdfBuilder&)> build;  // returns the data link
  } cases[] = {
      {"chain starting with DT and a later DZ", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), m.AddDZ(d5, 0, 0)}); }},
      {"DT then SD", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), m.AddDT(d5, "SD")}); }},
      {"short block inside a list", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), m.AddDT(d9), m.AddDT(d5)}); }},
      {"short last block of a list that is not the last",
       [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), m.AddDT(d9)}, List10(m, {m.AddDT(d5)})); }},
      {"count above the link count",
       [&](MdfBuilder& m) {
         const uint64_t dl = List10(m, {m.AddDT(d10), m.AddDT(d5)});
         m.Patch32(m.DataPos(dl) + 4, 3);
         return dl;
       }},
      {"huge count",
       [&](MdfBuilder& m) {
         const uint64_t dl = List10(m, {m.AddDT(d10)});
         m.Patch32(m.DataPos(dl) + 4, 0xFFFFFFFFu);
         return dl;
       }},
      {"chain looping back to its first list",
       [&](MdfBuilder& m) {
         const uint64_t dl1 = List10(m, {m.AddDT(d10)});
         m.SetLink(dl1, f::kDlNext, List10(m, {m.AddDT(d10)}, dl1));
         return dl1;
       }},
      {"list linking itself",
       [&](MdfBuilder& m) {
         const uint64_t dl = List10(m, {m.AddDT(d10)});
         m.SetLink(dl, f::kDlNext, dl);
         return dl;
       }},
      {"loop behind a list of lists",
       [&](MdfBuilder& m) {
         const uint64_t dl = List10(m, {m.AddDT(d10)});
         m.SetLink(dl, f::kDlNext, dl);
         return m.AddHL(dl);
       }},
      {"next link to a text", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10)}, m.AddText("x")); }},
      {"listed block past the end", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), uint64_t{1} << 40}); }},
      {"listed block running past the end",
       [&](MdfBuilder& m) {
         const uint64_t dl = List10(m, {m.AddDT(d10), 0});
         const uint64_t dt = m.AddDT(d5);
         m.SetLink(dl, 2, dt);
         m.SetBlockLength(dt, 24 + 4096);
         return dl;
       }},
      {"zero link in a list", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), 0, m.AddDT(d5)}); }},
      {"listed text block", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), m.AddText("x")}); }},
      {"listed link into a block", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10) + 8}); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MdfBuilder m;
    const uint64_t link = c.build(m);
    EXPECT_FALSE(Open(m, link));
    EXPECT_EQ(stream_->TotalLength(), 0u);
    uint8_t buf[16];
    EXPECT_EQ(stream_->ReadBytes(sizeof buf, buf), 0);
  }
}

}  // namespace
