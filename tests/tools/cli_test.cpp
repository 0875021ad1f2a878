// Tests of the quillmark command-line tool: runs the built program on demo, hostile and foreign files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "cli_run.h"
#include "demo_signals.h"
#include "mdf_builder.h"
#include "block/format.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"
#include "sidecar.h"
#include "temp_dir.h"

namespace qm::test {
namespace {

// A failure is one line on standard error naming the tool, and a small non-zero status.
void ExpectOneLineFailure(const CliResult& r, const std::string& mentions) {
  EXPECT_NE(r.status, 0);
  EXPECT_LT(r.status, 128) << "killed by a signal";
  EXPECT_EQ(r.err.rfind("quillmark ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_TRUE(Contains(r.err, mentions));
}

double Num(const std::string& cell) { return std::strtod(cell.c_str(), nullptr); }

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

// Creates path through the C interface, with header texts of no interest.
bool StartFile(const std::string& path, MDF4Handle* h) {
  const MDF4HeaderInfo info{"a", "d", "p", "s", "t", "c"};
  int64_t start = 0;
  return MDF4_Create(path.c_str(), h, &info, &start);
}

// ---- The demo -------------------------------------------------------------------------------

class DemoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    demo_ = RunCli({"demo", dir_->Path("out")});
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::string Unsorted() { return dir_->Path("out/quillmark_demo.mf4"); }
  static std::string Sorted() { return dir_->Path("out/quillmark_demo_sorted.mf4"); }

  // Exports file into its own directory and returns the table of group.
  static Table Export(const std::string& file, const std::string& group) {
    const CliResult r = RunCli({"export", file, "--output", file + ".csv.d"});
    EXPECT_EQ(r.status, 0) << r.err;
    return ParseCsv(ReadAll(file + ".csv.d/" + group + ".csv"));
  }

  static inline std::unique_ptr<TempDir> dir_;
  static inline CliResult demo_;
};

TEST_F(DemoTest, InfoShowsTheStructureOfBothFiles) {
  ASSERT_EQ(demo_.status, 0) << demo_.err;
  EXPECT_TRUE(Contains(demo_.out, "copy channel group '[12]Coolant'"));
  const CliResult unsorted = RunCli({"info", Unsorted()}), sorted = RunCli({"info", Sorted()});
  for (const char* text :
       {"4.00 (400)", "\"Brenik\"", "UTC, local offset", "Simulated one-minute engine test", "Created",
        "record ID size 2", "\"Engine\": record ID 1, 6000 cycles, record 32 bytes",
        "\"[12]Coolant\": record ID 3, 600 cycles", "linear -40 + 0.01 * x", "Temperature  degC"})
    EXPECT_TRUE(Contains(unsorted.out, text));
  EXPECT_FALSE(Contains(unsorted.out, "data group 2"));
  for (const char* text : {"data group 3: record ID size 0", "\"[12]Coolant\": record ID 3, 600 cycles", "Sorted"})
    EXPECT_TRUE(Contains(sorted.out, text));

}

// Every exported value equals what the demo computed, in both files.
TEST_F(DemoTest, ExportGivesTheValuesTheDemoWrote) {
  using namespace qm::demo;
  for (const std::string& file : {Unsorted(), Sorted()}) {
    SCOPED_TRACE(file);
    const Table engine = Export(file, "Engine");
    ASSERT_EQ(engine.size(), 1u + kSeconds * kEngineRate);
    EXPECT_EQ(engine[0], (std::vector<std::string>{"Time [s]", "Speed [rpm]", "Torque [Nm]", "Temperature [degC]"}));
    for (uint64_t i = 0; i + 1 < engine.size(); ++i) {
      ASSERT_EQ(Num(engine[i + 1][0]), EngineTime(i)) << "row " << i;
      for (int ch = 0; ch < 3; ++ch) {
        const Linear& c = kEngineChannels[ch];
        ASSERT_DOUBLE_EQ(Num(engine[i + 1][1 + ch]), c.offset + c.factor * EngineStored(ch, i)) << "row " << i;
      }
    }
    const Table coolant = Export(file, "[12]Coolant");
    ASSERT_EQ(coolant.size(), 1u + kSeconds * kCoolantRate);
    for (uint64_t i = 0; i + 1 < coolant.size(); ++i)
      for (int ch = 0; ch < 3; ++ch) ASSERT_DOUBLE_EQ(Num(coolant[i + 1][1 + ch]), CoolantStored(ch, i)) << i;
    const Table ambient = Export(file, "Ambient");
    ASSERT_EQ(ambient.size(), 1u + kSeconds * kAmbientRate);
    EXPECT_DOUBLE_EQ(Num(ambient.back()[2]), AmbientStored(1, kSeconds - 1));
  }
}

// One group goes to standard output or a file; every failure is one line and a non-zero status.
TEST_F(DemoTest, ExportOfOneGroupAndFailures) {
  const CliResult r = RunCli({"export", Unsorted(), "--group", "Ambient"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ParseCsv(r.out).size(), 61u);
  const std::string path = dir_->Path("coolant.csv");
  ASSERT_EQ(RunCli({"export", Sorted(), "--group=[12]Coolant", "--output", path}).status, 0);
  EXPECT_EQ(ParseCsv(ReadAll(path)).size(), 601u);

  // A regular file where a directory is needed, a text file and a file of MDF version 3.
  const std::string blocker = dir_->Path("blocker"), text = dir_->Path("notes.txt"), old = dir_->Path("old.mdf");
  std::ofstream(blocker) << "x";
  std::ofstream(text) << "just some text, not a measurement\n";
  ASSERT_TRUE(MdfBuilder(330).WriteTo(old));
  const std::string missing = dir_->Path("nothing.mf4");
  const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
      {{"export", Unsorted(), "--group", "engine"}, "engine"},
      {{"export", Unsorted(), "--group", "Engine", "--output", blocker + "/a.csv"}, "cannot write"},
      {{"export", Unsorted(), "--output", blocker}, "cannot create directory"},
      {{"export", Unsorted(), "--colour"}, "unknown option"},
      {{"sort", Unsorted(), dir_->Path("missing/dir/x.mf4")}, "does not exist"},
      {{"sort", Unsorted(), Unsorted()}, "same file"},
      {{"sort", Sorted(), dir_->Path("x.mf4")}, "already sorted"},
      {{"info", missing}, "no such file"},
      {{"export", missing}, "no such file"},
      {{"sort", missing, dir_->Path("x.mf4")}, "no such file"},
      {{"info", text}, "not an MDF file"},
      {{"info", old}, "only MDF 4"},
      {{"info"}, "expected one FILE"}};
  for (const auto& [args, mention] : failures) {
    SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args.back() : ""));
    ExpectOneLineFailure(RunCli(args), mention);
  }
  EXPECT_EQ(RunCli({"frobnicate"}).status, 2);
  for (const std::string command : {"demo", "sort", "info", "export", "repair"}) {
    const CliResult help = RunCli({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind("usage: quillmark " + command, 0), 0u) << help.out;
  }
}

TEST_F(DemoTest, CompressedSortExportsTheSameValues) {
  const std::string copy = dir_->Path("dz.mf4"), again = dir_->Path("dz2.mf4");
  for (const char* option : {"--compress", "--compress=1", "--compress=12"}) {
    ASSERT_EQ(RunCli({"sort", option, Unsorted(), copy}).status, 0) << option;
    for (const char* group : {"Engine", "Ambient", "[12]Coolant"})
      EXPECT_EQ(Export(copy, group), Export(Sorted(), group)) << option << " " << group;
  }
  const CliResult info = RunCli({"info", copy});
  EXPECT_TRUE(Contains(info.out, "4.10 (410)") && Contains(info.out, "compressed: 1 block(s) (transposed, deflate)"))
      << info.out;
  ExpectOneLineFailure(RunCli({"sort", copy, again}), "already sorted");
  ExpectOneLineFailure(RunCli({"sort", "--compress=13", Unsorted(), again}), "LEVEL");
}

// ---- Files that are being written -----------------------------------------------------------

// info and export while another thread keeps appending: every run succeeds and shows each group
// as it stood after some completed call, its rows the first samples written, as many as counted.
TEST(CliInfo, ReadsAFileWhileItsWriterAppends) {
  TempDir dir;
  const std::string path = dir.Path("busy.mf4");
  MDF4Handle h{};
  ASSERT_TRUE(StartFile(path, &h));
  for (const char* g : {"A", "B"})
    ASSERT_TRUE(MDF4_AddChannelGroup(&h, g, true) && MDF4_AddChannel(&h, g, "v", nullptr, 1.0, 0.0));
  // The writer appends while a reader runs and rests in between; a bound on its calls keeps
  // the file small where readers are slow. Sample n of a group: time n, value 3n.
  std::atomic<bool> stop{false}, busy{false};
  std::thread writer([&] {
    std::vector<double> rows;
    uint32_t next[2] = {0, 0};
    for (uint32_t call = 0; !stop && call < 100000; ++call) {
      while (!busy && !stop) std::this_thread::yield();
      const uint32_t g = call % 2, count = 1 + call % 7;
      rows.clear();
      for (uint32_t k = next[g]; k < next[g] + count; ++k) rows.insert(rows.end(), {1.0 * k, 3.0 * k});
      if (!MDF4_AddChannelData1D(&h, g ? "B" : "A", rows.data(), count)) break;
      next[g] += count;
    }
  });
  for (int run = 0; run < 8 && !HasFailure(); ++run) {
    SCOPED_TRACE(run);
    busy = true;
    const CliResult shown = RunCli({"info", path});
    const CliResult r = RunCli({"export", path, "--output", dir.Path("csv")});
    busy = false;
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_FALSE(Contains(shown.out, "cannot be resolved"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "cycle count states"));
    for (const char* g : {"A", "B"}) {
      const Table t = ParseCsv(ReadAll(dir.Path(std::string("csv/") + g + ".csv")));
      EXPECT_FALSE(t.empty());
      for (size_t i = 1; i < t.size() && !HasFailure(); ++i)
        if (t[i].size() != 2) ADD_FAILURE() << g << " row " << i;
        else EXPECT_EQ((std::vector<double>{std::stod(t[i][0]), std::stod(t[i][1])}),
                       (std::vector<double>{i - 1.0, 3.0 * (i - 1)})) << g;
    }
  }
  stop = true;
  writer.join();
  MDF4_Close(&h);
}

#ifndef _WIN32
// A writer stopped after a data call's records reached the file, but before its sample count
// did, leaves more data than the counts: repair cuts exactly that call, and says so.
TEST(CliRepair, CutsTheInterruptedCallAndNothingElse) {
  TempDir dir;
  const std::string path = dir.Path("stopped.mf4");
  const pid_t pid = fork();
  if (pid == 0) {
    MDF4Handle h{};
    const std::vector<double> values(1000, 2.5);
    StartFile(path, &h);
    MDF4_AddChannelGroup(&h, "G", false);
    MDF4_AddChannel(&h, "G", "x", "", 1.0, 0.0);
    MDF4_AddChannelData1D(&h, "G", values.data(), 10);
    // The third write of the next call is its cycle count: the process ends before it.
    qm::os::SetCrashAfterWrites(3);
    MDF4_AddChannelData1D(&h, "G", values.data(), 1000);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 77);
  const CliResult r = RunCli({"repair", path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "cut 10000 bytes of an interrupted data call; 100 bytes of data remain"));
  EXPECT_TRUE(Contains(RunCli({"repair", path}).out, "agree"));
  const CliResult csv = RunCli({"export", path, "--group", "G"});
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 11) << csv.out;
}
#endif

// A failed sort names the file that failed and leaves an existing destination as it was.
TEST(CliSort, FailuresNameTheFileAndKeepTheDestination) {
  TempDir dir;
  const std::string dest = dir.Path("dest.mf4"), live = dir.Path("live.mf4");
  std::ofstream(dest) << "earlier copy";
  MdfBuilder bad;
  const uint64_t dg = bad.AddDG(1);
  bad.AddCN(bad.AddCG(dg, 1, 2, 1, 0, 0, "G"), "v", nullptr, 0, 0, 0, 0, 8);
  bad.SetDGData(dg, bad.AddDT(Bytes({1, 10, 9, 11})));  // an ID no group declares
  ASSERT_TRUE(bad.WriteTo(dir.Path("bad.mf4")));
  ExpectOneLineFailure(RunCli({"sort", dir.Path("bad.mf4"), dest}), "could not be copied completely");
  // A source that its writer still holds cannot be copied: the message names the source.
  MDF4Handle h{};
  ASSERT_TRUE(StartFile(live, &h) && MDF4_AddChannelGroup(&h, "Live", true));
  const CliResult held = RunCli({"sort", live, dest});
  MDF4_Close(&h);
  ExpectOneLineFailure(held, "cannot open '" + live + "'");
  EXPECT_EQ(ReadAll(dest), "earlier copy");
  EXPECT_FALSE(std::filesystem::exists(dest + ".part"));
}

// ---- Decoding and hostile structure ---------------------------------------------------------

// A sorted group exercising bit fields, big-endian integers, floats, 64-bit integers, a
// virtual master, an invalidation bit and the conversions that are and are not applied.
TEST(CliExport, DecodesEveryNumericLayout) {
  TempDir dir;
  MdfBuilder b;
  const uint64_t dg = b.AddDG(0);
  const uint64_t cg = b.AddCG(dg, 0, 2, 16, 1, 0, "Bits");
  b.AddCN(cg, "u12", nullptr, 0, 0, 0, 0, 12, 0, 4);
  b.AddCN(cg, "s16be", "K", 0, 0, 3, 2, 16);
  b.AddCN(cg, "t", "s", 3, 1, 0, 0, 0, b.AddCC(1, {0.0, 0.5}));
  const uint64_t f32 = b.AddCN(cg, "f32", nullptr, 0, 0, 4, 4, 32, b.AddCC(0, {}));
  b.Patch32(b.DataPos(f32) + 12, 2);  // cn_flags: invalidation bit valid, at bit 0
  b.AddCN(cg, "u64", nullptr, 0, 0, 0, 8, 64);
  b.AddCN(cg, "state", nullptr, 0, 0, 0, 2, 8, b.AddCC(7, {0, 1}));
  b.AddCN(cg, "label", nullptr, 0, 0, 7, 8, 64);
  b.SetDGData(dg, b.AddDT(Bytes({0xC0, 0xAB, 0xFF, 0xFE, 0, 0, 0xC0, 0x3F,  // 1.5f
                                 5, 0, 0, 0, 0, 0, 0, 0x80, 0,
                                 0x1F, 0x00, 0x12, 0x34, 0, 0, 0x80, 0xBE,  // -0.25f
                                 7, 0, 0, 0, 0, 0, 0, 0, 1})));
  ASSERT_TRUE(b.WriteTo(dir.Path("bits.mf4")));
  const CliResult r = RunCli({"export", dir.Path("bits.mf4"), "--group", "Bits"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ParseCsv(r.out), (Table{{"t [s]", "u12", "s16be [K]", "f32", "u64",
                                     "state (raw; conversion type 7 (value to text) not applied)"},
                                    {"0", "2748", "-2", "1.5", "9223372036854775813", "255"},
                                    {"0.5", "1", "4660", "", "7", "18"}}));
  EXPECT_TRUE(Contains(r.err, "'label'")) << "the skipped channel is noted";
}

// Records of one group G (record ID 1, recordBytes each) in one data group, behind a layout.
void WriteGroupG(const std::string& path, uint32_t recordBytes, uint64_t cycles, const std::vector<uint8_t>& data,
                 uint64_t (*layout)(MdfBuilder&, const std::vector<uint8_t>&), bool vlsdGroup = false) {
  MdfBuilder b;
  const uint64_t dg = b.AddDG(1);
  b.AddCN(b.AddCG(dg, 1, cycles, recordBytes, 0, 0, "G"), "v", nullptr, 0, 0, 0, 0, 8 * recordBytes);
  if (vlsdGroup) b.AddCG(dg, 2, 2, 5, 0, fmt::kCgFlagVlsd, "V");  // 5 bytes in all
  b.SetDGData(dg, layout(b, data));
  EXPECT_TRUE(b.WriteTo(path));
}

// Data that stops validating ends the export there with a note: the rows before an ID no group
// declares, or before a record cut short at the end, are exported. Other writers' layouts, an
// empty data block in a list and a VLSD group between the records, are stepped over by export
// and sort alike, which keep every record of the group.
TEST(CliExport, DataThatStopsValidatingEndsWithANoteAndForeignLayoutsAreSteppedOver) {
  TempDir dir;
  const auto plain = [](MdfBuilder& b, const std::vector<uint8_t>& d) { return b.AddDT(d); };
  WriteGroupG(dir.Path("bad.mf4"), 1, 2, Bytes({1, 10, 9, 11, 1, 12}), plain);
  WriteGroupG(dir.Path("short.mf4"), 2, 2, Bytes({1, 1, 0, 1, 2}), plain);
  for (const auto& [name, note] : {std::pair{"bad.mf4", "record ID 9"}, std::pair{"short.mf4", "too few"}}) {
    const CliResult r = RunCli({"export", dir.Path(name), "--group", "G"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ParseCsv(r.out).size(), 2u) << name;
    EXPECT_TRUE(Contains(r.err, note));
  }

  WriteGroupG(dir.Path("foreign.mf4"), 2, 3, Bytes({1, 1, 0, 2, 3, 0, 0, 0, 7, 7, 7, 1, 2, 0, 2, 2, 0, 0, 0, 9, 9, 1, 3, 0}),
              [](MdfBuilder& b, const std::vector<uint8_t>& d) {
                const std::vector<uint8_t> first(d.begin(), d.begin() + 13), second(d.begin() + 13, d.end());
                return b.AddDL({b.AddDT(first), b.AddDT({}), b.AddDT(second), b.AddDT({})}, 0, false);
              }, true);
  const CliResult csv = RunCli({"export", dir.Path("foreign.mf4"), "--group", "G"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "v\n1\n2\n3\n");
  const CliResult sorted = RunCli({"sort", dir.Path("foreign.mf4"), dir.Path("sorted.mf4")});
  EXPECT_EQ(sorted.status, 0) << sorted.err;
  EXPECT_TRUE(Contains(sorted.err, "'V' holds variable-length signal data"));
  EXPECT_EQ(RunCli({"export", dir.Path("sorted.mf4"), "--group", "G"}).out, csv.out);
}

// A record behind its group's count followed by counted records of another group: a file at
// rest (a power loss kept the first count from the disk) ends at that record, as its sort does;
// while a writer holds the file, the uncounted record is being added and the reading goes on.
// Counts beyond the data (B states 4 records) are named by info.
TEST(CliExport, AFileAtRestEndsWhereItsCountsStopCoveringTheRecords) {
  TempDir dir;
  const std::string path = dir.Path("torn.mf4");
  MdfBuilder b;
  const uint64_t dg = b.AddDG(1);
  b.AddCN(b.AddCG(dg, 1, 1, 1, 0, 0, "A"), "v", nullptr, 0, 0, 0, 0, 8);
  b.AddCN(b.AddCG(dg, 2, 4, 1, 0, 0, "B"), "v", nullptr, 0, 0, 0, 0, 8);
  b.SetDGData(dg, b.AddDT(Bytes({1, 10, 2, 20, 1, 11, 2, 21})));
  ASSERT_TRUE(b.WriteTo(path));
  EXPECT_TRUE(Contains(RunCli({"info", path}).err, "state more records than its 8 bytes of data hold"));
  const CliResult atRest = RunCli({"export", path, "--group", "B"});
  EXPECT_EQ(atRest.out, "v\n20\n");
  EXPECT_TRUE(Contains(atRest.err, "group 'A' at data offset 4 lies behind")) << atRest.err;
  ASSERT_EQ(RunCli({"sort", path, dir.Path("sorted.mf4")}).status, 0);
  EXPECT_EQ(RunCli({"export", dir.Path("sorted.mf4"), "--group", "B"}).out, atRest.out);

  const std::u16string name = os::NarrowToWide(path.c_str());
  const os::FileHandle writer = os::OpenFile(name.c_str(), os::OpenMode::kReadWrite);
  ASSERT_NE(writer, os::kInvalidHandle);
  EXPECT_EQ(RunCli({"export", path, "--group", "B"}).out, "v\n20\n21\n");
  os::CloseFile(writer);
}

// A record that runs into a new disk sector holding only zeros there, followed by record ID 0:
// that sector never reached the disk, so export, sort and repair all end the data in front of
// the record. Followed by a record ID that did arrive, the zeros are values and stay.
TEST(CliExport, ARecordThatLostItsTailWithTheSectorBehindItIsDropped) {
  TempDir dir;
  for (const bool lost : {true, false}) {
    SCOPED_TRACE(lost);
    const std::string path = dir.Path(lost ? "lost.mf4" : "zeros.mf4");
    MdfBuilder b(400, fmt::kProgramId);
    const uint64_t dg = b.AddDG(2);
    b.AddCN(b.AddCG(dg, 1, 0, 8, 0, 0, "G"), "v", nullptr, 0, 0, 0, 0, 64);
    // Records of 10 bytes from the data's start up to the one across the next sector boundary.
    const uint64_t data = (b.Size() + 7) / 8 * 8 + 24;
    uint64_t boundary = (data / 512 + 1) * 512;
    while ((boundary - data) % 10 == 0) boundary += 512;
    const uint64_t torn = (boundary - data) / 10, records = torn + 3;
    std::vector<uint8_t> bytes;
    for (uint64_t r = 0; r < records; ++r) {
      bytes.insert(bytes.end(), {r <= torn || !lost ? uint8_t{1} : uint8_t{0}, 0});
      for (int k = 0; k < 8; ++k) bytes.push_back(data + bytes.size() < boundary || (r != torn && !lost) ? 7 : 0);
    }
    b.SetDGData(dg, b.AddDT(bytes));
    b.Patch64(b.DataPos(b.GetLink(dg, 1)) + 8, records);  // the cycle count
    ASSERT_TRUE(b.WriteTo(path));
    const size_t rows = lost ? torn : records;
    EXPECT_EQ(ParseCsv(RunCli({"export", path, "--group", "G"}).out).size(), 1 + rows);
    ASSERT_EQ(RunCli({"sort", path, path + ".sorted"}).status, 0);
    EXPECT_EQ(ParseCsv(RunCli({"export", path + ".sorted", "--group", "G"}).out).size(), 1 + rows);
    EXPECT_EQ(RunCli({"repair", path}).status, 0);
    EXPECT_TRUE(Contains(RunCli({"info", path}).out, std::to_string(rows) + " cycles"));
  }
}

// Chains that loop back end with a warning instead of hanging or crashing.
TEST(CliInfo, LoopingChainsEndWithAWarning) {
  TempDir dir;
  MdfBuilder b;
  b.AddFH(0, "<FHcomment><TX>loop</TX></FHcomment>");
  const uint64_t dg = b.AddDG(0);
  const uint64_t cg = b.AddCG(dg, 0, 0, 8, 0, 0, "Loop");
  const uint64_t cn = b.AddCN(cg, "x", nullptr, 0, 0, 4, 0, 64);
  for (uint64_t block : {cn, cg, dg, b.GetLink(fmt::kHDPosition, fmt::kHdFhFirst)}) b.SetLink(block, 0, block);
  ASSERT_TRUE(b.WriteTo(dir.Path("loop.mf4")));
  const CliResult r = RunCli({"info", dir.Path("loop.mf4")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"Loop\""));
  EXPECT_TRUE(Contains(r.err, "loop"));
  EXPECT_EQ(RunCli({"export", dir.Path("loop.mf4"), "--output", dir.Path("csv")}).status, 0);
}

// ---- Files of other writers -----------------------------------------------------------------

// info and export agree with each sidecar: groups, record IDs, counts, sums and first values.
// The sorted copy of each unsorted file has a data group per group, numbered from 1, and
// exports the same rows.
TEST(CliTestData, InfoExportAndSortAgreeWithTheSidecars) {
  if (!HaveTestData()) GTEST_SKIP() << "no testdata folder";
  TempDir dir;
  for (const std::string name : {"a_unsorted_dt", "b_unsorted_dl_chain", "c_unsorted_hl_dz_deflate", "h_sorted",
                                 "other_writer_unsorted_2cg"}) {
    SCOPED_TRACE(name);
    const std::vector<SidecarGroup> groups = LoadSidecar(TestDataPath(name + ".json"));
    ASSERT_FALSE(groups.empty());
    const std::string file = TestDataPath(name + ".mf4"), out = dir.Path(name);
    const CliResult info = RunCli({"info", file});
    ASSERT_EQ(info.status, 0) << info.err;
    ASSERT_EQ(RunCli({"export", file, "--output", out}).status, 0);
    const bool sort = groups[0].recordIdSize != 0;
    CliResult sortedInfo;
    if (sort) {
      // The sort opens its source for writing (to lock out writers): it gets a copy.
      std::filesystem::copy_file(file, out + "_source.mf4");
      ASSERT_EQ(RunCli({"sort", out + "_source.mf4", out + "_sorted.mf4"}).status, 0);
      ASSERT_EQ(RunCli({"export", out + "_sorted.mf4", "--output", out + "_sorted"}).status, 0);
      sortedInfo = RunCli({"info", out + "_sorted.mf4"});
    }
    for (size_t gi = 0; gi < groups.size(); ++gi) {
      const SidecarGroup& g = groups[gi];
      SCOPED_TRACE(g.name);
      const std::string counted = "\"" + g.name + "\": record ID ";
      const std::string cycles = ", " + std::to_string(g.cycleCount) + " cycles";
      EXPECT_TRUE(Contains(info.out, counted + std::to_string(g.recordId) + cycles));
      const std::string csv = ReadAll(out + "/" + g.name + ".csv");
      if (sort) {
        EXPECT_TRUE(Contains(sortedInfo.out, "data group " + std::to_string(gi + 1) + ": record ID size 0"));
        EXPECT_TRUE(Contains(sortedInfo.out, counted + std::to_string(gi + 1) + cycles));
        // The rows agree; headers may not (the sort does not copy a conversion's own unit).
        const std::string copy = ReadAll(out + "_sorted/" + g.name + ".csv");
        EXPECT_TRUE(csv.substr(csv.find('\n')) == copy.substr(copy.find('\n')));
      }
      const Table t = ParseCsv(csv);
      ASSERT_EQ(t.size(), g.cycleCount + 1);
      for (const SidecarChannel& cn : g.channels) {
        size_t col = 0;
        while (col < t[0].size() && t[0][col] != cn.name && t[0][col].rfind(cn.name + " [", 0) != 0) ++col;
        ASSERT_LT(col, t[0].size()) << cn.name;
        double sum = 0;
        for (size_t i = 1; i < t.size(); ++i) sum += Num(t[i][col]);
        EXPECT_EQ(t.size() - 1, cn.count) << cn.name;
        EXPECT_NEAR(sum, cn.sum, 1e-9 * std::max(1.0, std::fabs(cn.sum))) << cn.name;
        EXPECT_DOUBLE_EQ(Num(t[1][col]), cn.first) << cn.name;
      }
    }
  }
}

// ---- The C host ------------------------------------------------------------------------------

// qm_c_host (run before this test, which names its output directory in QM_C_HOST_DIR) wrote
// the CSV that export must give for each of its groups; the sorted copy gives the same.
TEST(CHostOutput, ExportGivesWhatTheHostWrote) {
  const char* dir = std::getenv("QM_C_HOST_DIR");
  if (dir == nullptr) GTEST_SKIP() << "run by the qm_c_host_verify test";
  for (const char* file : {"c_host.mf4", "c_host_sorted.mf4"}) {
    for (const char* group : {"Engine", "[7]Limits"}) {
      SCOPED_TRACE(std::string(file) + " " + group);
      const CliResult r = RunCli({"export", std::string(dir) + "/" + file, "--group", group});
      EXPECT_EQ(r.status, 0) << r.err;
      const std::string expected = ReadAll(std::string(dir) + "/" + group + ".csv");
      EXPECT_GT(expected.size(), 40u);
      EXPECT_EQ(r.out, expected);
    }
  }
}

}  // namespace
}  // namespace qm::test
