// The record splitter: IDs of every size, fixed and VLSD records, records across pieces, where it stops.
#include "stream/record_splitter.h"

#include <gtest/gtest.h>

#include <vector>

#include "mdf_builder.h"

namespace qm::test {
namespace {

using Bytes = std::vector<uint8_t>;

using Sink = RecordSink;

TEST(RecordSplitter, SplitsEveryLayoutInAnyPiecesAndStopsWhereTheDataEnds) {
  const Bytes a = {1, 2, 3}, b = {4, 5, 6, 7, 8}, vlsd = {2, 0, 0, 0, 9, 9};  // VLSD: length 2, bytes
  const struct {
    const char* what;
    uint8_t idSize;
    std::vector<std::pair<uint64_t, Bytes>> records;
    size_t cut;           // bytes removed from the end
    bool stopped;         // the sink stopped the split (an undeclared ID)
    uint64_t offset;      // where the split stopped, or the record that is left open began
    bool inId, inRecord;  // what the end of the data leaves open
    Bytes a, b;           // bytes handed out for ID 1 and for 0x0102 (2 with 1-byte IDs, 0 without)
  } cases[] = {
      {"1-byte IDs", 1, {{1, a}, {2, b}, {1, a}}, 0, false, 14, false, false, {1, 2, 3, 1, 2, 3}, b},
      {"2-byte IDs", 2, {{1, a}, {0x0102, b}, {1, a}}, 0, false, 17, false, false, {1, 2, 3, 1, 2, 3}, b},
      {"4-byte IDs with a VLSD record", 4, {{1, a}, {7, vlsd}, {0x0102, b}}, 0, false, 26, false, false, a, b},
      {"8-byte IDs", 8, {{0x0102, b}, {1, a}}, 0, false, 24, false, false, a, b},
      {"no IDs", 0, {{0, b}, {0, b}}, 0, false, 10, false, false, {}, {4, 5, 6, 7, 8, 4, 5, 6, 7, 8}},
      {"undeclared ID", 2, {{1, a}, {9, a}, {1, a}}, 0, true, 5, false, false, a, {}},
      {"cut inside a record", 2, {{1, a}, {0x0102, b}}, 1, false, 5, false, true, a, {4, 5, 6, 7}},
      {"cut inside a VLSD record", 1, {{1, a}, {7, vlsd}}, 1, false, 4, false, true, a, {}},
      {"stray bytes of an ID", 4, {{1, a}, {1, a}}, 5, false, 7, true, false, a, {}},
  };
  for (const auto& c : cases) {
    Bytes data = MdfBuilder::UnsortedRecords(c.idSize, c.records);
    data.resize(data.size() - c.cut);
    for (size_t piece : {data.size() + 1, size_t{1}, size_t{4}}) {  // whole, byte by byte, in fours
      SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
      Sink sink;
      const uint64_t bId = c.idSize == 0 ? 0 : c.idSize == 1 ? 2 : 0x0102;
      sink.groups[bId] = {false, b.size(), {}};
      if (c.idSize != 0) sink.groups[1] = {false, a.size(), {}};
      sink.groups[7] = {true, 0, {}};
      RecordSplitter<Sink> split(c.idSize, sink);
      bool stopped = false;
      std::vector<Bytes> pieces;
      for (size_t at = 0; at < data.size() && !stopped; at += piece) {
        Bytes& p = pieces.emplace_back(data.begin() + at, data.begin() + std::min(data.size(), at + piece));
        const size_t n = p.size();
        p.resize(n + kSplitSlack, 0xEE);
        stopped = split.Feed(p.data(), p.data() + n) != RecordSplitter<Sink>::Stop::kFed;
      }
      EXPECT_EQ(stopped, c.stopped);
      EXPECT_EQ(c.stopped || c.inRecord || c.inId ? split.RecordStart() : split.Offset(), c.offset);
      EXPECT_EQ(split.InId(), c.inId);
      EXPECT_EQ(split.InRecord(), c.inRecord);
      EXPECT_EQ(sink.groups[bId].bytes, c.b);
      EXPECT_EQ(sink.groups[1].bytes, c.a);
      EXPECT_EQ(sink.groups[7].bytes, Bytes());  // VLSD records are stepped over
    }
  }
}

}  // namespace
}  // namespace qm::test
