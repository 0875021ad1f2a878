// Self-test of the test-side MDF writer, SHA-256 and sidecar reader that other suites rely on.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "block/byte_order.h"
#include "block/format.h"
#include "mdf_builder.h"
#include "sha256.h"
#include "sidecar.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

namespace f = qm::fmt;

std::string Str(const std::vector<uint8_t>& b, size_t pos, size_t n) {
  return std::string(reinterpret_cast<const char*>(&b[pos]), n);
}

uint64_t LengthOf(const MdfBuilder& m, uint64_t pos) {
  return LoadLE64(&m.Bytes()[pos + f::kHeaderLengthOffset]);
}

TEST(MdfBuilderTest, IdentificationBlockAndHeader) {
  MdfBuilder m;
  const auto& b = m.Bytes();
  EXPECT_EQ(Str(b, 0, 8), "MDF     ");
  EXPECT_EQ(Str(b, 8, 8), "4.00    ");
  EXPECT_EQ(Str(b, 16, 8), "testgen ");
  EXPECT_EQ(LoadLE16(&b[f::kIdVerOffset]), 400);
  EXPECT_EQ(Str(b, 64, 4), "##HD");
  EXPECT_EQ(LengthOf(m, 64), 104u);
  EXPECT_EQ(LoadLE64(&b[64 + f::kHeaderLinkCountOffset]), 6u);
  EXPECT_EQ(m.Size(), 168u);

  m.SetStartTime(1700000000123456789ULL, 60, -30, 2);
  const uint64_t rec = m.DataPos(64);
  EXPECT_EQ(rec, 64u + 24 + 48);
  EXPECT_EQ(LoadLE64(&b[rec]), 1700000000123456789ULL);
  EXPECT_EQ(static_cast<int16_t>(LoadLE16(&b[rec + 8])), 60);
  EXPECT_EQ(static_cast<int16_t>(LoadLE16(&b[rec + 10])), -30);
  EXPECT_EQ(b[rec + 12], 2);

  MdfBuilder v(410, "a_much_longer_name");
  EXPECT_EQ(Str(v.Bytes(), 8, 8), "4.10    ");
  EXPECT_EQ(Str(v.Bytes(), 16, 8), "a_much_l");
}

TEST(MdfBuilderTest, BlocksAreAlignedAndChained) {
  MdfBuilder m;
  const uint64_t tx = m.AddText("abcde");  // 24 + 6 = 30 bytes
  EXPECT_EQ(tx % 8, 0u);
  EXPECT_EQ(LengthOf(m, tx), 30u);
  EXPECT_EQ(m.Bytes()[tx + 29], 0);
  const uint64_t dg1 = m.AddDG(2);
  EXPECT_EQ(dg1, tx + 32);  // next multiple of 8; the gap stays zero
  EXPECT_EQ(m.Bytes()[tx + 30], 0);
  const uint64_t dg2 = m.AddDG(0);
  EXPECT_EQ(m.GetLink(64, f::kHdDgFirst), dg1);
  EXPECT_EQ(m.GetLink(dg1, f::kDgNext), dg2);
  EXPECT_EQ(m.GetLink(dg2, f::kDgNext), 0u);
  EXPECT_EQ(m.Bytes()[m.DataPos(dg1)], 2);

  const uint64_t cg1 = m.AddCG(dg1, 0x0102, 7, 16, 1, 0, "Fast");
  const uint64_t cg2 = m.AddCG(dg1, 3, 0, 8);
  EXPECT_EQ(m.GetLink(dg1, f::kDgCgFirst), cg1);
  EXPECT_EQ(m.GetLink(cg1, f::kCgNext), cg2);
  EXPECT_EQ(LengthOf(m, cg1), 104u);
  const uint64_t cgRec = m.DataPos(cg1);
  EXPECT_EQ(LoadLE64(&m.Bytes()[cgRec]), 0x0102u);
  EXPECT_EQ(LoadLE64(&m.Bytes()[cgRec + 8]), 7u);
  EXPECT_EQ(LoadLE32(&m.Bytes()[cgRec + 24]), 16u);
  EXPECT_EQ(LoadLE32(&m.Bytes()[cgRec + 28]), 1u);
  EXPECT_EQ(Str(m.Bytes(), m.GetLink(cg1, f::kCgTxAcqName), 4), "##TX");

  const uint64_t cc = m.AddCC(f::kCcTypeLinear, {-1.0, 2.5});
  EXPECT_EQ(LengthOf(m, cc), 96u);
  const uint64_t cn1 = m.AddCN(cg1, "Time", "s", 2, 1, 4, 0, 64, cc);
  const uint64_t cn2 = m.AddCN(cg1, "Value", nullptr, 0, 0, 4, 8, 64);
  EXPECT_EQ(LengthOf(m, cn1), 160u);
  EXPECT_EQ(m.GetLink(cg1, f::kCgCnFirst), cn1);
  EXPECT_EQ(m.GetLink(cn1, f::kCnNext), cn2);
  EXPECT_EQ(m.GetLink(cn1, f::kCnCcConversion), cc);
  EXPECT_EQ(m.GetLink(cn2, f::kCnMdUnit), 0u);
  EXPECT_EQ(LoadLE32(&m.Bytes()[m.DataPos(cn2) + 4]), 8u);
  EXPECT_EQ(LoadLEDouble(&m.Bytes()[m.DataPos(cc) + 24 + 8]), 2.5);

  const uint64_t fh1 = m.AddFH(5, "<FHcomment/>");
  const uint64_t fh2 = m.AddFH(6, "");
  EXPECT_EQ(m.GetLink(64, f::kHdFhFirst), fh1);
  EXPECT_EQ(m.GetLink(fh1, f::kFhNext), fh2);
  EXPECT_EQ(Str(m.Bytes(), m.GetLink(fh1, f::kFhMdComment), 4), "##MD");
  EXPECT_EQ(m.GetLink(fh2, f::kFhMdComment), 0u);
}

std::vector<uint8_t> Inflate(const MdfBuilder& m, uint64_t dz) {
  const uint64_t rec = m.DataPos(dz);
  const uint64_t orgLength = LoadLE64(&m.Bytes()[rec + 8]);
  const uint64_t packed = LoadLE64(&m.Bytes()[rec + 16]);
  EXPECT_EQ(LengthOf(m, dz), 48 + packed);
  std::vector<uint8_t> out(orgLength);
  uLongf outLength = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &outLength, &m.Bytes()[rec + 24], static_cast<uLong>(packed)), Z_OK);
  EXPECT_EQ(outLength, out.size());
  return out;
}

TEST(MdfBuilderTest, DZPayloadInflatesToTheDataOrItsTransposition) {
  std::vector<uint8_t> raw(1000);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7 + i / 13);
  MdfBuilder m;
  const uint64_t plain = m.AddDZ(raw, f::kZipDeflate, 0);
  EXPECT_EQ(Str(m.Bytes(), m.DataPos(plain), 2), "DT");
  EXPECT_EQ(Inflate(m, plain), raw);
  EXPECT_EQ(m.DataLengthOf(plain), raw.size());

  const uint64_t transposed = m.AddDZ(raw, f::kZipTransposeDeflate, 24, "SD");
  EXPECT_EQ(Str(m.Bytes(), m.DataPos(transposed), 2), "SD");
  EXPECT_EQ(m.Bytes()[m.DataPos(transposed) + 2], 1);
  EXPECT_EQ(LoadLE32(&m.Bytes()[m.DataPos(transposed) + 4]), 24u);
  EXPECT_EQ(Inflate(m, transposed), MdfBuilder::Transpose(raw, 24));

  m.SetDZLengths(plain, 5, 3);
  EXPECT_EQ(m.DataLengthOf(plain), 5u);
  EXPECT_EQ(LoadLE64(&m.Bytes()[m.DataPos(plain) + 16]), 3u);
}

TEST(MdfBuilderTest, TransposeStoresColumnsAndLeavesTheTail) {
  const std::vector<uint8_t> rows = {0xA0, 0xA1, 0xA2, 0xB0, 0xB1, 0xB2, 0xC0, 0xC1, 0xC2, 0x77};
  const std::vector<uint8_t> cols = {0xA0, 0xB0, 0xC0, 0xA1, 0xB1, 0xC1, 0xA2, 0xB2, 0xC2, 0x77};
  EXPECT_EQ(MdfBuilder::Transpose(rows, 3), cols);
  EXPECT_EQ(MdfBuilder::Transpose(rows, 11), rows);
  EXPECT_EQ(MdfBuilder::Transpose(rows, 1), rows);
}

TEST(MdfBuilderTest, UnsortedRecordsWriteLittleEndianIds) {
  auto bytes = MdfBuilder::UnsortedRecords(2, {{0x0102, {0xAA}}, {0xFFFE, {}}});
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x02, 0x01, 0xAA, 0xFE, 0xFF}));
  bytes = MdfBuilder::UnsortedRecords(8, {{0x0102030405060708ULL, {}}});
  EXPECT_EQ(bytes, (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(MdfBuilderTest, SplitDataBuildsEqualLengthListChains) {
  std::vector<uint8_t> data(20850);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  MdfBuilder m;
  MdfBuilder::SplitLayout layout;
  layout.blockSize = 1005;
  layout.blocksPerList = 8;
  auto r = m.AddSplitData(data, layout);
  ASSERT_EQ(r.blocks.size(), 21u);
  ASSERT_EQ(r.lists.size(), 3u);
  EXPECT_EQ(r.root, r.lists[0]);
  EXPECT_EQ(m.GetLink(r.lists[0], f::kDlNext), r.lists[1]);
  EXPECT_EQ(m.GetLink(r.lists[1], f::kDlNext), r.lists[2]);
  EXPECT_EQ(m.GetLink(r.lists[2], f::kDlNext), 0u);
  EXPECT_EQ(m.GetLink(r.lists[2], 1 + 4), r.blocks[20]);
  const uint64_t lastRec = m.DataPos(r.lists[2]);
  EXPECT_EQ(m.Bytes()[lastRec], f::kDlFlagEqualLength);
  EXPECT_EQ(LoadLE32(&m.Bytes()[lastRec + 4]), 5u);
  EXPECT_EQ(LoadLE64(&m.Bytes()[lastRec + 8]), 1005u);
  EXPECT_EQ(m.DataLengthOf(r.blocks[20]), 750u);
  std::vector<uint8_t> joined;
  for (uint64_t b : r.blocks) {
    const uint64_t at = m.DataPos(b);
    joined.insert(joined.end(), m.Bytes().begin() + at, m.Bytes().begin() + at + m.DataLengthOf(b));
  }
  EXPECT_EQ(joined, data);

  layout.withHL = true;
  layout.compress = true;
  layout.equalLength = false;
  r = m.AddSplitData(data, layout);
  EXPECT_EQ(Str(m.Bytes(), r.root, 4), "##HL");
  EXPECT_EQ(m.GetLink(r.root, f::kHlDlFirst), r.lists[0]);
  EXPECT_EQ(Str(m.Bytes(), r.blocks[0], 4), "##DZ");
  // Without equal length, each list states where its blocks start in the whole sequence.
  const uint64_t rec1 = m.DataPos(r.lists[1]);
  EXPECT_EQ(m.Bytes()[rec1], 0);
  EXPECT_EQ(LoadLE64(&m.Bytes()[rec1 + 8]), 8u * 1005);
  EXPECT_EQ(Inflate(m, r.blocks[20]), std::vector<uint8_t>(data.end() - 750, data.end()));

  r = m.AddSplitData({}, MdfBuilder::SplitLayout{});
  EXPECT_TRUE(r.blocks.empty());
  ASSERT_EQ(r.lists.size(), 1u);
  EXPECT_EQ(LengthOf(m, r.root), 24u + 8 + 8 + 8);
}

TEST(MdfBuilderTest, WriteToRoundTrips) {
  MdfBuilder m;
  m.SetDGData(m.AddDG(1), m.AddDT({1, 2, 3}));
  TempDir dir;
  ASSERT_TRUE(dir.Ok());
  std::vector<uint8_t> back;
  ASSERT_TRUE(m.WriteTo(dir.Path("roundtrip.mf4")));
  ASSERT_TRUE(ReadFileBytes(dir.Path("roundtrip.mf4"), &back));
  EXPECT_EQ(back, m.Bytes());
  EXPECT_FALSE(ReadFileBytes(dir.Path("absent.mf4"), &back));
  EXPECT_FALSE(m.WriteTo(dir.Path("no_such_dir/x.mf4")));
}

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(Sha256Hex(nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block, so padding takes a second one.
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  Sha256 h;
  for (char c : two) h.Update(&c, 1);
  EXPECT_EQ(h.FinalHex(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  std::vector<uint8_t> million(1000000, 'a');
  EXPECT_EQ(Sha256Hex(million),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(JsonTest, ParsesValuesEscapesAndExactIntegers) {
  JsonValue v;
  ASSERT_TRUE(ParseJson(
      R"( {"a": [1, -2.5e1, true, false, null], "s": "q\"\\\/\n\u00e9\ud83d\ude00\ud800x",
           "big": 1700000000123456789, "neg": -9223372036854775808, "e": {}} )",
      &v));
  EXPECT_EQ(v["a"].Size(), 5u);
  EXPECT_EQ(v["a"][1].AsDouble(), -25.0);
  EXPECT_TRUE(v["a"][2].AsBool());
  EXPECT_TRUE(v["a"][4].IsNull());
  EXPECT_EQ(v["s"].AsString(), "q\"\\/\n\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDx");
  EXPECT_EQ(v["big"].AsU64(), 1700000000123456789ULL);
  EXPECT_EQ(v["neg"].AsI64(), INT64_MIN);
  EXPECT_EQ(v["neg"].AsU64(7), 7u);
  EXPECT_TRUE(v["e"].IsObject());
  EXPECT_TRUE(v["missing"]["deeper"][3].IsNull());
  EXPECT_EQ(v["a"].AsString("x"), "x");
}

TEST(JsonTest, RejectsMalformedText) {
  JsonValue v;
  for (const char* bad : {"", "[1,]", "{\"a\":1,}", "[1 2]", "\"open", "01", "1.", "-", "tru",
                          "{\"a\" 1}", "[\"\\x\"]", "[\"\\u12\"]", "1 2", "{1:2}", "\"a\tb\""}) {
    EXPECT_FALSE(ParseJson(bad, &v)) << bad;
  }
  EXPECT_FALSE(ParseJson(std::string(300, '[') + std::string(300, ']'), &v));
  EXPECT_TRUE(ParseJson(std::string(100, '[') + std::string(100, ']'), &v));
}

// Number of ##CG blocks in a file, counting only 8-aligned headers.
size_t CountCGBlocks(const std::vector<uint8_t>& file) {
  size_t n = 0;
  for (size_t pos = 64; pos + 4 <= file.size(); pos += 8)
    if (std::memcmp(&file[pos], "##CG", 4) == 0) ++n;
  return n;
}

TEST(SidecarTest, EveryTestdataSidecarMatchesItsFile) {
  if (!HaveTestData()) GTEST_SKIP() << "testdata folder missing";
  for (const char* name : {"a_unsorted_dt", "b_unsorted_dl_chain", "c_unsorted_hl_dz_deflate",
                           "h_sorted", "other_writer_unsorted_2cg"}) {
    SCOPED_TRACE(name);
    Sidecar sc;
    ASSERT_TRUE(LoadSidecar(TestDataPath(std::string(name) + ".json"), &sc));
    std::vector<uint8_t> file;
    ASSERT_TRUE(ReadFileBytes(TestDataPath(std::string(name) + ".mf4"), &file));
    EXPECT_EQ(sc.ChannelGroupCount(), CountCGBlocks(file));
    EXPECT_EQ(sc.versionNumber, LoadLE16(&file[f::kIdVerOffset]));
    EXPECT_EQ(sc.file, std::string(name) + ".mf4");
    for (const auto& dg : sc.dataGroups) {
      for (const auto& cg : dg.groups) {
        EXPECT_GT(cg.recordSize, 0u);
        EXPECT_FALSE(cg.channels.empty());
        for (const auto& cn : cg.channels) EXPECT_EQ(cn.samples, cg.cycleCount);
      }
    }
  }
}

TEST(SidecarTest, ReadsBothShapes) {
  if (!HaveTestData()) GTEST_SKIP() << "testdata folder missing";
  Sidecar a;
  ASSERT_TRUE(LoadSidecar(TestDataPath("a_unsorted_dt.json"), &a));
  EXPECT_EQ(a.versionNumber, 400);
  EXPECT_EQ(a.startTimeNs, 1700000000123456789ULL);
  ASSERT_EQ(a.dataGroups.size(), 1u);
  EXPECT_EQ(a.dataGroups[0].recordIdSize, 2);
  const SidecarGroup& fast = a.dataGroups[0].groups[0];
  EXPECT_EQ(fast.name, "EngineFast");
  EXPECT_TRUE(fast.recordSizeStated);
  EXPECT_EQ(fast.recordSize, 24u);
  EXPECT_EQ(a.dataGroups[0].groups[2].recordId, 0xFFFEu);
  const SidecarChannel& speed = fast.channels[1];
  EXPECT_FALSE(speed.master);
  EXPECT_TRUE(fast.channels[0].master);
  EXPECT_EQ(speed.conversionType, 1);
  EXPECT_TRUE(speed.hasLinear);
  EXPECT_EQ(speed.factor, 0.25);
  EXPECT_EQ(speed.first.size(), 3u);
  EXPECT_EQ(speed.byteOffset, -1);
  EXPECT_EQ(a.dataGroups[0].groups[2].channels[0].unit, "");
  EXPECT_EQ(a.root["header"]["tz_offset_min"].AsI64(), 60);

  Sidecar o;
  ASSERT_TRUE(LoadSidecar(TestDataPath("other_writer_unsorted_2cg.json"), &o));
  EXPECT_EQ(o.versionNumber, 420);
  ASSERT_EQ(o.dataGroups.size(), 1u);
  EXPECT_EQ(o.dataGroups[0].recordIdSize, 1);
  const SidecarGroup& slow = o.dataGroups[0].groups[1];
  EXPECT_EQ(slow.name, "Slow");
  EXPECT_FALSE(slow.recordSizeStated);
  EXPECT_EQ(slow.recordSize, 18u);  // two doubles and a 16-bit counter
  EXPECT_TRUE(slow.recordsSha256.empty());
  const SidecarChannel& count = slow.channels[2];
  EXPECT_EQ(count.dataType, 0);
  EXPECT_EQ(count.bitCount, 16);
  EXPECT_EQ(count.conversionType, 1);
  EXPECT_FALSE(count.hasLinear);
  ASSERT_EQ(count.first.size(), 1u);
  EXPECT_EQ(count.first[0], -5.0);
  EXPECT_EQ(count.sum, 449500.0);
  EXPECT_TRUE(slow.channels[0].master);
  EXPECT_EQ(slow.channels[0].dataType, 4);
}

// The records digest of each group of a_unsorted_dt, recomputed from its single ##DT by splitting
// the records by ID, agrees with the sidecar: this ties SHA-256, the sidecar fields and the record
// layout that the builder writes together.
TEST(SidecarTest, RecordDigestsOfTheSingleBlockFile) {
  if (!HaveTestData()) GTEST_SKIP() << "testdata folder missing";
  Sidecar sc;
  ASSERT_TRUE(LoadSidecar(TestDataPath("a_unsorted_dt.json"), &sc));
  std::vector<uint8_t> file;
  ASSERT_TRUE(ReadFileBytes(TestDataPath("a_unsorted_dt.mf4"), &file));
  size_t dt = 0;
  for (size_t pos = 64; pos + 24 <= file.size() && dt == 0; pos += 8)
    if (std::memcmp(&file[pos], "##DT", 4) == 0) dt = pos;
  ASSERT_NE(dt, 0u);
  const uint64_t end = dt + LoadLE64(&file[dt + 8]);
  ASSERT_LE(end, file.size());

  std::map<uint64_t, uint64_t> sizes;
  std::map<uint64_t, Sha256> digests;
  std::map<uint64_t, uint64_t> counts;
  for (const auto& cg : sc.dataGroups[0].groups) sizes[cg.recordId] = cg.recordSize;
  for (uint64_t pos = dt + 24; pos < end;) {
    ASSERT_LE(pos + 2, end);
    const uint64_t id = LoadLE16(&file[pos]);
    ASSERT_EQ(sizes.count(id), 1u) << "at " << pos;
    ASSERT_LE(pos + 2 + sizes[id], end);
    digests[id].Update(&file[pos + 2], sizes[id]);
    ++counts[id];
    pos += 2 + sizes[id];
  }
  for (const auto& cg : sc.dataGroups[0].groups) {
    EXPECT_EQ(counts[cg.recordId], cg.cycleCount);
    EXPECT_EQ(digests[cg.recordId].FinalHex(), cg.recordsSha256) << cg.name;
  }
}

}  // namespace
}  // namespace qm::test
