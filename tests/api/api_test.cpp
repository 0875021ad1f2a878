// End-to-end tests of the C interface: the bytes of the files it writes, its errors, limit groups and reopening.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "api/file_context.h"
#include "block/byte_order.h"
#include "block/format.h"
#include "cli_run.h"
#include "mdf_builder.h"
#include "quillmark/quillmark.h"
#include "scenario.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

namespace f = qm::fmt;

constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;

// The header comment with the texts already escaped.
std::string HDComment(const std::string& tx, const std::string& timeSource, const std::string& author,
                      const std::string& department, const std::string& project, const std::string& subject) {
  return "<HDcomment><TX>" + tx + "</TX><time_source>" + timeSource +
         "</time_source><common_properties><e name=\"author\">" + author + "</e><e name=\"department\">" +
         department + "</e><e name=\"project\">" + project + "</e><e name=\"subject\">" + subject +
         "</e><e name=\"version\">" QUILLMARK_VERSION_STRING ".0</e></common_properties></HDcomment>";
}

// The channel groups of the first data group: name, record ID, cycle count, ##CN positions.
struct Group {
  std::string name;
  uint64_t recordId, cycles;
  std::vector<uint64_t> channels;
};
std::vector<Group> GroupsOf(const MdfBuilder& m) {
  std::vector<Group> groups;
  for (uint64_t cg : ChainOf(m, m.GetLink(m.GetLink(f::kHDPosition, f::kHdDgFirst), f::kDgCgFirst)))
    groups.push_back({TextOf(m, m.GetLink(cg, f::kCgTxAcqName)), Field64(m, m.DataPos(cg)),
                      Field64(m, m.DataPos(cg) + 8), ChainOf(m, m.GetLink(cg, f::kCgCnFirst))});
  return groups;
}

// What `quillmark export --group` prints for a group; a note on standard error (cycle counts
// that do not match the data, data that does not validate) fails the test.
std::string ExportOf(const std::string& path, const std::string& group) {
  const CliResult r = RunCli({"export", path, "--group", group});
  EXPECT_EQ(r.err, "");
  return r.out;
}

class ApiTest : public ::testing::Test {
 protected:
  void TearDown() override { Close(); }

  std::string Path() const { return dir_.Path(name_); }
  MdfBuilder Image() const { return LoadImage(Path()); }
  // MDF4_Create on the test's file: creates it, or reopens it when it exists.
  bool Create(int64_t start = 0) { return MDF4_Create(Path().c_str(), &h_, &info_, &start); }
  void Close() {
    if (h_.file != nullptr) MDF4_Close(&h_);
    MDF4_FreeString(h_.errorMessage);
    h_ = MDF4Handle{};
  }
  // A group of channels "v" with unit "V" (and a master "Time" when withTime).
  bool AddGroup(const std::string& name, bool withTime = false, int channels = 1) {
    bool ok = MDF4_AddChannelGroup(&h_, name.c_str(), withTime);
    for (int i = 0; i < channels; ++i) ok = MDF4_AddChannel(&h_, name.c_str(), "v", "V", 1.0, 0.0) && ok;
    return ok;
  }
  // A 1-D call with samples of width values.
  bool Write(const std::string& group, const std::vector<double>& values, size_t width = 1) {
    return MDF4_AddChannelData1D(&h_, group.c_str(), values.data(), static_cast<uint32_t>(values.size() / width));
  }

  // Whether the handle records this error, its message preceded by its byte count. The error is
  // taken off the handle, as a host that continues after it does.
  ::testing::AssertionResult HasError(int32_t code, const std::u16string& message) {
    std::u16string got;
    uint32_t byteCount = 0;
    if (h_.errorMessage != nullptr) {
      got = reinterpret_cast<const char16_t*>(h_.errorMessage);
      std::memcpy(&byteCount, reinterpret_cast<const uint8_t*>(h_.errorMessage) - 4, 4);
      MDF4_FreeString(h_.errorMessage);
    }
    const int32_t gotCode = h_.errorCode;
    h_.errorCode = 0;
    h_.errorMessage = nullptr;
    if (gotCode == code && got == message && byteCount == 2 * message.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "error " << gotCode << " " << ::testing::PrintToString(got) << " of "
                                         << byteCount << " bytes";
  }
  // Whether a call failed with this error (by default "Invalid argument").
  ::testing::AssertionResult Refused(bool result, int32_t code = MDF4_ERR_INVALID_ARGUMENT,
                                     const std::u16string& message = u"Invalid argument") {
    ::testing::AssertionResult error = HasError(code, message);
    return result ? ::testing::AssertionFailure() << "the call succeeded" : error;
  }
  // Every call that takes a handle fails on h (the LTT queries with null and a count of 0).
  static void ExpectEveryCallFails(MDF4Handle* h) {
    double value = 1.0, *rows[1] = {&value};
    int32_t count = 5;
    EXPECT_FALSE(MDF4_AddChannelGroup(h, "[1]A", true) || MDF4_AddChannel(h, "[1]A", "x", nullptr, 1.0, 0.0) ||
                 MDF4_AddChannelData1D(h, "[1]A", &value, 1) || MDF4_AddChannelData2D(h, "[1]A", rows, 1) ||
                 MDF4_LTT_AddChannelData(h, 1, &value, 1));
    EXPECT_EQ(MDF4_LTT_GetChannelGroupName(h, 1), nullptr);
    EXPECT_EQ(MDF4_LTT_GetLimitIDs(h, &count), nullptr);
    EXPECT_EQ(count, 0);
  }

  TempDir dir_;
  std::string name_ = "test.mf4";
  MDF4Handle h_{};
  MDF4HeaderInfo info_{"Ann", "Test bench", "P1", "Torque", "PC clock", "Run 7"};
};

// ---- Layout ------------------------------------------------------------------------------

// Identification, then HD, FH, MD, MD, DG, each at the 8-aligned end of the one before. The host
// texts are escaped into the header comment: a<b, a tab, DEL, U+00E9 once as UTF-8 and once as the
// lone byte E9, and U+1F600 (a surrogate pair). A comment longer than 1023 units is refused.
TEST_F(ApiTest, NewFileLaysOutItsBlocksAndEscapesTheHostTexts) {
  info_ = {"O'Neil", "\"R&D\"", "", "1>0", "x&y", "a<b\t\x7F" "c\xC3\xA9 \xE9 \xF0\x9F\x98\x80"};
  ASSERT_TRUE(Create(kUnixEpochFileTime));
  Close();
  const MdfBuilder m = Image();
  const std::vector<uint8_t>& b = m.Bytes();
  ASSERT_GE(b.size(), 64u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 24), "MDF     4.00    Brenik  ");
  EXPECT_EQ(LoadLE16(&b[f::kIdVerOffset]), 400);
  std::vector<uint64_t> pos = {f::kHDPosition};
  for (const char* id : {"##HD", "##FH", "##MD", "##MD", "##DG"}) {
    ASSERT_LE(pos.back() + f::kBlockHeaderSize, b.size());
    EXPECT_EQ(std::string(b.begin() + pos.back(), b.begin() + pos.back() + 4), id) << "at " << pos.back();
    pos.push_back((pos.back() + LoadLE64(&b[pos.back() + f::kHeaderLengthOffset]) + 7) / 8 * 8);
  }
  EXPECT_EQ(pos.back(), b.size());
  const uint64_t hd = pos[0], fh = pos[1], dg = pos[4];
  EXPECT_EQ(std::vector<uint64_t>({m.GetLink(hd, f::kHdFhFirst), m.GetLink(fh, f::kFhMdComment),
                                   m.GetLink(hd, f::kHdMdComment), m.GetLink(hd, f::kHdDgFirst)}),
            std::vector<uint64_t>(pos.begin() + 1, pos.end() - 1));
#ifdef _WIN32
  // The C runtime's default locale: every byte is the character of its value.
  const char* text = "a&lt;b&#x0009;&#x007F;c&#x00C3;&#x00A9; &#x00E9; &#x00F0;&#x009F;&#x0098;&#x0080;";
#else
  const char* text = "a&lt;b&#x0009;&#x007F;c&#x00E9; &#x00E9; &#x01F600;";
#endif
  EXPECT_EQ(TextOf(m, pos[3]), HDComment(text, "x&amp;y", "O&apos;Neil", "&quot;R&amp;D&quot;", "", "1&gt;0"));
  EXPECT_EQ(TextOf(m, pos[2]), "<FHcomment><TX>Created</TX><tool_id>Quillmark</tool_id><tool_vendor>Karvoll GmbH"
                             "</tool_vendor><tool_version>" QUILLMARK_VERSION_STRING ".0</tool_version></FHcomment>");
  // The start time 1970-01-01 00:00 UTC is 0 ns in both the header and the history entry.
  EXPECT_EQ(LoadLE64(&b[m.DataPos(hd)]) + LoadLE64(&b[m.DataPos(fh)]), 0u);
  EXPECT_EQ(b[m.DataPos(dg)], 2);  // record ID size
  EXPECT_EQ(m.GetLink(dg, f::kDgCgFirst) + m.GetLink(dg, f::kDgData), 0u);

  // With empty texts, a comment of 1023 - frame units fills the 1023 units exactly. One unit
  // more, or a text that only grows past the limit when escaped, is refused and leaves no file.
  std::filesystem::remove(Path());
  const size_t frame = HDComment("", "", "", "", "", "").size();
  const std::string fits(1023 - frame, 'a'), tooLong(1024 - frame, 'a'), escapesTooLong((1024 - frame) / 4 + 1, '<');
  for (const std::string* comment : {&tooLong, &escapesTooLong, &fits}) {
    info_ = {"", "", "", "", "", comment->c_str()};
    EXPECT_EQ(Create(), comment == &fits);
    if (comment != &fits) {
      EXPECT_TRUE(HasError(MDF4_ERR_CREATE, u"Error creating MDF file"));
    }
    EXPECT_EQ(std::filesystem::exists(Path()), comment == &fits);
    Close();
  }
  const MdfBuilder n = Image();
  EXPECT_EQ(TextOf(n, n.GetLink(hd, f::kHdMdComment)), HDComment(fits, "", "", "", "", ""));
}

// Record IDs count up from 1 (a refused duplicate takes none); channels lie back to back as
// little-endian doubles with their linear conversion {offset, factor}, after a master "Time".
TEST_F(ApiTest, GroupsGetRecordIdsAndChannelsConsecutiveOffsets) {
  ASSERT_TRUE(Create());
  ASSERT_TRUE(MDF4_AddChannelGroup(&h_, "A", true) && MDF4_AddChannel(&h_, "A", "x", nullptr, 2.5, -1.0));
  EXPECT_FALSE(MDF4_AddChannelGroup(&h_, "A", false));
  ASSERT_TRUE(HasError(MDF4_ERR_GROUP, u"Group already exists") && AddGroup("B"));
  Close();
  ASSERT_TRUE(Create());  // reopened: the group's channels come from the file
  ASSERT_TRUE(Write("A", {0.5, 7.0}, 2));
  Close();
  const MdfBuilder m = Image();
  const std::vector<Group> g = GroupsOf(m);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(std::make_pair(g[0].recordId, g[1].recordId), std::make_pair(uint64_t{1}, uint64_t{2}));
  // name, unit, then cn_type, cn_sync_type, cn_data_type, cn_bit_offset, cn_byte_offset (LE32),
  // cn_bit_count (LE32), and the conversion's type and values
  using Channel = std::tuple<std::string, std::string, std::vector<uint8_t>, uint8_t, std::vector<double>>;
  std::vector<Channel> found;
  for (uint64_t cn : g[0].channels) {
    const uint8_t* rec = &m.Bytes()[m.DataPos(cn)];
    const uint8_t* cc = &m.Bytes()[m.DataPos(m.GetLink(cn, f::kCnCcConversion))];
    std::vector<double> values(LoadLE16(cc + 6));
    for (size_t i = 0; i < values.size(); ++i) values[i] = LoadLEDouble(cc + 24 + 8 * i);
    found.emplace_back(TextOf(m, m.GetLink(cn, f::kCnTxName)), TextOf(m, m.GetLink(cn, f::kCnMdUnit)),
                       std::vector<uint8_t>(rec, rec + 12), cc[0], values);
  }
  EXPECT_EQ(found, (std::vector<Channel>{{"Time", "s", {2, 1, 4, 0, 0, 0, 0, 0, 64, 0, 0, 0}, 1, {0.0, 1.0}},
                                         {"x", "", {0, 0, 4, 0, 8, 0, 0, 0, 64, 0, 0, 0}, 1, {-1.0, 2.5}}}));
  EXPECT_EQ(ExportOf(Path(), "A"), "Time [s],x\n0.5,16.5\n");
}

// ---- Errors ------------------------------------------------------------------------------

// Each refused call records its code and message and writes nothing; null pointers and a
// negative count are "Invalid argument", count 0 needs no values. Long group names are cut in
// their message. Errors are sticky: later calls do their work but report the first error and
// allocate no new message, until the host clears it.
TEST_F(ApiTest, RefusedCallsRecordTheirErrorAndWriteNothing) {
  ASSERT_TRUE(Create());
  const std::string longName(1000, 'n'), cut(1000, 'm'), fits(237, 'm');
  ASSERT_TRUE(AddGroup("[1]A") && Write("[1]A", {1.0}) && AddGroup(longName));
  double v = 1.0, *rows[1] = {&v}, *nullRow[2] = {&v, nullptr};
  std::vector<std::tuple<std::function<bool()>, int32_t, std::u16string>> calls = {
      {[&] { return MDF4_AddChannelGroup(&h_, "[1]A", false); }, MDF4_ERR_GROUP, u"Group already exists"},
      {[&] { return MDF4_AddChannel(&h_, "[1]A", "late", nullptr, 1, 0); }, MDF4_ERR_NOT_NEWEST_GROUP,
       u"Channels can only be added to the newest group"},
      {[&] { return Write("B", {1.0}); }, MDF4_ERR_GROUP, u"Group 'B' not found"},
      // 237 characters still fit "Group '%S' not found" into 255 units; longer names are cut.
      {[&] { return MDF4_AddChannel(&h_, fits.c_str(), "x", nullptr, 1, 0); }, MDF4_ERR_GROUP,
       u"Group '" + std::u16string(237, u'm') + u"' not found"},
      {[&] { return MDF4_AddChannel(&h_, cut.c_str(), "x", nullptr, 1, 0); }, MDF4_ERR_GROUP,
       u"Group '" + std::u16string(248, u'm')},
      {[&] { return MDF4_LTT_AddChannelData(&h_, 7, &v, 1); }, MDF4_ERR_LIMIT, u"limit '7' not found"},
      {[&] { return MDF4_LTT_AddChannelData(&h_, -2147483647 - 1, &v, 1); }, MDF4_ERR_LIMIT,
       u"limit '-2147483648' not found"},
      {[&] { return MDF4_AddChannelData1D(&h_, "[1]A", nullptr, 0); }, 0, u""},
      {[&] { return MDF4_AddChannelData2D(&h_, "[1]A", nullptr, 0); }, 0, u""},
      {[&] { return MDF4_LTT_GetLimitIDs(&h_, nullptr) == nullptr; }, 0, u""}};
  // Null pointers and a negative count.
  for (const std::function<bool()>& call : std::vector<std::function<bool()>>{
           [&] { return MDF4_AddChannelData2D(&h_, "[1]A", rows, -1); },
           [&] { return MDF4_AddChannelGroup(&h_, nullptr, true); },
           [&] { return MDF4_AddChannel(&h_, nullptr, "x", "u", 1, 0); },
           [&] { return MDF4_AddChannel(&h_, "[1]A", nullptr, "u", 1, 0); },
           [&] { return MDF4_AddChannelData1D(&h_, nullptr, &v, 1); },
           [&] { return MDF4_AddChannelData1D(&h_, "[1]A", nullptr, 1); },
           [&] { return MDF4_AddChannelData2D(&h_, nullptr, rows, 1); },
           [&] { return MDF4_AddChannelData2D(&h_, "[1]A", nullRow, 2); },
           [&] { return MDF4_LTT_AddChannelData(&h_, 1, nullptr, 1); }})
    calls.emplace_back(call, MDF4_ERR_INVALID_ARGUMENT, u"Invalid argument");
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    const std::vector<uint8_t> before = Image().Bytes();
    const auto& [call, code, message] = calls[i];
    EXPECT_EQ(call(), code == 0);
    EXPECT_TRUE(HasError(code, message));
    if (code != 0) {
      EXPECT_EQ(Image().Bytes(), before);
    }
  }
  EXPECT_FALSE(AddGroup(longName));
  QM_CHAR16* const message = h_.errorMessage;
  EXPECT_FALSE(AddGroup("") || Write("", {5.0, 6.0}) || Write(longName, {7.0, 8.0}, 2));
  EXPECT_EQ(h_.errorMessage, message);
  EXPECT_TRUE(HasError(MDF4_ERR_GROUP, u"Group already exists"));
  EXPECT_TRUE(Refused(MDF4_AddChannel(&h_, "", "late", nullptr, 1.0, 0.0), MDF4_ERR_RECORDS_EXIST,
                      u"Channels cannot be added to a group that has data"));
  Close();
  EXPECT_EQ(ExportOf(Path(), ""), "v [V]\n5\n6\n");
  EXPECT_EQ(GroupsOf(Image())[1].cycles, 1u);
}

// Null handles, a failed create and a closed handle refuse every call; a second close does
// nothing, and the handle can create (here: reopen) again.
TEST_F(ApiTest, NullHandlesFailedCreatesAndClosedHandlesRefuseEveryCall) {
  int64_t start = 0;
  MDF4HeaderInfo partial = info_;
  partial.subject = nullptr;
  EXPECT_FALSE(MDF4_Create(Path().c_str(), nullptr, &info_, &start));
  EXPECT_TRUE(Refused(MDF4_Create(nullptr, &h_, &info_, &start)));
  EXPECT_TRUE(Refused(MDF4_Create(Path().c_str(), &h_, nullptr, &start)));
  EXPECT_TRUE(Refused(MDF4_Create(Path().c_str(), &h_, &info_, nullptr)));
  EXPECT_TRUE(Refused(MDF4_Create(Path().c_str(), &h_, &partial, &start)));
  ExpectEveryCallFails(nullptr);
  MDF4_Close(nullptr);
  Free1DIntArray(nullptr);
  GetTimeChannelValues(nullptr, 3, 10, 0);
  EXPECT_FALSE(MDF4_Sort(nullptr, Path().c_str()) || MDF4_Sort(Path().c_str(), nullptr));
  EXPECT_FALSE(std::filesystem::exists(Path()));
  name_ = "missing-directory/test.mf4";
  EXPECT_TRUE(Refused(Create(), MDF4_ERR_CREATE, u"Error creating MDF file"));
  ExpectEveryCallFails(&h_);  // the error cleared, every call is "Invalid argument": no file
  EXPECT_TRUE(HasError(MDF4_ERR_INVALID_ARGUMENT, u"Invalid argument"));
  Close();

  name_ = "test.mf4";
  ASSERT_TRUE(Create() && AddGroup("[1]A") && Write("[1]A", {1.0}));
  MDF4_Close(&h_);
  EXPECT_EQ(h_.file, nullptr);
  const std::vector<uint8_t> closed = Image().Bytes();
  ExpectEveryCallFails(&h_);
  EXPECT_TRUE(HasError(MDF4_ERR_INVALID_ARGUMENT, u"Invalid argument"));
  MDF4_Close(&h_);
  EXPECT_EQ(h_.errorCode, 0);
  EXPECT_EQ(Image().Bytes(), closed);
  ASSERT_TRUE(Create() && Write("[1]A", {2.0}));
  Close();
  EXPECT_EQ(ExportOf(Path(), "[1]A"), "v [V]\n1\n2\n");
}

TEST_F(ApiTest, RecordIdsEndAt65535Groups) {
  ASSERT_TRUE(Create());
  for (int i = 1; i < 65535; ++i) ASSERT_TRUE(MDF4_AddChannelGroup(&h_, std::to_string(i).c_str(), false)) << i;
  ASSERT_TRUE(AddGroup("65535") && Write("65535", {0.0, 1.0}));
  EXPECT_TRUE(Refused(MDF4_AddChannelGroup(&h_, "65536", false), MDF4_ERR_TOO_MANY_GROUPS, u"Too many channel groups"));
  EXPECT_EQ(ExportOf(Path(), "65535"), "v [V]\n0\n1\n");
}

// ---- Reopening ---------------------------------------------------------------------------

// Another writer's unsorted 4.10 file (record ID size 2, a plain ##DT) is continued, its own start
// time returned; files whose data cannot be continued are refused at the first data call and
// left as they were; files that are not MDF 4 or have no data group cannot be opened.
TEST_F(ApiTest, ReopeningContinuesWhatItCanAndLeavesTheRestAlone) {
  using Place = uint64_t (*)(MdfBuilder&, const std::vector<uint8_t>&);
  const Place plain = [](MdfBuilder& m, const std::vector<uint8_t>& r) { return m.AddDT(r); };
  const struct {
    const char* what;
    int recIdSize;  // -1: no data group
    Place place;
    int32_t code;
  } cases[] = {{"record ID size 2", 2, plain, 0},
               {"sorted, no record IDs", 0, plain, MDF4_ERR_CANNOT_APPEND},
               {"1-byte record IDs", 1, plain, MDF4_ERR_CANNOT_APPEND},
               {"data behind an HL", 2,
                [](MdfBuilder& m, const std::vector<uint8_t>& r) { return m.AddSplitData(r, {.withHL = true}).root; },
                MDF4_ERR_CANNOT_APPEND},
               {"a list of 10-byte blocks", 2,
                [](MdfBuilder& m, const std::vector<uint8_t>& r) { return m.AddSplitData(r, {.blockSize = 10}).root; },
                MDF4_ERR_CANNOT_APPEND},
               {"a block longer than the file", 2,
                [](MdfBuilder& m, const std::vector<uint8_t>& r) {
                  const uint64_t dt = m.AddDT(r);
                  m.SetBlockLength(dt, 4000);
                  return dt;
                },
                MDF4_ERR_CANNOT_APPEND},
               {"no data group", -1, plain, MDF4_ERR_NO_DATA_GROUP}};
  std::vector<uint8_t> one(8), two(8);
  StoreLEDouble(one.data(), 1.0);
  StoreLEDouble(two.data(), 2.0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MdfBuilder m(410);
    m.SetStartTime(1600000000000000000ULL);
    if (c.recIdSize >= 0) {
      const uint64_t dg = m.AddDG(static_cast<uint8_t>(c.recIdSize));
      for (uint64_t id = 1; id <= (c.code == 0 ? 2 : 1); ++id)  // a second group named alike is not registered
        m.AddCN(m.AddCG(dg, c.recIdSize == 0 ? 0 : id, id == 1 ? 2 : 0, 8, 0, 0, "g"), "v", "V", 0, 0, 4, 0, 64);
      m.SetDGData(dg, c.place(m, MdfBuilder::UnsortedRecords(static_cast<uint8_t>(c.recIdSize), {{1, one}, {1, two}})));
    }
    ASSERT_TRUE(m.WriteTo(Path()));
    int64_t start = 0;
    if (c.code == MDF4_ERR_NO_DATA_GROUP) {
      EXPECT_TRUE(Refused(MDF4_Create(Path().c_str(), &h_, &info_, &start), c.code,
                          u"Error opening MDF file - File contains no data group"));
    } else {
      ASSERT_TRUE(MDF4_Create(Path().c_str(), &h_, &info_, &start));
      EXPECT_EQ(start, kUnixEpochFileTime + 16000000000000000LL);
      if (c.code == 0) {
        ASSERT_TRUE(Write("g", {3.0}));
        Close();
        EXPECT_EQ(ExportOf(Path(), "g"), "v [V]\n1\n2\n3\n");
        EXPECT_EQ(GroupsOf(Image())[1].cycles, 0u);
        continue;
      }
      EXPECT_TRUE(Refused(Write("g", {3.0}), c.code, u"Data cannot be appended to this file"));
    }
    Close();
    EXPECT_EQ(Image().Bytes(), m.Bytes());  // cycle count included
  }
  // Not MDF 4, or no valid identification and header.
  MdfBuilder text, v330(330), v399(399), magic, truncated, noHeader, wrongType, badLength;
  const std::string words = "This is a text file, not a measurement file at all.";
  text.Bytes().assign(words.begin(), words.end());
  std::memcpy(&magic.Bytes()[0], "MDF4    ", 8);
  truncated.Bytes().resize(40);
  noHeader.Bytes().resize(64);
  wrongType.Bytes()[f::kHDPosition + 2] = 'D';
  badLength.SetBlockLength(f::kHDPosition, 1000);
  const MdfBuilder* files[] = {&text, &v330, &v399, &magic, &truncated, &noHeader, &wrongType, &badLength};
  for (size_t i = 0; i < std::size(files); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(files[i]->WriteTo(Path()));
    EXPECT_TRUE(Refused(Create(), MDF4_ERR_OPEN, u"Error opening MDF file"));
    Close();
    EXPECT_EQ(LoadImage(Path()).Bytes(), files[i]->Bytes());
  }
}

// ---- Names, limit IDs and the sync policy ---------------------------------------------------

// Contract details, one table each, in one file written under every QUILLMARK_SYNC value and
// alternately in the "C" and a UTF-8 locale:
// - a policy chooses when the file is synced, never what it holds: every valid one (and
//   either locale) writes the bytes of the first; an unknown value fails the create before a
//   file exists;
// - a group name reaches the file as the UTF-8 of the characters the host's string stands for,
//   the same string finds the group after reopening, and the sorted copy carries it unchanged;
// - limit groups are named "[ID]...": their IDs are listed in registry order (byte order of the
//   names), and an ID finds the first group of its number, which takes the data of limit calls.
TEST_F(ApiTest, GroupNamesLimitIdsAndSyncPolicies) {
  const std::pair<const char*, bool> policies[] = {
      {"", true},           {"off", true},          {"close", true},   {"always", true},
      {"interval=0", true}, {"interval=250", true}, {"never", false},  {"ALWAYS", false},
      {"interval=", false}, {"interval=-5", false}, {"interval=5ms", false}};
  // The host's string, the file's bytes. A byte outside a well-formed UTF-8 sequence (a Latin-1
  // byte, a bad continuation, an overlong form, an encoded surrogate, a code point above
  // U+10FFFF, a cut sequence) stands for the character of its value.
  const std::pair<std::string, std::string> names[] = {
      {"Temp\xB0" "C", "Temp\xC2\xB0" "C"},
      {"caf\xE9\x41", "caf\xC3\xA9" "A"},
      {"\xC0\xAF\xED\xA0\x80", "\xC3\x80\xC2\xAF\xC3\xAD\xC2\xA0\xC2\x80"},
      {"\xF4\x90\x80\x80\xE2\x82", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80\xC3\xA2\xC2\x82"},
#ifdef _WIN32
      // The C runtime's default locale reads every byte as the character of its value.
      {"\xC3\x96l \xF0\x9F\x98\x80", "\xC3\x83\xC2\x96l \xC3\xB0\xC2\x9F\xC2\x98\xC2\x80"},
#else
      {"\xC3\x96l \xF0\x9F\x98\x80", "\xC3\x96l \xF0\x9F\x98\x80"},
#endif
      {"Engine", "Engine"}};
  // "[10]a" < "[123" < "[12]Temperature" < "[2]b"; "[123" reads as 12 (its last byte is
  // dropped); "[", "[abc]", "[]" and the number beyond 32 bits are not listed.
  const char* const limits[] = {"[2]b", "[10]a", "[12]Temperature", "[5]b", "[5]a", "[-3]x", "[123", "[", "[abc]", "[]",
                                "[99999999999]big"};
  const std::vector<int32_t> ids = {-3, 10, 12, 12, 2, 5, 5};
  // An ID finds the first group of its number; "[1]" does not begin "[12]Temperature".
  const std::pair<int32_t, std::string> lookups[] = {
      {12, "[12]Temperature"}, {10, "[10]a"}, {1, "<none>"}, {5, "[5]a"}, {-3, "[-3]x"}, {123, "<none>"}};
  const auto name = [&](int32_t id) {
    const char* n = MDF4_LTT_GetChannelGroupName(&h_, id);
    return n == nullptr ? std::string("<none>") : std::string(n);
  };
  const double values[] = {1.0, 2.0, 3.0};
  std::vector<uint8_t> reference;
  bool utf8 = false;
  for (const auto& [policy, valid] : policies) {
    SCOPED_TRACE(policy);
    std::filesystem::remove(Path());
    SetSyncPolicy(policy);
    const bool created = Create(133000000000000000);
    SetSyncPolicy("");
    ASSERT_EQ(created, valid);
    if (!valid) {
      EXPECT_TRUE(HasError(MDF4_ERR_SYNC_POLICY, u"Unknown QUILLMARK_SYNC value"));
      EXPECT_FALSE(std::filesystem::exists(Path()));
      Close();
      continue;
    }
    utf8 = !utf8 && std::setlocale(LC_ALL, "C.UTF-8") != nullptr;
    if (!utf8) std::setlocale(LC_ALL, "C");
    int32_t count = -1;
    EXPECT_EQ(MDF4_LTT_GetLimitIDs(&h_, &count), nullptr);  // no groups yet
    EXPECT_EQ(count, 0);
    for (const auto& [host, stored] : names) ASSERT_TRUE(AddGroup(host) && Write(host, {1.0}));
    for (const char* limit : limits) ASSERT_TRUE(AddGroup(limit));
    ASSERT_TRUE(MDF4_LTT_AddChannelData(&h_, 12, values, 2) && MDF4_LTT_AddChannelData(&h_, 5, values, 3));
    int32_t* listed = MDF4_LTT_GetLimitIDs(&h_, &count);
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(std::vector<int32_t>(listed, listed + count), ids);
    Free1DIntArray(listed);
    for (const auto& [id, group] : lookups) EXPECT_EQ(name(id), group) << id;
    EXPECT_EQ(h_.errorCode, 0);  // absence is reported by the result only
    // The name is the registry's own text: it stays where it is while groups are added.
    const char* temperature = MDF4_LTT_GetChannelGroupName(&h_, 12);
    ASSERT_TRUE(AddGroup("[0]late"));
    EXPECT_EQ(MDF4_LTT_GetChannelGroupName(&h_, 12), temperature);
    EXPECT_EQ(name(0), "[0]late");
    Close();
    ASSERT_TRUE(Create());
    for (const auto& [host, stored] : names) ASSERT_TRUE(Write(host, {2.0, 3.0})) << host;
    Close();
    if (reference.empty()) reference = Image().Bytes();
    EXPECT_EQ(Image().Bytes(), reference);
    std::map<std::string, uint64_t> cycles;
    for (const Group& g : GroupsOf(Image())) cycles[g.name] = g.cycles;
    EXPECT_EQ(std::make_pair(cycles["[12]Temperature"], cycles["[5]a"]), std::make_pair(uint64_t{2}, uint64_t{3}));
    ASSERT_TRUE(MDF4_Sort(Path().c_str(), dir_.Path("sorted.mf4").c_str()));
    const MdfBuilder sorted = LoadImage(dir_.Path("sorted.mf4"));
    const std::vector<uint64_t> dgs = ChainOf(sorted, sorted.GetLink(f::kHDPosition, f::kHdDgFirst));
    ASSERT_GE(dgs.size(), std::size(names));
    for (size_t i = 0; i < std::size(names); ++i) {
      EXPECT_EQ(cycles[names[i].second], 3u) << names[i].second;
      EXPECT_EQ(TextOf(sorted, sorted.GetLink(sorted.GetLink(dgs[i], f::kDgCgFirst), f::kCgTxAcqName)), names[i].second);
    }
  }
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(ExportOf(dir_.Path("sorted.mf4"), "Engine"), "v [V]\n1\n2\n3\n");

  // A file that stored a name's bytes unconverted is found by the same bytes.
  MdfBuilder m;
  m.AddCN(m.AddCG(m.AddDG(2), 1, 0, 8, 0, 0, "Temp\xB0" "C"), "v", "V", 0, 0, 4, 0, 64);
  ASSERT_TRUE(m.WriteTo(Path()));
  ASSERT_TRUE(Create() && Write("Temp\xB0" "C", {1.0, 2.0}));
  Close();
  EXPECT_EQ(GroupsOf(Image())[0].cycles, 2u);
}

}  // namespace
}  // namespace qm::test
