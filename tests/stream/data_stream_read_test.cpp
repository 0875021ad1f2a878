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
using qm::test::MdfBuilder;
using qm::test::TempDir;

std::vector<uint8_t> Seq(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i * 7);
  return v;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
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
    return stream_->OpenForRead(file_.get(), link);
  }

  // Reads everything from the current offset in pieces of `piece` bytes.
  std::vector<uint8_t> ReadAll(uint32_t piece) {
    std::vector<uint8_t> out, buf(piece);
    for (;;) {
      const int32_t n = stream_->ReadBytes(piece, buf.data());
      EXPECT_GE(n, 0);
      if (n <= 0) break;
      out.insert(out.end(), buf.begin(), buf.begin() + n);
      if (static_cast<uint32_t>(n) < piece) break;
    }
    return out;
  }

  TempDir dir_;
  std::unique_ptr<MDF4File> file_;
  std::unique_ptr<m4DataStream> stream_;
};

TEST_F(ReadStreamTest, ReadsAcrossBlocksAndListsInAnyPieceSize) {
  const std::vector<uint8_t> data = Seq(45);
  MdfBuilder m;
  MdfBuilder::SplitLayout layout;
  layout.blockSize = 10;
  layout.blocksPerList = 2;
  const auto split = m.AddSplitData(data, layout);
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
}

// Layouts that read as the concatenation of their blocks.
TEST_F(ReadStreamTest, ListsOfListsOffsetsAndMixedChainsRead) {
  const std::vector<uint8_t> a = Seq(10), b = Seq(7, 40), c = Seq(5, 80), d33 = Seq(33, 5);
  struct Case {
    const char* name;
    std::function<uint64_t(MdfBuilder&)> build;
    std::vector<uint8_t> data;
  };
  const std::vector<Case> cases = {
      {"list of lists in front",
       [&](MdfBuilder& m) {
         MdfBuilder::SplitLayout layout;
         layout.blockSize = 8;
         layout.blocksPerList = 3;
         layout.withHL = true;
         return m.AddSplitData(d33, layout).root;
       },
       d33},
      {"list of lists pointing at a data block", [&](MdfBuilder& m) { return m.AddHL(m.AddDT(a)); }, a},
      {"list with offsets: blocks of any length",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(a), m.AddDT(b), m.AddDT(c)}, 0, false); }, Cat({a, b, c})},
      // b is shorter than the equal length and not last: a chain that starts compressed does not check it.
      {"compressed first, plain later",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDZ(a, 0, 0), m.AddDT(b), m.AddDT(c)}, 0, true, 10); },
       Cat({a, b, c})},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    MdfBuilder m;
    ASSERT_TRUE(Open(m, k.build(m)));
    EXPECT_EQ(stream_->TotalLength(), k.data.size());
    EXPECT_EQ(ReadAll(6), k.data);
  }
}

TEST_F(ReadStreamTest, TransposedCompressedBlocksReadFromAnOffset) {
  const std::vector<uint8_t> a = Seq(40), b = Seq(23, 9);
  MdfBuilder m;
  const uint64_t dl = m.AddDL({m.AddDZ(a, f::kZipTransposeDeflate, 8), m.AddDZ(b, 0, 0)}, 0, true, 40);
  ASSERT_TRUE(Open(m, dl));
  EXPECT_EQ(stream_->Seek(13), 13u);
  const std::vector<uint8_t> all = Cat({a, b});
  EXPECT_EQ(ReadAll(5), std::vector<uint8_t>(all.begin() + 13, all.end()));
}

TEST_F(ReadStreamTest, CorruptCompressedBlockStopsReadingAfterTheGoodBytes) {
  const std::vector<uint8_t> a = Seq(10), b = Seq(10, 1);
  MdfBuilder m;
  const uint64_t bad = m.AddDZ(b, 0, 0);
  const uint64_t dl = m.AddDL({m.AddDZ(a, 0, 0), bad}, 0, true, 10);
  // Damage the deflate stream of the second block (behind its 24-byte record).
  m.Patch8(m.DataPos(bad) + 24 + 2, 0xFF);
  m.Patch8(m.DataPos(bad) + 24 + 3, 0xFF);
  ASSERT_TRUE(Open(m, dl));
  std::vector<uint8_t> buf(20);
  EXPECT_EQ(stream_->ReadBytes(20, buf.data()), 10);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 10), a);
}

TEST_F(ReadStreamTest, ReadBytesPastTheEndReturnsWhatRemainsThenZero) {
  const std::vector<uint8_t> data = Seq(25);
  MdfBuilder m;
  MdfBuilder::SplitLayout layout;
  layout.blockSize = 10;
  const auto split = m.AddSplitData(data, layout);
  ASSERT_TRUE(Open(m, split.root));
  std::vector<uint8_t> buf(100);
  ASSERT_EQ(stream_->ReadBytes(20, buf.data()), 20);
  EXPECT_EQ(stream_->ReadBytes(100, buf.data()), 5);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 5),
            std::vector<uint8_t>(data.begin() + 20, data.end()));
  EXPECT_EQ(stream_->Offset(), 25u);
  EXPECT_EQ(stream_->ReadBytes(100, buf.data()), 0);
}

TEST_F(ReadStreamTest, SeekLandsInsideAndBetweenFragments) {
  const std::vector<uint8_t> data = Seq(25);
  MdfBuilder m;
  MdfBuilder::SplitLayout layout;
  layout.blockSize = 10;
  layout.blocksPerList = 2;
  const auto split = m.AddSplitData(data, layout);
  ASSERT_TRUE(Open(m, split.root));
  for (uint64_t at : {0u, 9u, 10u, 11u, 20u, 24u}) {
    SCOPED_TRACE(at);
    EXPECT_EQ(stream_->Seek(at), at);
    EXPECT_EQ(ReadAll(6), std::vector<uint8_t>(data.begin() + at, data.end()));
  }
  // The end itself, or beyond it, finds no fragment: the stream starts over at 0.
  EXPECT_EQ(stream_->Seek(25), 0u);
  EXPECT_EQ(stream_->Seek(1000), 0u);
  EXPECT_EQ(ReadAll(25), data);
}

// Damaged or hostile layouts: the stream does not open, holds no data and reads nothing.
TEST_F(ReadStreamTest, RejectsHostileLayouts) {
  const std::vector<uint8_t> d10 = Seq(10), d9 = Seq(9), d5 = Seq(5);
  struct Case {
    const char* name;
    std::function<uint64_t(MdfBuilder&)> build;  // returns the data link
  };
  const std::vector<Case> cases = {
      {"chain starting with DT and a later DZ",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(d10), m.AddDZ(d5, 0, 0)}, 0, true, 10); }},
      {"DT then SD",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(d10), m.AddDT(d5, "SD")}, 0, true, 10); }},
      {"short block inside a list",
       [&](MdfBuilder& m) {
         return m.AddDL({m.AddDT(d10), m.AddDT(d9), m.AddDT(d5)}, 0, true, 10);
       }},
      {"short last block of a list that is not the last",
       [&](MdfBuilder& m) {
         const uint64_t dl2 = m.AddDL({m.AddDT(d5)}, 0, true, 10);
         return m.AddDL({m.AddDT(d10), m.AddDT(d9)}, dl2, true, 10);
       }},
      {"count above the link count",
       [&](MdfBuilder& m) {
         const uint64_t dl = m.AddDL({m.AddDT(d10), m.AddDT(d5)}, 0, true, 10);
         m.Patch32(m.DataPos(dl) + 4, 3);
         return dl;
       }},
      {"huge count",
       [&](MdfBuilder& m) {
         const uint64_t dl = m.AddDL({m.AddDT(d10)}, 0, true, 10);
         m.Patch32(m.DataPos(dl) + 4, 0xFFFFFFFFu);
         return dl;
       }},
      {"chain looping back to its first list",
       [&](MdfBuilder& m) {
         const uint64_t dl1 = m.AddDL({m.AddDT(d10)}, 0, true, 10);
         const uint64_t dl2 = m.AddDL({m.AddDT(d10)}, dl1, true, 10);
         m.SetLink(dl1, f::kDlNext, dl2);
         return dl1;
       }},
      {"list linking itself",
       [&](MdfBuilder& m) {
         const uint64_t dl = m.AddDL({m.AddDT(d10)}, 0, true, 10);
         m.SetLink(dl, f::kDlNext, dl);
         return dl;
       }},
      {"loop behind a list of lists",
       [&](MdfBuilder& m) {
         const uint64_t dl = m.AddDL({m.AddDT(d10)}, 0, true, 10);
         m.SetLink(dl, f::kDlNext, dl);
         return m.AddHL(dl);
       }},
      {"next link to a text",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(d10)}, m.AddText("x"), true, 10); }},
      {"listed block past the end",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(d10), uint64_t{1} << 40}, 0, true, 10); }},
      {"listed block running past the end",
       [&](MdfBuilder& m) {
         const uint64_t dl = m.AddDL({m.AddDT(d10), 0}, 0, true, 10);
         const uint64_t dt = m.AddDT(d5);
         m.SetLink(dl, 2, dt);
         m.SetBlockLength(dt, 24 + 4096);
         return dl;
       }},
      {"zero link in a list",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(d10), 0, m.AddDT(d5)}, 0, true, 10); }},
      {"listed text block",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(d10), m.AddText("x")}, 0, true, 10); }},
      {"listed link into a block",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDT(d10) + 8}, 0, true, 10); }},
  };
  for (const Case& c : cases) {
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
