// Tests of PieceReader: every byte once and in order, whatever the piece size; failures and early ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "file/mdf4_file.h"
#include "mdf_builder.h"
#include "sort/piece_reader.h"
#include "stream/data_stream.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qm::PieceReader;
using qm::test::MdfBuilder;

class PieceReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }

  // Data of `size` bytes in blocks of 1000 bytes behind a list; with `brokenDz` the blocks are
  // ##DZ and the stream of the last does not inflate.
  void Make(size_t size, bool brokenDz = false) {
    data_.resize(size);
    for (size_t i = 0; i < size; ++i) data_[i] = static_cast<uint8_t>(i * 31 + i / 251);
    MdfBuilder m;
    std::vector<uint64_t> blocks;
    for (size_t at = 0; at < size; at += 1000) {
      const Bytes part(data_.begin() + static_cast<ptrdiff_t>(at),
                       data_.begin() + static_cast<ptrdiff_t>(std::min(size, at + 1000)));
      const bool last = at + 1000 >= size;
      blocks.push_back(brokenDz ? m.AddDZ(part, 0, 0) : m.AddDT(part));
      if (last && brokenDz) m.Patch16(m.DataPos(blocks.back()) + 24 + 2, 0xFFFF);
    }
    const uint64_t list = m.AddDL(blocks, 0, true, 1000);
    ASSERT_TRUE(m.WriteTo(dir_.Path("p.mf4")));
    file_ = std::make_unique<MDF4File>();
    ASSERT_TRUE(file_->OpenForInspection(dir_.WPath("p.mf4").c_str()));
    stream_ = std::make_unique<m4DataStream>();
    ASSERT_TRUE(stream_->OpenForRead(&file_->Direct(), list));
  }

  qm::test::TempDir dir_;
  Bytes data_;
  std::unique_ptr<MDF4File> file_;
  std::unique_ptr<m4DataStream> stream_;
};

TEST_F(PieceReaderTest, HandsOutEveryByteOnceInOrder) {
  for (const size_t size : {0, 1, 999, 7000, 7001}) {
    for (const uint32_t piece : {1u, 700u, 1000u, 7000u, 9000u}) {
      SCOPED_TRACE(testing::Message() << size << " bytes in pieces of " << piece);
      Make(size);
      PieceReader reader;
      ASSERT_TRUE(reader.Start(stream_.get(), size, piece, 16));
      Bytes got;
      uint32_t n = 0;
      for (const uint8_t* p; (p = reader.Next(&n)) != nullptr;) {
        ASSERT_EQ(n, std::min<uint64_t>(piece, size - got.size()));
        got.insert(got.end(), p, p + n);
      }
      EXPECT_EQ(got, data_);
      EXPECT_EQ(reader.Next(&n), nullptr) << "nothing after the end";
    }
  }
}

TEST_F(PieceReaderTest, AFailedReadEndsThePiecesAndAnEarlyEndStopsTheThread) {
  Make(5500, true);
  {
    PieceReader reader;
    ASSERT_TRUE(reader.Start(stream_.get(), data_.size(), 1000, 16));
    uint32_t n = 0;
    size_t pieces = 0;
    while (reader.Next(&n) != nullptr) ++pieces;
    EXPECT_EQ(pieces, 5u) << "the pieces before the broken block arrive";
  }
  // A user that stops after one piece: the reader, a piece ahead, is stopped and joined.
  Make(7000);
  PieceReader reader;
  ASSERT_TRUE(reader.Start(stream_.get(), data_.size(), 100, 16));
  uint32_t n = 0;
  ASSERT_NE(reader.Next(&n), nullptr);
}

}  // namespace
