// Tests of the quillmark command-line tool: runs the built program on demo, hostile and foreign files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "demo_signals.h"
#include "mdf_builder.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"
#include "sidecar.h"
#include "temp_dir.h"

namespace {

using qm::test::MdfBuilder;
using qm::test::TempDir;
using Table = std::vector<std::vector<std::string>>;

struct Result {
  int status = -1;  // exit status; 128 + signal when the program was killed
  std::string out, err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

#ifdef _WIN32
// cmd.exe: double quotes (the test arguments hold none).
std::string Quote(const std::string& s) { return "\"" + s + "\""; }
// Text-mode output ends lines with CR LF.
std::string Unix(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i)
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
  return out;
}
#else
std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
std::string Unix(std::string s) { return s; }
#endif

// Runs quillmark with args, capturing standard output and error.
Result RunCli(const std::vector<std::string>& args) {
  static TempDir capture;
  std::string command = Quote(QM_CLI_PATH);
  for (const std::string& a : args) command += " " + Quote(a);
  command += " >" + Quote(capture.Path("out")) + " 2>" + Quote(capture.Path("err"));
  Result r;
#ifdef _WIN32
  // cmd /c strips one pair of quotes around the whole line.
  r.status = std::system(("\"" + command + "\"").c_str());
#else
  const int raw = std::system(command.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
#endif
  r.out = Unix(ReadAll(capture.Path("out")));
  r.err = Unix(ReadAll(capture.Path("err")));
  return r;
}

// Whether text holds part; the text is shown either way.
::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  return (text.find(part) != std::string::npos ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << "\"" << part << "\" in:\n" << text;
}

// A failure is one line on standard error naming the tool, and a small non-zero status.
void ExpectOneLineFailure(const Result& r, const std::string& mentions) {
  EXPECT_NE(r.status, 0);
  EXPECT_LT(r.status, 128) << "killed by a signal";
  EXPECT_EQ(r.err.rfind("quillmark ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_TRUE(Contains(r.err, mentions));
}

// CSV as rows of cells; the test files hold no quoted cells.
Table ParseCsv(const std::string& text) {
  Table rows;
  std::stringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string>& cells = rows.emplace_back();
    size_t start = 0;
    for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
      cells.push_back(line.substr(start, comma - start));
    cells.push_back(line.substr(start));
  }
  return rows;
}

double Num(const std::string& cell) { return std::strtod(cell.c_str(), nullptr); }

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
    const Result r = RunCli({"export", file, "--output", file + ".csv.d"});
    EXPECT_EQ(r.status, 0) << r.err;
    return ParseCsv(ReadAll(file + ".csv.d/" + group + ".csv"));
  }

  static inline std::unique_ptr<TempDir> dir_;
  static inline Result demo_;
};

TEST_F(DemoTest, WritesBothFilesAndInfoShowsTheirStructure) {
  ASSERT_EQ(demo_.status, 0) << demo_.err;
  // The files are named, and the sort's progress lines come through.
  for (const char* text : {"quillmark_demo.mf4", "quillmark_demo_sorted.mf4", "copy channel group '[12]Coolant'"})
    EXPECT_TRUE(Contains(demo_.out, text));

  const Result unsorted = RunCli({"info", Unsorted()}), sorted = RunCli({"info", Sorted()});
  ASSERT_EQ(unsorted.status, 0) << unsorted.err;
  for (const char* text :
       {"4.00 (400)", "\"Brenik\"", "UTC, local offset", "Simulated one-minute engine test", "Created",
        "record ID size 2", "\"Engine\": record ID 1, 6000 cycles, record 32 bytes",
        "\"Ambient\": record ID 2, 60 cycles", "\"[12]Coolant\": record ID 3, 600 cycles", "linear -40 + 0.01 * x",
        "Temperature", "degC"})
    EXPECT_TRUE(Contains(unsorted.out, text));
  EXPECT_FALSE(Contains(unsorted.out, "data group 2"));
  // The sorted copy has a data group per group, and both history entries keep their comments.
  ASSERT_EQ(sorted.status, 0) << sorted.err;
  for (const char* text :
       {"data group 3: record ID size 0", "\"[12]Coolant\": record ID 3, 600 cycles", "Created", "Sorted"})
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
      const auto& row = engine[i + 1];
      ASSERT_EQ(row.size(), 4u);
      ASSERT_EQ(Num(row[0]), EngineTime(i)) << "row " << i;
      for (int ch = 0; ch < 3; ++ch) {
        const Linear& c = kEngineChannels[ch];
        ASSERT_DOUBLE_EQ(Num(row[1 + ch]), c.offset + c.factor * EngineStored(ch, i)) << "row " << i;
      }
    }
    const Table coolant = Export(file, "[12]Coolant");
    ASSERT_EQ(coolant.size(), 1u + kSeconds * kCoolantRate);
    EXPECT_EQ(coolant[0][3], "LimitExceeded");
    for (uint64_t i = 0; i + 1 < coolant.size(); ++i)
      for (int ch = 0; ch < 3; ++ch)
        ASSERT_DOUBLE_EQ(Num(coolant[i + 1][1 + ch]), CoolantStored(ch, i)) << "row " << i;
    const Table ambient = Export(file, "Ambient");
    ASSERT_EQ(ambient.size(), 1u + kSeconds * kAmbientRate);
    EXPECT_EQ(Num(ambient.back()[0]), AmbientTime(kSeconds - 1));
    EXPECT_DOUBLE_EQ(Num(ambient.back()[2]), AmbientStored(1, kSeconds - 1));
  }
}

// One group goes to standard output or a file; errors are one line and a non-zero status.
TEST_F(DemoTest, ExportOfOneGroupAndExportErrors) {
  const Result r = RunCli({"export", Unsorted(), "--group", "Ambient"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Table t = ParseCsv(r.out);
  ASSERT_EQ(t.size(), 61u);
  EXPECT_EQ(t[0][0], "Time [s]");
  const std::string path = dir_->Path("coolant.csv");
  ASSERT_EQ(RunCli({"export", Sorted(), "--group=[12]Coolant", "--output", path}).status, 0);
  EXPECT_EQ(ParseCsv(ReadAll(path)).size(), 601u);

  ExpectOneLineFailure(RunCli({"export", Unsorted(), "--group", "engine"}), "engine");
  // A regular file where a directory is needed: nothing can be written below it.
  const std::string blocker = dir_->Path("blocker");
  std::ofstream(blocker) << "x";
  ExpectOneLineFailure(RunCli({"export", Unsorted(), "--group", "Engine", "--output", blocker + "/a.csv"}),
                       "cannot write");
  ExpectOneLineFailure(RunCli({"export", Unsorted(), "--output", blocker}), "cannot create directory");
  ExpectOneLineFailure(RunCli({"export", Unsorted(), "--colour"}), "unknown option");
}

TEST_F(DemoTest, SortCommandCopiesAndRefusesBadDestinations) {
  const std::string copy = dir_->Path("again.mf4");
  const Result r = RunCli({"sort", Unsorted(), copy});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "processing 3 channel groups"));
  EXPECT_EQ(Export(copy, "Engine"), Export(Sorted(), "Engine"));
  ExpectOneLineFailure(RunCli({"sort", Unsorted(), dir_->Path("missing/dir/x.mf4")}), "does not exist");
  ExpectOneLineFailure(RunCli({"sort", Unsorted(), Unsorted()}), "same file");
}

TEST_F(DemoTest, CompressedSortExportsTheSameValues) {
  const std::string copy = dir_->Path("dz.mf4"), again = dir_->Path("dz2.mf4");
  for (const char* option : {"--compress", "--compress=1", "--compress=12"}) {
    ASSERT_EQ(RunCli({"sort", option, Unsorted(), copy}).status, 0) << option;
    for (const char* group : {"Engine", "Ambient", "[12]Coolant"})
      EXPECT_EQ(Export(copy, group), Export(Sorted(), group)) << option << " " << group;
  }
  const Result info = RunCli({"info", copy});
  EXPECT_TRUE(Contains(info.out, "4.10 (410)") && Contains(info.out, "compressed: 1 block(s) (transposed, deflate)"))
      << info.out;
  ExpectOneLineFailure(RunCli({"sort", copy, again}), "already sorted");
  ExpectOneLineFailure(RunCli({"sort", "--compress=13", Unsorted(), again}), "LEVEL");
}

// ---- Errors and help ------------------------------------------------------------------------

TEST(CliErrors, MissingAndForeignFilesFailWithOneLine) {
  TempDir dir;
  ExpectOneLineFailure(RunCli({"info", dir.Path("nothing.mf4")}), "no such file");
  ExpectOneLineFailure(RunCli({"export", dir.Path("nothing.mf4")}), "no such file");
  ExpectOneLineFailure(RunCli({"sort", dir.Path("nothing.mf4"), dir.Path("x.mf4")}), "no such file");
  std::ofstream(dir.Path("notes.txt")) << "just some text, not a measurement\n";
  ExpectOneLineFailure(RunCli({"info", dir.Path("notes.txt")}), "not an MDF file");
  ASSERT_TRUE(MdfBuilder(330).WriteTo(dir.Path("old.mdf")));
  ExpectOneLineFailure(RunCli({"info", dir.Path("old.mdf")}), "only MDF 4");
  ExpectOneLineFailure(RunCli({"info"}), "expected one FILE");
  EXPECT_EQ(RunCli({"frobnicate"}).status, 2);
}

TEST(CliHelp, EveryCommandHasHelp) {
  for (const std::string command : {"COMMAND", "demo", "sort", "info", "export", "repair"}) {
    const Result r = command == "COMMAND" ? RunCli({"--help"}) : RunCli({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind("usage: quillmark " + command, 0), 0u) << r.out;
  }
}

// A file whose writer still holds it open (here: this process) can be inspected and exported.
TEST(CliInfo, ReadsAFileThatIsStillBeingWritten) {
  TempDir dir;
  const std::string path = dir.Path("live.mf4");
  MDF4Handle h{};
  const double values[] = {0.0, 1.0, 0.5, 2.0, 1.0, 3.0};
  ASSERT_TRUE(StartFile(path, &h) && MDF4_AddChannelGroup(&h, "Live", true) &&
              MDF4_AddChannel(&h, "Live", "v", "V", 1.0, 0.0) && MDF4_AddChannelData1D(&h, "Live", values, 3));
  const Result shown = RunCli({"info", path}), csv = RunCli({"export", path, "--group", "Live"});
  MDF4_Close(&h);
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_TRUE(Contains(shown.out, "\"Live\": record ID 1, 3 cycles"));
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "Time [s],v [V]\n0,1\n0.5,2\n1,3\n");
}

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
  // the file small where readers are slow.
  std::atomic<bool> stop{false}, busy{false};
  std::thread writer([&] {
    // Sample n of a group: time n, value 3n.
    std::vector<double> rows;
    uint32_t next[2] = {0, 0};
    for (uint32_t call = 0; !stop; ++call) {
      while (!busy && !stop) std::this_thread::yield();
      if (call == 100000) break;
      const uint32_t g = call % 2, count = 1 + call % 7;
      rows.clear();
      for (uint32_t k = 0; k < count; ++k) {
        rows.push_back(next[g] + k);
        rows.push_back(3.0 * (next[g] + k));
      }
      if (!MDF4_AddChannelData1D(&h, g ? "B" : "A", rows.data(), count)) break;
      next[g] += count;
    }
  });
  // Also when an assertion ends the test early.
  struct Joiner {
    std::atomic<bool>& stop;
    std::thread& writer;
    MDF4Handle& h;
    ~Joiner() {
      stop = true;
      writer.join();
      MDF4_Close(&h);
    }
  } joiner{stop, writer, h};
  for (int run = 0; run < 8; ++run) {
    SCOPED_TRACE(run);
    busy = true;
    const Result shown = RunCli({"info", path});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_FALSE(Contains(shown.out, "cannot be resolved"));
    const Result r = RunCli({"export", path, "--output", dir.Path("csv")});
    busy = false;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "cycle count states"));
    for (const char* g : {"A", "B"}) {
      const Table t = ParseCsv(ReadAll(dir.Path(std::string("csv/") + g + ".csv")));
      ASSERT_FALSE(t.empty());
      for (size_t i = 1; i < t.size(); ++i) {
        ASSERT_EQ(t[i].size(), 2u);
        ASSERT_EQ(Num(t[i][0]), static_cast<double>(i - 1)) << g << " row " << i;
        ASSERT_EQ(Num(t[i][1]), 3.0 * static_cast<double>(i - 1)) << g << " row " << i;
      }
    }
  }
}

// ---- Decoding and hostile structure ---------------------------------------------------------

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

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
  const Result r = RunCli({"export", dir.Path("bits.mf4"), "--group", "Bits"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Table t = ParseCsv(r.out);
  ASSERT_EQ(t.size(), 3u) << r.out;
  EXPECT_EQ(t[0], (std::vector<std::string>{"t [s]", "u12", "s16be [K]", "f32", "u64",
                                            "state (raw; conversion type 7 (value to text) not applied)"}));
  EXPECT_EQ(t[1], (std::vector<std::string>{"0", "2748", "-2", "1.5", "9223372036854775813", "255"}));
  EXPECT_EQ(t[2], (std::vector<std::string>{"0.5", "1", "4660", "", "7", "18"}));
  EXPECT_TRUE(Contains(r.err, "'label'")) << "the skipped channel is noted";
}

// Data that stops validating ends the export there, with a note: the rows before an ID no group
// declares, or before a record cut short at the end, are exported.
TEST(CliExport, DataThatStopsValidatingEndsTheExportWithANote) {
  TempDir dir;
  auto write = [&](const std::string& name, uint32_t recordBytes, const std::vector<uint8_t>& data) {
    MdfBuilder b;
    const uint64_t dg = b.AddDG(1);
    b.AddCN(b.AddCG(dg, 1, 2, recordBytes, 0, 0, "G"), "v", nullptr, 0, 0, 0, 0, 8 * recordBytes);
    b.SetDGData(dg, b.AddDT(data));
    EXPECT_TRUE(b.WriteTo(dir.Path(name)));
  };
  write("bad.mf4", 1, Bytes({1, 10, 9, 11, 1, 12}));
  write("short.mf4", 2, Bytes({1, 1, 0, 1, 2}));
  for (const auto& [name, note] : {std::pair{"bad.mf4", "record ID 9"}, std::pair{"short.mf4", "too few"}}) {
    const Result r = RunCli({"export", dir.Path(name), "--group", "G"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ParseCsv(r.out).size(), 2u) << name;
    EXPECT_TRUE(Contains(r.err, note));
  }
}

// Layouts of other writers: an empty data block in a list, and a VLSD group between the records
// of a fixed-length group. Export and sort step over both and keep every record of the group.
TEST(CliForeign, EmptyBlocksAndVariableLengthGroupsAreSteppedOver) {
  TempDir dir;
  MdfBuilder b;
  const uint64_t dg = b.AddDG(1);
  b.AddCN(b.AddCG(dg, 1, 3, 2, 0, 0, "G"), "v", nullptr, 0, 0, 0, 0, 16);
  b.AddCG(dg, 2, 2, 5, 0, 1, "V");  // VLSD: 5 bytes in all
  const std::vector<uint8_t> first = Bytes({1, 1, 0, 2, 3, 0, 0, 0, 7, 7, 7, 1, 2});
  const std::vector<uint8_t> second = Bytes({0, 2, 2, 0, 0, 0, 9, 9, 1, 3, 0});
  b.SetDGData(dg, b.AddDL({b.AddDT(first), b.AddDT({}), b.AddDT(second), b.AddDT({})}, 0, false));
  ASSERT_TRUE(b.WriteTo(dir.Path("foreign.mf4")));

  const Result csv = RunCli({"export", dir.Path("foreign.mf4"), "--group", "G"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "v\n1\n2\n3\n");
  const Result sorted = RunCli({"sort", dir.Path("foreign.mf4"), dir.Path("sorted.mf4")});
  EXPECT_EQ(sorted.status, 0) << sorted.err;
  EXPECT_TRUE(Contains(sorted.err, "'V' holds variable-length signal data"));
  EXPECT_EQ(RunCli({"export", dir.Path("sorted.mf4"), "--group", "G"}).out, csv.out);
}

// A failed sort names the file that failed and leaves an existing destination as it was.
TEST(CliSort, FailuresNameTheFileAndKeepTheDestination) {
  TempDir dir;
  const std::string dest = dir.Path("dest.mf4");
  auto destinationKept = [&] {
    EXPECT_EQ(ReadAll(dest), "earlier copy");
    EXPECT_FALSE(std::filesystem::exists(dest + ".part"));
  };
  std::ofstream(dest) << "earlier copy";
  MdfBuilder bad;
  const uint64_t dg = bad.AddDG(1);
  bad.AddCN(bad.AddCG(dg, 1, 2, 1, 0, 0, "G"), "v", nullptr, 0, 0, 0, 0, 8);
  bad.SetDGData(dg, bad.AddDT(Bytes({1, 10, 9, 11})));  // an ID no group declares
  ASSERT_TRUE(bad.WriteTo(dir.Path("bad.mf4")));
  ExpectOneLineFailure(RunCli({"sort", dir.Path("bad.mf4"), dest}), "could not be copied completely");
  destinationKept();

  // A source that its writer still holds cannot be copied: the message names the source.
  const std::string live = dir.Path("live.mf4");
  MDF4Handle h{};
  ASSERT_TRUE(StartFile(live, &h) && MDF4_AddChannelGroup(&h, "Live", true));
  const Result held = RunCli({"sort", live, dest});
  MDF4_Close(&h);
  ExpectOneLineFailure(held, "cannot open '" + live + "'");
  destinationKept();

  // An already sorted source is refused with a clear reason.
  ASSERT_EQ(RunCli({"sort", live, dir.Path("sorted.mf4")}).status, 0);
  ExpectOneLineFailure(RunCli({"sort", dir.Path("sorted.mf4"), dest}), "already sorted");
  destinationKept();
}

// Chains that loop back end with a warning instead of hanging or crashing.
TEST(CliInfo, LoopingChainsEndWithAWarning) {
  TempDir dir;
  MdfBuilder b;
  b.AddFH(0, "<FHcomment><TX>loop</TX></FHcomment>");
  const uint64_t dg = b.AddDG(0);
  const uint64_t cg = b.AddCG(dg, 0, 0, 8, 0, 0, "Loop");
  const uint64_t cn = b.AddCN(cg, "x", nullptr, 0, 0, 4, 0, 64);
  for (uint64_t block : {cn, cg, dg, b.GetLink(64, 1)}) b.SetLink(block, 0, block);
  ASSERT_TRUE(b.WriteTo(dir.Path("loop.mf4")));
  const Result r = RunCli({"info", dir.Path("loop.mf4")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"Loop\""));
  EXPECT_TRUE(Contains(r.err, "loop"));
  EXPECT_EQ(RunCli({"export", dir.Path("loop.mf4"), "--output", dir.Path("csv")}).status, 0);
}

// ---- Files of other writers -----------------------------------------------------------------

// info and export agree with each sidecar: groups, record counts, sums and first values. The
// CLI's sorted copy of each unsorted file exports the same values.
TEST(CliTestData, InfoAndExportMatchTheSidecars) {
  if (!qm::test::HaveTestData()) GTEST_SKIP() << "no testdata folder";
  TempDir dir;
  for (const std::string name : {"a_unsorted_dt", "b_unsorted_dl_chain", "c_unsorted_hl_dz_deflate", "h_sorted",
                                 "other_writer_unsorted_2cg"}) {
    SCOPED_TRACE(name);
    qm::test::Sidecar sidecar;
    ASSERT_TRUE(qm::test::LoadSidecar(qm::test::TestDataPath(name + ".json"), &sidecar));
    const std::string file = qm::test::TestDataPath(name + ".mf4"), out = dir.Path(name);
    const Result info = RunCli({"info", file});
    ASSERT_EQ(info.status, 0) << info.err;
    ASSERT_EQ(RunCli({"export", file, "--output", out}).status, 0);
    const bool sort = sidecar.dataGroups.size() == 1 && sidecar.dataGroups[0].recordIdSize != 0;
    if (sort) {
      // The sort opens its source for writing (to lock out writers): it gets a copy.
      std::filesystem::copy_file(file, out + "_source.mf4");
      ASSERT_EQ(RunCli({"sort", out + "_source.mf4", out + "_sorted.mf4"}).status, 0);
      ASSERT_EQ(RunCli({"export", out + "_sorted.mf4", "--output", out + "_sorted"}).status, 0);
    }
    for (size_t d = 0; d < sidecar.dataGroups.size(); ++d) {
      for (size_t gi = 0; gi < sidecar.dataGroups[d].groups.size(); ++gi) {
        const auto& g = sidecar.dataGroups[d].groups[gi];
        SCOPED_TRACE(g.name);
        EXPECT_TRUE(Contains(info.out, "\"" + g.name + "\": record ID " + std::to_string(g.recordId) + ", " +
                                           std::to_string(g.cycleCount) + " cycles"));
        const std::string csv = ReadAll(out + "/" + g.name + ".csv");
        if (sort) {
          // The rows agree; headers may not (the sort does not copy a conversion's own unit).
          const std::string copy = ReadAll(out + "_sorted/" + g.name + ".csv");
          EXPECT_TRUE(csv.substr(csv.find('\n')) == copy.substr(copy.find('\n')));
        }
        const Table t = ParseCsv(csv);
        ASSERT_EQ(t.size(), g.cycleCount + 1);
        for (size_t ci = 0; ci < g.channels.size(); ++ci) {
          const auto& cn = g.channels[ci];
          size_t col = 0;
          while (col < t[0].size() && t[0][col] != cn.name && t[0][col].rfind(cn.name + " [", 0) != 0) ++col;
          ASSERT_LT(col, t[0].size()) << cn.name;
          // One sidecar shape states engineering values ("eng"), the other the stored values,
          // which the linear conversion turns into what the CSV holds.
          const qm::test::JsonValue& stated = sidecar.root["data_groups"][d]["channel_groups"][gi]["channels"][ci];
          const bool stored = cn.hasLinear && !stated.Has("eng");
          const double factor = stored ? cn.factor : 1.0, offset = stored ? cn.offset : 0.0;
          double sum = 0;
          for (size_t i = 1; i < t.size(); ++i) sum += Num(t[i][col]);
          const double expected = offset * static_cast<double>(g.cycleCount) + factor * cn.sum;
          if (cn.hasSum) {
            EXPECT_NEAR(sum, expected, 1e-9 * std::max(1.0, std::fabs(expected))) << cn.name;
          }
          if (!cn.first.empty()) {
            EXPECT_DOUBLE_EQ(Num(t[1][col]), offset + factor * cn.first[0]) << cn.name;
          }
        }
      }
    }
  }
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
    MDF4HeaderInfo info{"", "", "", "", "", ""};
    int64_t start = 0;
    const std::vector<double> values(1000, 2.5);
    MDF4_Create(path.c_str(), &h, &info, &start);
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
  const Result r = RunCli({"repair", path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "cut 10000 bytes of an interrupted data call; 100 bytes of data remain"));
  EXPECT_TRUE(Contains(RunCli({"repair", path}).out, "agree"));
  const Result csv = RunCli({"export", path, "--group", "G"});
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 11) << csv.out;
}
#endif

}  // namespace
