// End-to-end tests of the C interface: the bytes of the files it writes, its errors, limit groups and reopening.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/descriptive_blocks.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "block/text_block.h"
#include "file/mdf4_file.h"
#include "mdf_builder.h"
#include "quillmark/quillmark.h"
#include "stream/data_stream.h"
#include "temp_dir.h"

namespace {

namespace f = qm::fmt;
using qm::test::MdfBuilder;
using qm::test::TempDir;

using Sample = std::vector<double>;
using RecordsById = std::map<uint64_t, std::vector<Sample>>;

constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;

// The header comment with the texts already escaped.
std::string HDComment(const std::string& tx, const std::string& timeSource, const std::string& author,
                      const std::string& department, const std::string& project, const std::string& subject) {
  return "<HDcomment><TX>" + tx + "</TX><time_source>" + timeSource +
         "</time_source><common_properties><e name=\"author\">" + author + "</e><e name=\"department\">" +
         department + "</e><e name=\"project\">" + project + "</e><e name=\"subject\">" + subject +
         "</e><e name=\"version\">1.6.0.0</e></common_properties></HDcomment>";
}

// ---- Reading a file back through the library's reading side -------------------------------

struct ChannelInfo {
  m4CNRecord cn{};
  std::string name, unit;
  uint8_t ccType = 0;
  std::vector<double> ccValues;
};
struct GroupInfo {
  m4CGRecord cg{};
  std::string name;
  std::vector<ChannelInfo> channels;
};
struct DataGroupInfo {
  uint8_t recIdSize = 0;
  uint64_t data = 0;
  std::vector<GroupInfo> groups;
};

// A file opened read-only (without the writer's lock) with its tree of data groups, channel
// groups and channels loaded at once.
class FileView {
 public:
  explicit FileView(const std::u16string& path) : ok_(file_.OpenForInspection(path.c_str())) {
    for (uint64_t dgPos = ok_ ? HD().GetLink(f::kHdDgFirst) : 0; dgPos != 0 && dataGroups_.size() < 1000;) {
      std::unique_ptr<M4DGBlock> dg = LoadAs<M4DGBlock>(&file_.Direct(), dgPos, f::kDG);
      if (!dg) break;
      DataGroupInfo& info = dataGroups_.emplace_back();
      info.recIdSize = dg->dg_rec_id_size;
      info.data = dg->GetLink(f::kDgData);
      for (uint64_t cgPos = dg->GetLink(f::kDgCgFirst); cgPos != 0 && info.groups.size() < 70000;) {
        std::unique_ptr<M4CGBlock> cg = LoadAs<M4CGBlock>(&file_.Direct(), cgPos, f::kCG);
        if (!cg) break;
        GroupInfo& g = info.groups.emplace_back();
        g.cg = cg->record();
        g.name = Text(cg->GetLink(f::kCgTxAcqName));
        for (uint64_t cnPos = cg->GetLink(f::kCgCnFirst); cnPos != 0 && g.channels.size() < 100000;) {
          std::unique_ptr<M4CNBlock> cn = LoadAs<M4CNBlock>(&file_.Direct(), cnPos, f::kCN);
          if (!cn) break;
          ChannelInfo& c = g.channels.emplace_back();
          c.cn = cn->record();
          c.name = Text(cn->GetLink(f::kCnTxName));
          c.unit = Text(cn->GetLink(f::kCnMdUnit));
          if (std::unique_ptr<M4CCBlock> cc = LoadAs<M4CCBlock>(&file_.Direct(), cn->GetLink(f::kCnCcConversion), f::kCC)) {
            c.ccType = cc->cc_type;
            c.ccValues.assign(cc->var.begin(), cc->var.begin() + std::min<size_t>(cc->cc_val_count, cc->var.size()));
          }
          cnPos = cn->GetLink(f::kCnNext);
        }
        cgPos = cg->GetLink(f::kCgNext);
      }
      dgPos = dg->GetLink(f::kDgNext);
    }
  }

  bool Ok() const { return ok_; }
  MDF4File& File() { return file_; }
  M4HDBlock& HD() { return file_.HD(); }
  const std::vector<DataGroupInfo>& DataGroups() const { return dataGroups_; }
  // The groups of the first data group (the only one of a file this library writes).
  const std::vector<GroupInfo>& Groups() const {
    static const std::vector<GroupInfo> kNone;
    return dataGroups_.empty() ? kNone : dataGroups_[0].groups;
  }
  std::vector<uint64_t> CycleCounts() const {
    std::vector<uint64_t> counts;
    for (const GroupInfo& g : Groups()) counts.push_back(g.cg.cg_cycle_count);
    return counts;
  }

  // The bytes of the TX or MD block at position up to its first zero byte.
  std::string Text(uint64_t position) {
    std::unique_ptr<m4Block> b = LoadBlock(&file_.Direct(), position);
    if (!b || (b->GetType() != f::kTX && b->GetType() != f::kMD)) return "<no text block>";
    const auto* text = static_cast<M4TXBlock*>(b.get());
    const char* chars = reinterpret_cast<const char*>(text->Text());
    return std::string(chars, strnlen(chars, text->GetLength()));
  }

  // All record bytes of a data group, read through a reading stream.
  std::vector<uint8_t> Data(const DataGroupInfo& dg) {
    m4DataStream stream;
    if (dg.data == 0) return {};
    if (!stream.OpenForRead(&file_.Direct(), dg.data)) {
      ADD_FAILURE() << "the data of a group cannot be read";
      return {};
    }
    std::vector<uint8_t> bytes(stream.TotalLength());
    if (!bytes.empty() && stream.ReadBytes(static_cast<uint32_t>(bytes.size()), bytes.data()) !=
                              static_cast<int32_t>(bytes.size()))
      ADD_FAILURE() << "short read of record data";
    return bytes;
  }

  // The records of a data group split by record ID into samples (one double per channel).
  // Without record IDs the data group must hold one group, whose cg_record_id is the key.
  RecordsById Records(const DataGroupInfo& dg) {
    RecordsById out;
    std::map<uint64_t, const m4CGRecord*> byId;
    for (const GroupInfo& g : dg.groups) byId[g.cg.cg_record_id] = &g.cg;
    if (dg.recIdSize == 0 && dg.groups.size() != 1) {
      ADD_FAILURE() << "a data group without record IDs holds " << dg.groups.size() << " groups";
      return out;
    }
    const std::vector<uint8_t> bytes = Data(dg);
    for (size_t pos = 0; pos < bytes.size();) {
      uint64_t id = dg.groups[0].cg.cg_record_id;
      if (dg.recIdSize != 0) {
        id = 0;
        std::memcpy(&id, &bytes[pos], std::min<size_t>(dg.recIdSize, bytes.size() - pos));  // little-endian host
        pos += dg.recIdSize;
      }
      const auto it = byId.find(id);
      const uint64_t size = it == byId.end() ? 0 : uint64_t{it->second->cg_data_bytes} + it->second->cg_inval_bytes;
      if (it == byId.end() || pos + size > bytes.size()) {
        ADD_FAILURE() << "record of ID " << id << " unknown or cut off before data offset " << pos;
        break;
      }
      Sample& s = out[id].emplace_back(it->second->cg_data_bytes / 8);
      for (size_t c = 0; c < s.size(); ++c) s[c] = qm::LoadLEDouble(&bytes[pos + 8 * c]);
      pos += size;
    }
    return out;
  }

 private:
  MDF4File file_;
  bool ok_;
  std::vector<DataGroupInfo> dataGroups_;
};

// ---- The host side -----------------------------------------------------------------------

// Samples with distinct, exactly representable values: v(sample, channel) = base + sample + channel / 8.
std::vector<Sample> Samples(double base, int first, int count, int width) {
  std::vector<Sample> out;
  for (int s = first; s < first + count; ++s) {
    Sample& sample = out.emplace_back();
    for (int c = 0; c < width; ++c) sample.push_back(base + s + c * 0.125);
  }
  return out;
}

std::vector<double> Flatten(const std::vector<Sample>& samples) {
  std::vector<double> flat;
  for (const Sample& s : samples) flat.insert(flat.end(), s.begin(), s.end());
  return flat;
}

// The little-endian bytes of the values.
std::vector<uint8_t> DoubleBytes(const Sample& values) {
  std::vector<uint8_t> b(8 * values.size());
  for (size_t i = 0; i < values.size(); ++i) qm::StoreLEDouble(&b[8 * i], values[i]);
  return b;
}

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  void TearDown() override { Close(); }

  std::string Path() const { return dir_.Path(name_); }
  FileView View() const { return FileView(dir_.WPath(name_)); }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(qm::test::ReadFileBytes(Path(), &bytes));
    return bytes;
  }

  // MDF4_Create on the test's file: creates it, or reopens it when it exists.
  bool Create(int64_t* start = nullptr) {
    int64_t now = 0;
    return MDF4_Create(Path().c_str(), &h_, &info_, start != nullptr ? start : &now);
  }
  void Close() {
    if (h_.file != nullptr) MDF4_Close(&h_);
    MDF4_FreeString(h_.errorMessage);
    h_ = MDF4Handle{};
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

  // Every call that takes a handle, each of which must fail on h (and give a count of 0).
  static void ExpectEveryCallFails(MDF4Handle* h) {
    double value = 1.0, *rows[1] = {&value};
    int32_t count = 5;
    EXPECT_FALSE(MDF4_AddChannelGroup(h, "[1]A", true));
    EXPECT_FALSE(MDF4_AddChannel(h, "[1]A", "x", nullptr, 1.0, 0.0));
    EXPECT_FALSE(MDF4_AddChannelData1D(h, "[1]A", &value, 1));
    EXPECT_FALSE(MDF4_AddChannelData2D(h, "[1]A", rows, 1));
    EXPECT_EQ(MDF4_LTT_GetChannelGroupName(h, 1), nullptr);
    EXPECT_FALSE(MDF4_LTT_AddChannelData(h, 1, &value, 1));
    EXPECT_EQ(MDF4_LTT_GetLimitIDs(h, &count), nullptr);
    EXPECT_EQ(count, 0);
  }
  // A group with an optional time channel and channels named c0, c1, ...
  void AddGroup(const std::string& name, bool withTime, int channels) {
    ASSERT_TRUE(MDF4_AddChannelGroup(&h_, name.c_str(), withTime)) << name;
    for (int i = 0; i < channels; ++i)
      ASSERT_TRUE(MDF4_AddChannel(&h_, name.c_str(), ("c" + std::to_string(i)).c_str(), "u", 1.0, 0.0));
  }
  bool Write1D(const std::string& group, const std::vector<Sample>& samples) {
    const std::vector<double> flat = Flatten(samples);
    return MDF4_AddChannelData1D(&h_, group.c_str(), flat.data(), static_cast<uint32_t>(samples.size()));
  }
  bool Write2D(const std::string& group, std::vector<Sample> samples) {
    std::vector<double*> rows;
    for (Sample& s : samples) rows.push_back(s.data());
    return MDF4_AddChannelData2D(&h_, group.c_str(), rows.data(), static_cast<int32_t>(rows.size()));
  }

  TempDir dir_;
  std::string name_ = "test.mf4";
  MDF4Handle h_{};
  MDF4HeaderInfo info_{"Ann", "Test bench", "P1", "Torque", "PC clock", "Run 7"};
};

// ---- A new file --------------------------------------------------------------------------

// The host texts are escaped into the header comment: a<b, a tab, U+00E9 once as UTF-8 and once
// as the lone byte E9, and U+1F600 (a surrogate pair).
TEST_F(ApiTest, NewFileLaysOutItsBlocksAndEscapesTheHostTexts) {
  info_ = {"O'Neil", "\"R&D\"", "", "1>0", "x&y", "a<b\tc\xC3\xA9 \xE9 \xF0\x9F\x98\x80"};
  int64_t start = kUnixEpochFileTime;
  ASSERT_TRUE(Create(&start));
  EXPECT_EQ(start, kUnixEpochFileTime);
  Close();

  const std::vector<uint8_t> b = Bytes();
  ASSERT_GE(b.size(), 64u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 24), "MDF     4.00    Brenik  ");
  EXPECT_EQ(qm::LoadLE16(&b[f::kIdVerOffset]), 400);
  // Every block starts at the 8-aligned end of the one before it, and the last one ends the file.
  std::vector<uint64_t> pos = {f::kHDPosition};
  for (const char* id : {"##HD", "##FH", "##MD", "##MD", "##DG"}) {
    ASSERT_LE(pos.back() + f::kBlockHeaderSize, b.size());
    EXPECT_EQ(std::string(b.begin() + pos.back(), b.begin() + pos.back() + 4), id) << "at " << pos.back();
    pos.push_back((pos.back() + qm::LoadLE64(&b[pos.back() + f::kHeaderLengthOffset]) + 7) / 8 * 8);
  }
  EXPECT_EQ(pos.back(), b.size());

  FileView v = View();
  ASSERT_TRUE(v.Ok());
  EXPECT_EQ(v.HD().GetLink(f::kHdFhFirst), pos[1]);
  EXPECT_EQ(v.HD().GetLink(f::kHdMdComment), pos[3]);
#ifdef _WIN32
  // The C runtime's default locale: every byte is the character of its value.
  const char* text = "a&lt;b&#x0009;c&#x00C3;&#x00A9; &#x00E9; &#x00F0;&#x009F;&#x0098;&#x0080;";
#else
  const char* text = "a&lt;b&#x0009;c&#x00E9; &#x00E9; &#x01F600;";
#endif
  EXPECT_EQ(v.Text(pos[3]), HDComment(text, "x&amp;y", "O&apos;Neil", "&quot;R&amp;D&quot;", "", "1&gt;0"));
  EXPECT_EQ(v.HD().GetLink(f::kHdDgFirst), pos[4]);
  std::unique_ptr<M4FHBlock> fh = LoadAs<M4FHBlock>(&v.File().Direct(), pos[1], f::kFH);
  ASSERT_TRUE(fh);
  EXPECT_EQ(fh->GetLink(f::kFhMdComment), pos[2]);
  EXPECT_EQ(fh->GetLink(f::kFhNext), 0u);
  EXPECT_EQ(v.Text(pos[2]),
            "<FHcomment><TX>Created</TX><tool_id>Quillmark</tool_id><tool_vendor>Karvoll GmbH</tool_vendor>"
            "<tool_version>1.6.0.0</tool_version></FHcomment>");
  // The start time 1970-01-01 00:00 UTC is 0 ns in both the header and the history entry.
  EXPECT_EQ(v.HD().hd_start_time_ns, 0u);
  EXPECT_EQ(fh->fh_time_ns, 0u);
  ASSERT_EQ(v.DataGroups().size(), 1u);
  EXPECT_EQ(v.DataGroups()[0].recIdSize, 2);
  EXPECT_TRUE(v.Groups().empty());
  EXPECT_EQ(v.DataGroups()[0].data, 0u);
}

TEST_F(ApiTest, CommentThatDoesNotFitIsRefusedAndLeavesNoFile) {
  // With empty texts, a comment of 1023 - frame units fills the 1023 units exactly. One unit
  // more, or a text that only grows past the limit when escaped, is refused.
  const size_t frame = HDComment("", "", "", "", "", "").size();
  ASSERT_LT(frame, 1023u);
  const std::string fits(1023 - frame, 'a'), tooLong(1024 - frame, 'a'), escapesTooLong((1024 - frame) / 4 + 1, '<');
  for (const std::string* text : {&tooLong, &escapesTooLong}) {
    info_ = {"", "", "", "", "", text->c_str()};
    EXPECT_TRUE(Refused(Create(), MDF4_ERR_CREATE, u"Error creating MDF file"));
    EXPECT_FALSE(std::filesystem::exists(Path()));
    Close();
  }
  info_ = {"", "", "", "", "", fits.c_str()};
  ASSERT_TRUE(Create());
  Close();
  FileView v = View();
  ASSERT_TRUE(v.Ok());
  EXPECT_EQ(v.Text(v.HD().GetLink(f::kHdMdComment)), HDComment(fits, "", "", "", "", ""));
}

// ---- Groups and channels -----------------------------------------------------------------

TEST_F(ApiTest, GroupsGetRecordIdsAndChannelsConsecutiveOffsets) {
  ASSERT_TRUE(Create());
  ASSERT_TRUE(MDF4_AddChannelGroup(&h_, "A", true));
  ASSERT_TRUE(MDF4_AddChannel(&h_, "A", "x", nullptr, 2.5, -1.0));
  ASSERT_TRUE(MDF4_AddChannel(&h_, "A", "y", "V", 1.0, 0.0));
  ASSERT_TRUE(MDF4_AddChannelGroup(&h_, "B", false));
  ASSERT_TRUE(MDF4_AddChannel(&h_, "B", "z", "m/s", 1.0, 0.0));
  // A refused duplicate consumes no record ID; channels go to the newest group only.
  EXPECT_TRUE(Refused(MDF4_AddChannelGroup(&h_, "A", false), MDF4_ERR_GROUP, u"Group already exists"));
  ASSERT_TRUE(MDF4_AddChannelGroup(&h_, "C", true));
  for (const char* older : {"A", "B"})
    EXPECT_TRUE(Refused(MDF4_AddChannel(&h_, older, "late", nullptr, 1.0, 0.0), MDF4_ERR_NOT_NEWEST_GROUP,
                        u"Channels can only be added to the newest group")) << older;
  Close();

  FileView v = View();
  const std::vector<GroupInfo>& g = v.Groups();
  ASSERT_EQ(g.size(), 3u);
  const std::vector<std::vector<std::string>> names = {{"Time", "x", "y"}, {"z"}, {"Time"}};
  for (size_t i = 0; i < g.size(); ++i) {
    EXPECT_EQ(g[i].name, std::string(1, static_cast<char>('A' + i)));
    EXPECT_EQ(std::make_tuple(g[i].cg.cg_record_id, g[i].cg.cg_cycle_count, g[i].cg.cg_inval_bytes),
              std::make_tuple(uint64_t{i + 1}, uint64_t{0}, uint32_t{0}));
    EXPECT_EQ(g[i].cg.cg_data_bytes, 8 * g[i].channels.size());
    ASSERT_EQ(g[i].channels.size(), names[i].size());
    for (size_t c = 0; c < g[i].channels.size(); ++c) {
      const ChannelInfo& ch = g[i].channels[c];
      const bool time = ch.name == "Time";
      EXPECT_EQ(ch.name, names[i][c]);
      EXPECT_EQ(ch.cn.cn_byte_offset, 8 * c);  // without a time channel the first is at 0
      EXPECT_EQ(std::make_tuple(ch.cn.cn_bit_offset, ch.cn.cn_bit_count, ch.cn.cn_data_type, ch.ccType),
                std::make_tuple(uint8_t{0}, uint32_t{64}, f::kCnDataTypeFloatLE, f::kCcTypeLinear));
      EXPECT_EQ(std::make_pair(ch.cn.cn_type, ch.cn.cn_sync_type),
                time ? std::make_pair(f::kCnTypeMaster, f::kCnSyncTime)
                     : std::make_pair(f::kCnTypeValue, f::kCnSyncNone));
    }
  }
  EXPECT_EQ(g[0].channels[0].unit, "s");
  EXPECT_EQ(g[0].channels[0].ccValues, (std::vector<double>{0.0, 1.0}));
  EXPECT_EQ(g[0].channels[1].unit, "");  // a null unit is an empty text
  EXPECT_EQ(g[0].channels[1].ccValues, (std::vector<double>{-1.0, 2.5}));  // offset, then factor
  EXPECT_EQ(g[0].channels[2].unit, "V");
}

// A group's channels are fixed once it has records: a late channel is refused and changes
// nothing, and the group goes on taking records of its size. A data call without samples
// writes no record and leaves the group open.
TEST_F(ApiTest, ChannelsAfterTheFirstRecordAreRefused) {
  ASSERT_TRUE(Create());
  AddGroup("A", true, 1);
  ASSERT_TRUE(Write1D("A", {}));
  ASSERT_TRUE(MDF4_AddChannel(&h_, "A", "c1", nullptr, 1.0, 0.0));
  ASSERT_TRUE(Write1D("A", Samples(0, 0, 2, 3)));
  const std::vector<uint8_t> before = Bytes();
  EXPECT_TRUE(Refused(MDF4_AddChannel(&h_, "A", "late", nullptr, 1.0, 0.0), MDF4_ERR_RECORDS_EXIST,
                      u"Channels cannot be added to a group that has data"));
  EXPECT_EQ(Bytes(), before);
  ASSERT_TRUE(Write1D("A", Samples(0, 2, 1, 3)));
  Close();
  FileView v = View();
  ASSERT_EQ(v.Groups().size(), 1u);
  EXPECT_EQ(v.Groups()[0].channels.size(), 3u);
  EXPECT_EQ(v.Records(v.DataGroups()[0])[1], Samples(0, 0, 3, 3));
  EXPECT_EQ(v.CycleCounts(), (std::vector<uint64_t>{3}));
}

TEST_F(ApiTest, RecordIdsEndAt65535Groups) {
  ASSERT_TRUE(Create());
  for (int i = 1; i <= 65535; ++i)
    ASSERT_TRUE(MDF4_AddChannelGroup(&h_, std::to_string(i).c_str(), false)) << i;
  EXPECT_TRUE(Refused(MDF4_AddChannelGroup(&h_, "65536", false), MDF4_ERR_TOO_MANY_GROUPS, u"Too many channel groups"));
  const double none = 0;
  ASSERT_TRUE(MDF4_AddChannelData1D(&h_, "65535", &none, 3));  // records of the ID alone: FF FF
  FileView v = View();
  ASSERT_EQ(v.Groups().size(), 65535u);
  EXPECT_EQ(v.Groups().back().cg.cg_record_id, 65535u);
  EXPECT_EQ(v.Data(v.DataGroups()[0]), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

// ---- Writing samples ---------------------------------------------------------------------

// Groups written by interleaved 1-D, 2-D and limit calls, with groups declared between data
// calls, closed, reopened and appended to: after every call each group's records, split by record
// ID, are exactly its samples in order, and the cycle counts agree. A group declared between data
// calls lands behind the data written so far, which the next data call must carry over.
TEST_F(ApiTest, InterleavedSamplesSurviveGroupsBetweenCallsAndReopening) {
  int64_t start = 0;  // now
  const uint64_t before = GetCurrentTimeStamp();
  ASSERT_TRUE(Create(&start));
  EXPECT_GE(static_cast<uint64_t>(start), before);
  EXPECT_LE(static_cast<uint64_t>(start), GetCurrentTimeStamp());
  EXPECT_EQ(View().HD().hd_start_time_ns, static_cast<uint64_t>(start - kUnixEpochFileTime) * 100);
  const int64_t fileStart = start;

  std::vector<Sample> engine, limits;
  size_t groups = 0;
  auto expectFile = [&]() {
    FileView v = View();
    ASSERT_EQ(v.DataGroups().size(), 1u);
    RecordsById records = v.Records(v.DataGroups()[0]);
    EXPECT_EQ(records.count(3), 0u);
    EXPECT_EQ(records[1], engine);
    EXPECT_EQ(records[2], limits);
    std::vector<uint64_t> counts = {engine.size(), limits.size(), 0};
    counts.resize(groups);
    EXPECT_EQ(v.CycleCounts(), counts);
  };
  enum Call { k1D, k2D, kLimit };
  auto write = [&](Call call, std::vector<Sample>* log, const std::vector<Sample>& s) {
    const char* group = log == &engine ? "Engine" : "[3]Limits";
    SCOPED_TRACE(std::string(group) + " call " + std::to_string(call) + " of " + std::to_string(s.size()));
    const std::vector<double> flat = Flatten(s);
    ASSERT_TRUE(call == k1D   ? Write1D(group, s)
                : call == k2D ? Write2D(group, s)
                              : MDF4_LTT_AddChannelData(&h_, 3, flat.data(), static_cast<uint32_t>(s.size())));
    log->insert(log->end(), s.begin(), s.end());
    expectFile();
  };
  auto declare = [&](const char* name, bool withTime, int channels) {
    AddGroup(name, withTime, channels);
    ++groups;
  };
  declare("Engine", true, 2);  // ID 1, 3 values
  write(k1D, &engine, Samples(0, 0, 3, 3));
  {
    // A record is the group's ID followed by its values.
    FileView v = View();
    EXPECT_EQ(v.Data(v.DataGroups()[0]), MdfBuilder::UnsortedRecords(2, {{1, DoubleBytes(engine[0])},
                                                                         {1, DoubleBytes(engine[1])},
                                                                         {1, DoubleBytes(engine[2])}}));
  }
  declare("[3]Limits", false, 2);  // ID 2, 2 values
  write(k2D, &limits, Samples(1000, 0, 2, 2));
  write(k2D, &engine, Samples(0, 3, 2, 3));
  write(kLimit, &limits, Samples(1000, 2, 2, 2));
  declare("C", false, 1);
  expectFile();
  Close();

  start = 12345;  // not used for a reopened file: the file's own start time comes back
  ASSERT_TRUE(Create(&start));
  EXPECT_EQ(start, fileStart);
  // Declarations on a reopened file succeed but change nothing: a new group is not registered.
  const std::vector<uint8_t> reopened = Bytes();
  EXPECT_TRUE(MDF4_AddChannelGroup(&h_, "B", true));
  EXPECT_TRUE(MDF4_AddChannel(&h_, "Engine", "more", nullptr, 1.0, 0.0));
  EXPECT_TRUE(MDF4_AddChannel(&h_, "unknown", "more", nullptr, 1.0, 0.0));
  EXPECT_EQ(h_.errorCode, 0);
  EXPECT_TRUE(Refused(Write1D("B", Samples(0, 0, 1, 1)), MDF4_ERR_GROUP, u"Group 'B' not found"));
  EXPECT_TRUE(Refused(MDF4_AddChannelGroup(&h_, nullptr, false)));  // null names are refused all the same
  EXPECT_TRUE(Refused(MDF4_AddChannel(&h_, "Engine", nullptr, nullptr, 1.0, 0.0)));
  EXPECT_EQ(Bytes(), reopened);

  write(k2D, &limits, Samples(1000, 4, 1, 2));
  write(k1D, &engine, Samples(0, 5, 4, 3));
  write(k2D, &engine, Samples(0, 9, 1, 3));
  Close();
  SCOPED_TRACE("closed");
  expectFile();
}

// Records cross the 4 MiB block boundaries and the five-block lists, before and after reopening.
TEST_F(ApiTest, LargeWritesSpanBlocksAndLists) {
  constexpr int kWidth = 300;                    // 2402 bytes per record
  constexpr int kFirst = 3 * 4194304 / 2402 + 7;  // a little over three blocks
  constexpr int kSecond = 4 * 4194304 / 2402;     // past the end of the first list
  ASSERT_TRUE(Create());
  AddGroup("wide", false, kWidth);
  AddGroup("narrow", false, 1);
  ASSERT_TRUE(Write1D("wide", Samples(0, 0, kFirst, kWidth)));
  ASSERT_TRUE(Write1D("narrow", Samples(9, 0, 1, 1)));
  Close();
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Write2D("wide", Samples(0, kFirst, kSecond, kWidth)));
  Close();

  FileView v = View();
  RecordsById records = v.Records(v.DataGroups()[0]);
  EXPECT_TRUE(records[1] == Samples(0, 0, kFirst + kSecond, kWidth)) << records[1].size() << " samples read back";
  EXPECT_EQ(records[2], Samples(9, 0, 1, 1));
  EXPECT_EQ(v.CycleCounts(), (std::vector<uint64_t>{uint64_t{kFirst} + kSecond, 1}));
}

// ---- Errors ------------------------------------------------------------------------------

// Errors are sticky: later calls do their work but report the earlier error, and allocate no
// new message, until the host clears it. Long and empty group names work like any other; the
// message about a long one is cut.
TEST_F(ApiTest, ErrorsAreStickyAndLongNamesAreCutInTheirMessage) {
  ASSERT_TRUE(Create());
  const std::string longName(1000, 'n');
  AddGroup(longName, false, 1);
  EXPECT_FALSE(MDF4_AddChannelGroup(&h_, longName.c_str(), false));
  ASSERT_EQ(h_.errorCode, MDF4_ERR_GROUP);
  QM_CHAR16* const message = h_.errorMessage;
  EXPECT_FALSE(MDF4_AddChannelGroup(&h_, "", false));
  EXPECT_FALSE(MDF4_AddChannel(&h_, "", "x", nullptr, 1.0, 0.0));
  EXPECT_FALSE(Write1D("", Samples(5, 0, 2, 1)));
  EXPECT_EQ(h_.errorMessage, message);
  EXPECT_TRUE(HasError(MDF4_ERR_GROUP, u"Group already exists"));
  EXPECT_TRUE(Write1D("", Samples(5, 2, 1, 1)));
  EXPECT_TRUE(Write1D(longName, Samples(0, 0, 1, 1)));
  EXPECT_EQ(h_.errorMessage, nullptr);

  // 237 characters still fit "Group '%S' not found" into 255 units; longer names are cut.
  EXPECT_TRUE(Refused(MDF4_AddChannel(&h_, std::string(237, 'm').c_str(), "x", nullptr, 1.0, 0.0), MDF4_ERR_GROUP,
                      u"Group '" + std::u16string(237, u'm') + u"' not found"));
  EXPECT_TRUE(Refused(MDF4_AddChannel(&h_, std::string(1000, 'm').c_str(), "x", nullptr, 1.0, 0.0), MDF4_ERR_GROUP,
                      u"Group '" + std::u16string(248, u'm')));
  Close();
  FileView v = View();
  ASSERT_EQ(v.Groups().size(), 2u);
  EXPECT_EQ(v.Groups()[0].name, longName);
  EXPECT_EQ(v.Groups()[1].name, "");
  EXPECT_EQ(v.Groups()[1].cg.cg_record_id, 2u);
  RecordsById records = v.Records(v.DataGroups()[0]);
  EXPECT_EQ(records[1], Samples(0, 0, 1, 1));
  EXPECT_EQ(records[2], Samples(5, 0, 3, 1));
  EXPECT_EQ(v.CycleCounts(), (std::vector<uint64_t>{1, 3}));
}

// Null pointers are refused without harm, with a handle or without; so is a negative count,
// while count 0 succeeds without a pointer and writes nothing.
TEST_F(ApiTest, NullPointersAndBadCountsAreRefusedWithoutHarm) {
  int64_t start = 0;
  MDF4HeaderInfo partial = info_;
  partial.subject = nullptr;
  EXPECT_FALSE(MDF4_Create(Path().c_str(), nullptr, &info_, &start));
  EXPECT_TRUE(Refused(MDF4_Create(nullptr, &h_, &info_, &start)));
  EXPECT_TRUE(Refused(MDF4_Create(Path().c_str(), &h_, nullptr, &start)));
  EXPECT_TRUE(Refused(MDF4_Create(Path().c_str(), &h_, &info_, nullptr)));
  EXPECT_TRUE(Refused(MDF4_Create(Path().c_str(), &h_, &partial, &start)));
  Close();
  EXPECT_FALSE(std::filesystem::exists(Path()));

  // Without a handle: no crash, nothing to report.
  ExpectEveryCallFails(nullptr);
  MDF4_Close(nullptr);
  Free1DIntArray(nullptr);
  MDF4_FreeString(nullptr);
  GetTimeChannelValues(nullptr, 3, 10, 0);
  EXPECT_FALSE(MDF4_Sort(nullptr, Path().c_str()));
  EXPECT_FALSE(MDF4_Sort(Path().c_str(), nullptr));

  // With an open handle: false and "Invalid argument", nothing written.
  ASSERT_TRUE(Create());
  AddGroup("[1]A", false, 1);
  ASSERT_TRUE(Write1D("[1]A", Samples(0, 0, 3, 1)));
  const std::vector<uint8_t> before = Bytes();
  double value = 1.0, *rows[1] = {&value}, *nullRow[2] = {&value, nullptr};
  EXPECT_TRUE(MDF4_AddChannelData1D(&h_, "[1]A", nullptr, 0));
  EXPECT_TRUE(MDF4_AddChannelData2D(&h_, "[1]A", nullptr, 0));
  EXPECT_TRUE(Refused(MDF4_AddChannelData2D(&h_, "[1]A", rows, -1)));
  EXPECT_TRUE(Refused(MDF4_AddChannelGroup(&h_, nullptr, true)));
  EXPECT_TRUE(Refused(MDF4_AddChannel(&h_, nullptr, "x", "u", 1.0, 0.0)));
  EXPECT_TRUE(Refused(MDF4_AddChannel(&h_, "[1]A", nullptr, "u", 1.0, 0.0)));
  EXPECT_TRUE(Refused(MDF4_AddChannelData1D(&h_, nullptr, &value, 1)));
  EXPECT_TRUE(Refused(MDF4_AddChannelData1D(&h_, "[1]A", nullptr, 1)));
  EXPECT_TRUE(Refused(MDF4_AddChannelData2D(&h_, nullptr, rows, 1)));
  EXPECT_TRUE(Refused(MDF4_AddChannelData2D(&h_, "[1]A", nullptr, 1)));
  EXPECT_TRUE(Refused(MDF4_AddChannelData2D(&h_, "[1]A", nullRow, 2)));
  EXPECT_TRUE(Refused(MDF4_LTT_AddChannelData(&h_, 1, nullptr, 1)));
  EXPECT_EQ(MDF4_LTT_GetLimitIDs(&h_, nullptr), nullptr);
  EXPECT_EQ(h_.errorCode, 0);
  EXPECT_EQ(Bytes(), before);
}

TEST_F(ApiTest, EveryCallOnAFailedCreateFailsAndKeepsItsError) {
  name_ = "missing-directory/test.mf4";
  EXPECT_FALSE(Create());
  EXPECT_NE(h_.file, nullptr);  // released by MDF4_Close
  ASSERT_EQ(h_.errorCode, MDF4_ERR_CREATE);
  QM_CHAR16* const message = h_.errorMessage;
  ExpectEveryCallFails(&h_);
  EXPECT_EQ(h_.errorMessage, message);
  EXPECT_TRUE(HasError(MDF4_ERR_CREATE, u"Error creating MDF file"));
  // Cleared by the host, the error becomes "Invalid argument": the handle has no file.
  EXPECT_TRUE(Refused(MDF4_AddChannelGroup(&h_, "[1]A", true)));
  Close();
  EXPECT_FALSE(std::filesystem::exists(Path()));
}

// MDF4_Close leaves no pointer behind: every later call is refused, a second close does
// nothing, and the handle can create (here: reopen) again.
TEST_F(ApiTest, ClosedHandleRefusesEveryCallAndClosesOnce) {
  ASSERT_TRUE(Create());
  AddGroup("[1]A", false, 1);
  ASSERT_TRUE(Write1D("[1]A", Samples(0, 0, 1, 1)));
  MDF4_Close(&h_);
  EXPECT_EQ(h_.file, nullptr);
  const std::vector<uint8_t> closed = Bytes();
  ExpectEveryCallFails(&h_);
  EXPECT_TRUE(HasError(MDF4_ERR_INVALID_ARGUMENT, u"Invalid argument"));
  MDF4_Close(&h_);
  EXPECT_EQ(h_.errorCode, 0);
  EXPECT_EQ(Bytes(), closed);

  ASSERT_TRUE(Create());
  ASSERT_TRUE(Write1D("[1]A", Samples(0, 1, 1, 1)));
  Close();
  FileView v = View();
  EXPECT_EQ(v.Records(v.DataGroups()[0])[1], Samples(0, 0, 2, 1));
}

// ---- Reopening ---------------------------------------------------------------------------

TEST_F(ApiTest, ReopeningRefusesFilesItCannotUse) {
  // Not an MDF file, an MDF version below 4, and a file without a data group.
  const std::string text = "This is a text file, not a measurement file at all. It is long enough.";
  MdfBuilder old(330), noDataGroup;
  old.AddDG(2);
  const std::tuple<std::vector<uint8_t>, int32_t, std::u16string> cases[] = {
      {std::vector<uint8_t>(text.begin(), text.end()), MDF4_ERR_OPEN, u"Error opening MDF file"},
      {old.Bytes(), MDF4_ERR_OPEN, u"Error opening MDF file"},
      {noDataGroup.Bytes(), MDF4_ERR_NO_DATA_GROUP, u"Error opening MDF file - File contains no data group"}};
  for (const auto& [bytes, code, message] : cases) {
    SCOPED_TRACE(std::string(message.begin(), message.end()));
    std::ofstream(Path(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    EXPECT_TRUE(Refused(Create(), code, message));
    EXPECT_TRUE(Refused(MDF4_AddChannelGroup(&h_, "A", false)));
    Close();
    EXPECT_EQ(Bytes(), bytes);
  }
}

// Blocks of one double channel "v" in a group "g" of the given record ID.
void AddDoubleGroup(MdfBuilder& m, uint64_t dg, uint64_t recordId, uint64_t cycles) {
  const uint64_t cg = m.AddCG(dg, recordId, cycles, 8, 0, 0, "g");
  m.AddCN(cg, "v", "V", f::kCnTypeValue, f::kCnSyncNone, f::kCnDataTypeFloatLE, 0, 64);
}

TEST_F(ApiTest, AppendingContinuesAnotherWritersUnsortedFile) {
  MdfBuilder m;
  m.SetStartTime(1600000000000000000ULL);
  const uint64_t dg = m.AddDG(2);
  AddDoubleGroup(m, dg, 1, 2);
  AddDoubleGroup(m, dg, 2, 0);  // named alike: only the first group is registered
  m.SetDGData(dg, m.AddDT(MdfBuilder::UnsortedRecords(2, {{1, DoubleBytes({1.0})}, {1, DoubleBytes({2.0})}})));
  ASSERT_TRUE(m.WriteTo(Path()));

  int64_t start = 0;
  ASSERT_TRUE(Create(&start));
  EXPECT_EQ(start, kUnixEpochFileTime + 16000000000000000LL);
  const double value = 3.0;
  ASSERT_TRUE(MDF4_AddChannelData1D(&h_, "g", &value, 1));
  Close();
  FileView v = View();
  EXPECT_EQ(v.Records(v.DataGroups()[0])[1], (std::vector<Sample>{{1.0}, {2.0}, {3.0}}));
  EXPECT_EQ(v.CycleCounts(), (std::vector<uint64_t>{3, 0}));
}

TEST_F(ApiTest, DataThatCannotBeContinuedIsLeftAlone) {
  // Each layout places the records and returns what dg_data links to.
  using Place = uint64_t (*)(MdfBuilder&, const std::vector<uint8_t>&);
  const Place plain = [](MdfBuilder& m, const std::vector<uint8_t>& r) { return m.AddDT(r); };
  const std::tuple<const char*, uint8_t, Place> layouts[] = {
      {"sorted, no record IDs", 0, plain},
      {"1-byte record IDs", 1, plain},
      {"data behind an HL", 2,
       [](MdfBuilder& m, const std::vector<uint8_t>& r) { return m.AddSplitData(r, {.withHL = true}).root; }},
      {"a list of 10-byte blocks", 2,
       [](MdfBuilder& m, const std::vector<uint8_t>& r) { return m.AddSplitData(r, {.blockSize = 10}).root; }},
      {"a block longer than the file", 2, [](MdfBuilder& m, const std::vector<uint8_t>& r) {
         const uint64_t dt = m.AddDT(r);
         m.SetBlockLength(dt, 4000);
         return dt;
       }}};
  for (const auto& [what, recIdSize, place] : layouts) {
    SCOPED_TRACE(what);
    MdfBuilder m;
    const uint64_t dg = m.AddDG(recIdSize);
    AddDoubleGroup(m, dg, recIdSize == 0 ? 0 : 1, 2);
    m.SetDGData(dg,
                place(m, MdfBuilder::UnsortedRecords(recIdSize, {{1, DoubleBytes({1.0})}, {1, DoubleBytes({2.0})}})));
    ASSERT_TRUE(m.WriteTo(Path()));

    ASSERT_TRUE(Create());
    double value = 3.0, *rows[1] = {&value};
    EXPECT_TRUE(Refused(MDF4_AddChannelData1D(&h_, "g", &value, 1), MDF4_ERR_CANNOT_APPEND,
                        u"Data cannot be appended to this file"));
    EXPECT_TRUE(Refused(MDF4_AddChannelData2D(&h_, "g", rows, 1), MDF4_ERR_CANNOT_APPEND,
                        u"Data cannot be appended to this file"));
    Close();
    EXPECT_EQ(Bytes(), m.Bytes());  // cycle count included
  }
}

// Group names are host text: UTF-8 bytes written as they are and found again by the same bytes
// after reopening, whatever the process locale. On Windows narrow text follows the C runtime's
// locale, which has no UTF-8 here: these bytes stand for other characters (see the next test).
#ifndef _WIN32
class ApiLocaleTest : public ApiTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    ApiTest::TearDown();
    std::setlocale(LC_ALL, "C");
  }
};

TEST_P(ApiLocaleTest, Utf8GroupNamesAreFoundAfterReopening) {
  if (std::setlocale(LC_ALL, GetParam()) == nullptr) GTEST_SKIP() << "locale " << GetParam() << " missing";
  const std::string name = "Drehmoment \xC3\xA4\xE2\x82\xAC";  // a-umlaut, euro sign
  const std::string limit = "[4]\xC3\xB6l";
  ASSERT_TRUE(Create());
  AddGroup(name, false, 1);
  AddGroup(limit, false, 1);
  ASSERT_TRUE(Write1D(name, Samples(0, 0, 1, 1)));
  Close();

  ASSERT_TRUE(Create());
  ASSERT_TRUE(Write1D(name, Samples(0, 1, 1, 1)));
  const char* found = MDF4_LTT_GetChannelGroupName(&h_, 4);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::string(found), limit);
  Close();
  FileView v = View();
  ASSERT_EQ(v.Groups().size(), 2u);
  EXPECT_EQ(v.Groups()[0].name, name);
  EXPECT_EQ(v.Records(v.DataGroups()[0])[1], Samples(0, 0, 2, 1));
}

INSTANTIATE_TEST_SUITE_P(Locales, ApiLocaleTest, ::testing::Values("C", "C.UTF-8"));
#endif

// A group name reaches the file as the UTF-8 of the characters the host's string stands for,
// and the same string finds the group after reopening; the sorted copy carries the name
// unchanged. A Latin-1 byte, a character beyond the Basic Multilingual Plane, plain ASCII.
TEST_F(ApiTest, GroupNamesSurviveReopeningAndSorting) {
  const std::pair<std::string, std::string> names[] = {  // the host's string, the file's bytes
      {"Temp\xB0" "C", "Temp\xC2\xB0" "C"},
#ifdef _WIN32
      // The C runtime's default locale reads every byte as the character of its value.
      {"\xC3\x96l \xF0\x9F\x98\x80", "\xC3\x83\xC2\x96l \xC3\xB0\xC2\x9F\xC2\x98\xC2\x80"},
#else
      {"\xC3\x96l \xF0\x9F\x98\x80", "\xC3\x96l \xF0\x9F\x98\x80"},
#endif
      {"Engine", "Engine"}};
  ASSERT_TRUE(Create());
  for (const auto& [host, stored] : names) AddGroup(host, false, 1);
  for (size_t i = 0; i < std::size(names); ++i) ASSERT_TRUE(Write1D(names[i].first, Samples(10.0 * i, 0, 1, 1)));
  Close();
  ASSERT_TRUE(Create());
  for (size_t i = 0; i < std::size(names); ++i)
    ASSERT_TRUE(Write1D(names[i].first, Samples(10.0 * i, 1, 2, 1))) << names[i].first;
  Close();
  ASSERT_TRUE(MDF4_Sort(Path().c_str(), dir_.Path("sorted.mf4").c_str()));

  FileView v = View(), sorted(dir_.WPath("sorted.mf4"));
  ASSERT_EQ(v.Groups().size(), std::size(names));
  ASSERT_EQ(sorted.DataGroups().size(), std::size(names));
  RecordsById records = v.Records(v.DataGroups()[0]);
  for (size_t i = 0; i < std::size(names); ++i) {
    SCOPED_TRACE(names[i].first);
    EXPECT_EQ(v.Groups()[i].name, names[i].second);
    EXPECT_EQ(records[i + 1], Samples(10.0 * i, 0, 3, 1));
    const DataGroupInfo& dg = sorted.DataGroups()[i];
    ASSERT_EQ(dg.groups.size(), 1u);
    EXPECT_EQ(dg.groups[0].name, names[i].second);
    EXPECT_EQ(sorted.Records(dg)[dg.groups[0].cg.cg_record_id], Samples(10.0 * i, 0, 3, 1));
  }
}

// Files that stored a group name's bytes unconverted still reopen: a name that is not UTF-8 is
// found by the same bytes.
TEST_F(ApiTest, RawGroupNamesOfOlderFilesAreFoundByTheirBytes) {
  MdfBuilder m;
  const uint64_t cg = m.AddCG(m.AddDG(2), 1, 0, 8, 0, 0, "Temp\xB0" "C");
  m.AddCN(cg, "v", "V", f::kCnTypeValue, f::kCnSyncNone, f::kCnDataTypeFloatLE, 0, 64);
  ASSERT_TRUE(m.WriteTo(Path()));
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Write1D("Temp\xB0" "C", Samples(0, 0, 2, 1)));
  Close();
  FileView v = View();
  EXPECT_EQ(v.Records(v.DataGroups()[0])[1], Samples(0, 0, 2, 1));
  EXPECT_EQ(v.CycleCounts(), (std::vector<uint64_t>{2}));
}

// ---- Limit groups ------------------------------------------------------------------------

// Limit groups are named "[ID]...": their IDs are listed in registry order (byte order of the
// names), and an ID finds the first group of its number, which takes the data of limit calls.
TEST_F(ApiTest, LimitIdentifiersFollowRegistryOrderAndTakeData) {
  ASSERT_TRUE(Create());
  int32_t count = -1;
  EXPECT_EQ(MDF4_LTT_GetLimitIDs(&h_, &count), nullptr);  // no groups yet
  EXPECT_EQ(count, 0);
  // "[10]a" < "[123" < "[12]Temperature" < "[2]b"; the record IDs follow the declaration order.
  for (const char* name : {"[2]b", "[10]a", "[12]Temperature", "[5]b", "[5]a", "[-3]x", "[123", "[",
                           "Engine", "[abc]", "[]", "[99999999999]big"})
    AddGroup(name, false, 1);
  int32_t* ids = MDF4_LTT_GetLimitIDs(&h_, &count);
  ASSERT_NE(ids, nullptr);
  // "[123" reads as 12 (its last byte is dropped); "[", "Engine", "[abc]", "[]" and the number
  // beyond 32 bits are not listed.
  EXPECT_EQ(std::vector<int32_t>(ids, ids + count), (std::vector<int32_t>{-3, 10, 12, 12, 2, 5, 5}));
  Free1DIntArray(ids);

  auto name = [&](int32_t id) {
    const char* n = MDF4_LTT_GetChannelGroupName(&h_, id);
    return n == nullptr ? std::string("<none>") : std::string(n);
  };
  // "[1]" does not begin "[12]Temperature".
  for (const auto& [id, group] : std::vector<std::pair<int32_t, std::string>>{
           {12, "[12]Temperature"}, {10, "[10]a"}, {1, "<none>"}, {5, "[5]a"}, {-3, "[-3]x"}, {2, "[2]b"},
           {123, "<none>"}})
    EXPECT_EQ(name(id), group) << id;
  EXPECT_EQ(h_.errorCode, 0);  // absence is reported by the result only

  const std::vector<Sample> t = Samples(0, 0, 2, 1), a = Samples(50, 0, 3, 1);
  ASSERT_TRUE(MDF4_LTT_AddChannelData(&h_, 12, Flatten(t).data(), 2));  // record ID 3
  ASSERT_TRUE(MDF4_LTT_AddChannelData(&h_, 5, Flatten(a).data(), 3));   // record ID 5, not 4
  EXPECT_TRUE(MDF4_LTT_AddChannelData(&h_, 5, nullptr, 0));
  const std::vector<uint8_t> before = Bytes();
  const double value = 1.0;
  EXPECT_TRUE(Refused(MDF4_LTT_AddChannelData(&h_, 7, &value, 1), MDF4_ERR_LIMIT, u"limit '7' not found"));
  EXPECT_TRUE(Refused(MDF4_LTT_AddChannelData(&h_, -2147483647 - 1, &value, 1), MDF4_ERR_LIMIT,
                      u"limit '-2147483648' not found"));
  EXPECT_EQ(Bytes(), before);
  {
    FileView v = View();
    RecordsById records = v.Records(v.DataGroups()[0]);
    EXPECT_EQ(records.size(), 2u);
    EXPECT_EQ(records[3], t);
    EXPECT_EQ(records[5], a);
    EXPECT_EQ(v.CycleCounts(), (std::vector<uint64_t>{0, 0, 2, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
  }

  // The name is the registry's own text: it stays where it is while groups are added.
  const char* temperature = MDF4_LTT_GetChannelGroupName(&h_, 12);
  AddGroup("[0]late", false, 1);
  EXPECT_EQ(MDF4_LTT_GetChannelGroupName(&h_, 12), temperature);
  EXPECT_EQ(name(0), "[0]late");
}

// ---- Time functions and the C host's output ----------------------------------------------

TEST(ApiTimeTest, TimeStampsAndTimeChannelValues) {
  const uint64_t before = GetCurrentTimeStamp();
  EXPECT_GT(before, 132223104000000000ULL);  // after 2020-01-01
  EXPECT_EQ(before % 10000, 0u);
  // Values in units of 1000 ticks, ascending by step / 1000, the last one step (and the offset) before now.
  double values[4] = {-1, -1, -1, -1};
  GetTimeChannelValues(values, 3, 10000, 5000000);
  EXPECT_NEAR(values[1] - values[0], 10.0, 0.1);
  EXPECT_NEAR(values[2] - values[1], 10.0, 0.1);
  EXPECT_GE(values[2], (before - 5010000) / 1000.0 - 0.1);
  EXPECT_LE(values[2], (GetCurrentTimeStamp() - 5010000) / 1000.0 + 0.1);
  EXPECT_EQ(values[3], -1);
  GetTimeChannelValues(values + 3, 0, 10000, 0);
  EXPECT_EQ(values[3], -1);
}

// Checks the files of qm_c_host (run before this test, which names its output directory in
// QM_C_HOST_DIR) against the samples it logged: the unsorted file split by record ID, and the
// sorted copy with a data group per channel group.
TEST(CHostOutputTest, FilesHoldTheLoggedSamples) {
  const char* dir = std::getenv("QM_C_HOST_DIR");
  if (dir == nullptr) GTEST_SKIP() << "run by the qm_c_host_verify test";
  std::ifstream log(std::string(dir) + "/c_host_values.txt");
  ASSERT_TRUE(log.good());
  std::map<std::string, std::vector<Sample>> logged;
  for (std::string line; std::getline(log, line);) {
    std::istringstream in(line);
    std::string group;
    int index = 0;
    ASSERT_TRUE(std::getline(in, group, '\t') && in >> index) << line;
    EXPECT_EQ(index, static_cast<int>(logged[group].size())) << "samples are logged in order";
    Sample& s = logged[group].emplace_back();
    for (std::string value; in >> value;) s.push_back(std::strtod(value.c_str(), nullptr));
  }
  ASSERT_EQ(logged.size(), 2u);

  FileView unsorted(std::filesystem::path(std::string(dir) + "/c_host.mf4").u16string());
  ASSERT_EQ(unsorted.DataGroups().size(), 1u);
  RecordsById records = unsorted.Records(unsorted.DataGroups()[0]);
  for (const GroupInfo& g : unsorted.Groups()) {
    SCOPED_TRACE(g.name);
    EXPECT_EQ(records[g.cg.cg_record_id], logged[g.name]);
    EXPECT_EQ(g.cg.cg_cycle_count, logged[g.name].size());
  }
  FileView sorted(std::filesystem::path(std::string(dir) + "/c_host_sorted.mf4").u16string());
  ASSERT_EQ(sorted.DataGroups().size(), 2u);
  for (const DataGroupInfo& dg : sorted.DataGroups()) {
    ASSERT_EQ(dg.groups.size(), 1u);
    const GroupInfo& g = dg.groups[0];
    SCOPED_TRACE(g.name);
    EXPECT_EQ(dg.recIdSize, 0);
    EXPECT_EQ(sorted.Records(dg)[g.cg.cg_record_id], logged[g.name]);
    EXPECT_EQ(g.cg.cg_cycle_count, logged[g.name].size());
  }
}

// QUILLMARK_SYNC chooses when the file is synced, never what it holds: every policy writes
// the bytes of the default, and an unknown value fails the create before a file exists.
TEST_F(ApiTest, SyncPolicyChangesNoByteAndUnknownValuesAreRefused) {
  const auto setPolicy = [](const char* value) {
#ifdef _WIN32
    _putenv_s("QUILLMARK_SYNC", value);
#else
    setenv("QUILLMARK_SYNC", value, 1);
#endif
  };
  const struct {
    const char* value;
    bool valid;
  } cases[] = {{"", true},          {"off", true},       {"close", true},        {"always", true},
               {"interval=0", true}, {"interval=250", true}, {"never", false},   {"ALWAYS", false},
               {"interval=", false}, {"interval=-5", false}, {"interval=5ms", false}};
  std::vector<uint8_t> reference;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::filesystem::remove(Path());
    setPolicy(c.value);
    int64_t start = 133000000000000000;
    const bool created = Create(&start);
    setPolicy("");
    if (!c.valid) {
      EXPECT_FALSE(created);
      EXPECT_TRUE(HasError(MDF4_ERR_SYNC_POLICY, u"Unknown QUILLMARK_SYNC value"));
      EXPECT_FALSE(std::filesystem::exists(Path()));
      Close();
      continue;
    }
    ASSERT_TRUE(created) << h_.errorCode;
    AddGroup("G", true, 2);
    ASSERT_TRUE(Write1D("G", {{0.0, 1.0, 2.0}, {0.5, 3.0, 4.0}}));
    ASSERT_TRUE(Write1D("G", {{1.0, 5.0, 6.0}}));
    Close();
    if (reference.empty()) reference = Bytes();
    else EXPECT_EQ(Bytes(), reference);
  }
}

}  // namespace
