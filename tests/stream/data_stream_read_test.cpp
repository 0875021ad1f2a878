// Tests of the reading data stream on layouts of other writers: lists, list chains, compressed
// blocks, hostile input.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "block/byte_order.h"
#include "block/format.h"
#include "file/mdf4_file.h"
#include "mdf_builder.h"
#include "stream/data_stream.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using Bytes = std::vector<uint8_t>;
using qm::test::MdfBuilder;
using Layout = std::function<uint64_t(MdfBuilder&)>;  // builds the data and returns its link

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

// A list of blocks of equal length 10.
uint64_t List10(MdfBuilder& m, const std::vector<uint64_t>& blocks, uint64_t next = 0) {
  return m.AddDL(blocks, next, true, 10);
}

class ReadStreamTest : public ::testing::Test {
 protected:
  // Writes the image and opens a reading stream on the layout's link; returns IsReady.
  bool Open(const Layout& layout) {
    MdfBuilder m;
    const uint64_t link = layout(m);
    EXPECT_TRUE(m.WriteTo(dir_.Path("r.mf4")));
    file_ = std::make_unique<MDF4File>();
    EXPECT_TRUE(file_->OpenForInspection(dir_.WPath("r.mf4").c_str()));
    stream_ = std::make_unique<m4DataStream>();
    return stream_->OpenForRead(&file_->Direct(), link);
  }
  // Reads everything from the start in pieces of `piece` bytes.
  Bytes ReadAll(uint32_t piece) {
    Bytes out, buf(piece);
    stream_->Seek(0);
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

// Layouts that read, in pieces of any size, as the concatenation of their blocks.
TEST_F(ReadStreamTest, ListsOfListsOffsetsCompressedAndMixedChainsRead) {
  const Bytes a = Seq(10), b = Seq(7, 40), c = Seq(5, 80), d33 = Seq(33, 5);
  const struct {
    const char* name;
    Layout build;
    Bytes data;
  } cases[] = {
      {"list of lists pointing at a data block", [&](MdfBuilder& m) { return m.AddHL(m.AddDT(a)); }, a},
      // b is shorter than the equal length and not last: a chain that starts compressed does not check it.
      {"compressed first, plain later", [&](MdfBuilder& m) { return List10(m, {m.AddDZ(a, 0, 0), m.AddDT(b), m.AddDT(c)}); },
       Cat({a, b, c})},
      {"transposed and plain compressed blocks",
       [&](MdfBuilder& m) { return m.AddDL({m.AddDZ(d33, f::kZipTransposeDeflate, 8), m.AddDZ(b, 0, 0)}, 0, true, 33); },
       Cat({d33, b})},
      // Empty blocks of other writers are passed over; the data ends where the chain ends.
      {"empty last block of an equal-length list that is not the last",
       [&](MdfBuilder& m) { return List10(m, {m.AddDT(a), m.AddDT({})}, List10(m, {m.AddDT(c), m.AddDT({})})); }, Cat({a, c})},
      {"empty compressed block in a list",
       [&](MdfBuilder& m) { return List10(m, {m.AddDZ(a, 0, 0), m.AddDZ({}, 0, 0), m.AddDZ(c, 0, 0)}); }, Cat({a, c})},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    ASSERT_TRUE(Open(k.build));
    EXPECT_EQ(stream_->TotalLength(), k.data.size());
    for (const uint32_t piece : {1u, 6u, 10u, 11u, 1000u}) EXPECT_EQ(ReadAll(piece), k.data) << piece;
  }
}

// A compressed block that does not inflate to the length it states ends the data behind the
// good bytes before it.
TEST_F(ReadStreamTest, CompressedBlockThatDoesNotInflateEndsTheData) {
  const auto stored = [](const MdfBuilder& m, uint64_t dz) { return qm::LoadLE64(&m.Bytes()[m.DataPos(dz) + 16]); };
  const std::function<void(MdfBuilder&, uint64_t)> damages[] = {
      [](MdfBuilder& m, uint64_t dz) { m.Patch16(m.DataPos(dz) + 24 + 2, 0xFFFF); },  // a corrupt stream
      [](MdfBuilder& m, uint64_t) { m.Patch8(m.Size() - 1, m.Bytes().back() ^ 1); },   // a bad check value
      [&](MdfBuilder& m, uint64_t dz) { m.SetDZLengths(dz, 11, stored(m, dz)); },       // the stream ends early
      [&](MdfBuilder& m, uint64_t dz) { m.SetDZLengths(dz, 9, stored(m, dz)); },        // it holds more
      [&](MdfBuilder& m, uint64_t dz) { m.SetDZLengths(dz, 10, stored(m, dz) - 4); },   // the stored length cuts it
      [&](MdfBuilder& m, uint64_t dz) { m.SetDZLengths(dz, 10, stored(m, dz) + 1); }};  // more than is stored
  for (size_t i = 0; i < std::size(damages); ++i) {
    ASSERT_TRUE(Open([&](MdfBuilder& m) {
      const uint64_t good = m.AddDZ(Seq(10), 0, 0), bad = m.AddDZ(Seq(10, 1), 0, 0);
      damages[i](m, bad);
      return List10(m, {good, bad});
    }));
    EXPECT_EQ(ReadAll(20), Seq(10)) << "damage " << i;
  }
}

// Damaged or hostile layouts: blocks of different types do not open (no data, nothing read);
// a link that loops or leads to no readable block, and a short block before others, end the
// data there: it holds what comes before, and says it ended early.
TEST_F(ReadStreamTest, HostileLayoutsAreRejectedOrEndTheData) {
  const Bytes d10 = Seq(10), d9 = Seq(9), d5 = Seq(5);
  const struct {
    const char* name;
    Layout build;
    bool opens;
    Bytes data;
  } cases[] = {
      {"chain starting with DT and a later DZ", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), m.AddDZ(d5, 0, 0)}); }, false, {}},
      {"DT then SD", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), m.AddDT(d5, "SD")}); }, false, {}},
      {"short block inside a list", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), m.AddDT(d9), m.AddDT(d5)}); },
       true, Cat({d10, d9})},
      {"count above the link count",
       [&](MdfBuilder& m) {
         const uint64_t dl = List10(m, {m.AddDT(d10), m.AddDT(d5)});
         m.Patch32(m.DataPos(dl) + 4, 3);
         return dl;
       }, true, Cat({d10, d5})},
      {"chain looping back to its first list",
       [&](MdfBuilder& m) {
         const uint64_t dl1 = List10(m, {m.AddDT(d10)});
         m.SetLink(dl1, f::kDlNext, List10(m, {m.AddDT(d10)}, dl1));
         return dl1;
       }, true, Cat({d10, d10})},
      {"loop behind a list of lists",
       [&](MdfBuilder& m) {
         const uint64_t dl = List10(m, {m.AddDT(d10)});
         m.SetLink(dl, f::kDlNext, dl);
         return m.AddHL(dl);
       }, true, d10},
      {"next link to a text", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10)}, m.AddText("x")); }, true, d10},
      {"listed block past the end", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), uint64_t{1} << 40}); }, true, d10},
      {"listed block running past the end",
       [&](MdfBuilder& m) {
         const uint64_t dl = List10(m, {m.AddDT(d10), 0});
         const uint64_t dt = m.AddDT(d5);  // the last block of the file
         m.SetLink(dl, 2, dt);
         m.SetBlockLength(dt, 24 + 4096);
         return dl;
       }, true, Cat({d10, d5})},  // the bytes in the file
      {"zero link in a list", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10), 0, m.AddDT(d5)}); }, true, d10},
      {"listed link into a block", [&](MdfBuilder& m) { return List10(m, {m.AddDT(d10) + 8}); }, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Open(c.build), c.opens);
    EXPECT_EQ(stream_->Truncated(), c.opens);
    EXPECT_EQ(stream_->TotalLength(), c.data.size());
    EXPECT_EQ(ReadAll(6), c.data);
  }
}

}  // namespace
