// Compressed sorted copies: the same records as the plain copy, in ##DZ blocks laid out field by field.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sort_test_support.h"

namespace qm::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kBlock = fmt::kDataBlockCapacity;

struct Group {
  uint32_t dataBytes;
  uint32_t invalBytes;
  uint64_t count;
};

// One unsorted data group (record ID size 1) with the groups' records interleaved, three of
// every group in turn.
std::string WriteSource(const TempDir& dir, const std::vector<Group>& groups) {
  MdfBuilder b;
  const uint64_t dg = b.AddDG(1);
  std::vector<std::pair<uint64_t, Bytes>> records;
  for (size_t g = 0; g < groups.size(); ++g)
    b.AddCN(b.AddCG(dg, g + 1, groups[g].count, groups[g].dataBytes, groups[g].invalBytes, 0,
                    ("g" + std::to_string(g)).c_str()),
            "x", nullptr, 0, 0, 10, 0, 8);
  for (uint64_t i = 0, more = 1; more != 0; i += 3) {
    more = 0;
    for (size_t g = 0; g < groups.size(); ++g)
      for (uint64_t k = i; k < i + 3 && k < groups[g].count; ++k, more = 1)
        records.emplace_back(g + 1, Payload(k * 131 + g, groups[g].dataBytes + groups[g].invalBytes));
  }
  b.SetDGData(dg, b.AddSplitData(MdfBuilder::UnsortedRecords(1, records), {}).root);
  return WriteImage(dir, b, "src.mf4");
}

// The records behind a compressed copy's data link, read field by field with zlib: an ##HL
// (equal length, the zip type of every block) leads to ##DL lists (equal length) of ##DZ blocks.
Bytes CompressedDataOf(const MdfBuilder& m, uint64_t link, uint64_t recordLength, uint32_t limit,
                       uint32_t listEntries) {
  Bytes out;
  if (link == 0) return out;
  EXPECT_EQ(BlockId(m, link), "##HL");
  const uint8_t zipType = m.Bytes()[m.DataPos(link) + 2];
  EXPECT_EQ(LoadLE16(&m.Bytes()[m.DataPos(link)]), 1);  // hl_flags: equal length
  EXPECT_EQ(zipType, recordLength >= 2 && recordLength <= limit ? 1 : 0);
  uint64_t equal = 0;
  const std::vector<uint64_t> lists = ChainOf(m, m.GetLink(link, 0));
  for (size_t l = 0; l < lists.size(); ++l) {
    const uint64_t dl = lists[l], at = m.DataPos(dl);
    EXPECT_EQ(BlockId(m, dl), "##DL");
    EXPECT_EQ(m.Bytes()[at], 1);  // dl_flags: equal length
    const uint32_t count = LoadLE32(&m.Bytes()[at + 4]);
    EXPECT_TRUE(l + 1 == lists.size() ? count >= 1 && count <= listEntries : count == listEntries);
    equal = Field64(m, at + 8);
    EXPECT_TRUE(equal <= limit && (zipType == 0 || equal % recordLength == 0)) << equal;
    for (uint32_t i = 1; i <= count; ++i) {
      const uint64_t dz = m.GetLink(dl, static_cast<int>(i)), d = m.DataPos(dz);
      EXPECT_EQ(BlockId(m, dz), "##DZ");
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m.Bytes()[d]), 2), "DT");
      EXPECT_EQ(m.Bytes()[d + 2], zipType);
      EXPECT_EQ(LoadLE32(&m.Bytes()[d + 4]), zipType == 1 ? recordLength : 0);
      const uint64_t original = Field64(m, d + 8), stored = Field64(m, d + 16);
      EXPECT_EQ(Field64(m, dz + fmt::kHeaderLengthOffset), 48 + stored);
      // Every block but the last holds the equal length.
      if (l + 1 < lists.size() || i < count) {
        EXPECT_EQ(original, equal);
      }
      Bytes raw(original);
      uLongf size = static_cast<uLongf>(original);
      EXPECT_EQ(uncompress(raw.data(), &size, &m.Bytes()[d + 24], static_cast<uLong>(stored)), Z_OK);
      EXPECT_EQ(size, original);
      // Undo the transposition: rows of recordLength bytes were stored column by column.
      Bytes rows = raw;
      const uint64_t n = zipType == 1 ? original / recordLength : 0;
      for (uint64_t r = 0; r < n; ++r)
        for (uint64_t c = 0; c < recordLength; ++c) rows[r * recordLength + c] = raw[c * n + r];
      out.insert(out.end(), rows.begin(), rows.end());
    }
  }
  return out;
}

struct Case {
  const char* what;
  std::vector<Group> groups;
  SortOptions options;
};

TEST(CompressedSortTest, HoldsThePlainCopysRecordsInDZBlocks) {
  const Case cases[] = {
      {"records ending exactly at 4 MiB, and one more", {{32, 0, kBlock / 32}, {24, 0, kBlock / 24 + 1}}, {}},
      {"0 and 1 records, odd lengths", {{8, 0, 0}, {8, 0, 1}, {7, 0, 1000}, {12, 1, 777}, {1, 0, 5000}}, {}},
      {"records longer than a block", {{3000, 1, 40}, {13, 0, 999}}, {.compressBlock = 1000, .compressList = 2}},
      {"group by group", {{13, 0, 70000}, {8, 0, 0}, {5000, 0, 3}}, {.onePass = false, .compressList = 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string source = WriteSource(dir, c.groups);
    ASSERT_TRUE(RunSort(dir, source, "plain.mf4").result);
    SortOptions options = c.options;
    options.compressLevel = 3;
    ASSERT_TRUE(RunSort(dir, source, "dz.mf4", options).result);
    const MdfBuilder plain = LoadImage(dir.Path("plain.mf4")), dz = LoadImage(dir.Path("dz.mf4"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&dz.Bytes()[fmt::kIdVersOffset]), 8), "4.10    ");
    EXPECT_EQ(LoadLE16(&dz.Bytes()[fmt::kIdVerOffset]), 410);
    const std::vector<uint64_t> plainDgs = DataGroupsOf(plain), dzDgs = DataGroupsOf(dz);
    ASSERT_EQ(dzDgs.size(), c.groups.size());
    for (size_t g = 0; g < c.groups.size(); ++g) {
      SCOPED_TRACE("group " + std::to_string(g));
      const Bytes expected = DataOf(plain, plain.GetLink(plainDgs[g], fmt::kDgData));
      ASSERT_EQ(expected.size(), c.groups[g].count * (c.groups[g].dataBytes + c.groups[g].invalBytes));
      const uint32_t limit = c.options.compressBlock != 0 ? c.options.compressBlock : kBlock;
      const uint32_t entries = c.options.compressList != 0 ? c.options.compressList : 1024;
      const Bytes got = CompressedDataOf(dz, dz.GetLink(dzDgs[g], fmt::kDgData),
                                         c.groups[g].dataBytes + c.groups[g].invalBytes, limit, entries);
      EXPECT_TRUE(got == expected) << got.size() << " bytes instead of " << expected.size();
    }
  }
}

}  // namespace
}  // namespace qm::test
