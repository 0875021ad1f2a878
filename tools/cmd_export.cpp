// quillmark export: channel values of an MDF 4 file as CSV, one file per channel group.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "channel_values.h"
#include "cli_text.h"
#include "commands.h"
#include "mdf_reader.h"

namespace qm::cli {

const char* const kExportHelp =
    "usage: quillmark export FILE [--group NAME] [--output PATH]\n"
    "\n"
    "Writes the values of the MDF 4 file FILE (sorted or unsorted) as CSV: a header row with\n"
    "\"name [unit]\" per channel, then one row per record, the time channel first.\n"
    "Integer and floating-point channels are decoded; identity and linear conversions give\n"
    "physical values (offset + factor x stored value); a channel with another conversion is\n"
    "written raw with a note in its header. Other channels are left out with a note.\n"
    "\n"
    "  --group NAME   export only the channel group NAME, to PATH or to standard output\n"
    "  --output PATH  with --group: the CSV file; without: the directory that receives one\n"
    "                 NAME.csv per channel group (default: the directory of FILE)\n";

namespace {

namespace fs = std::filesystem;

struct Sink {
  std::string path;  // "-" for standard output
  std::FILE* file = nullptr;
  const ChannelGroupInfo* group = nullptr;
  std::vector<Column> columns;
  uint64_t rows = 0;
  std::string line;
};

bool Note(const std::string& text) {
  std::fprintf(stderr, "quillmark export: note: %s\n", text.c_str());
  return true;
}

// Opens the sink and writes the header row; false (with a reason) when it cannot be written.
bool Start(Sink& s, std::string* error) {
  s.file = s.path == "-" ? stdout : std::fopen(s.path.c_str(), "wb");
  if (s.file == nullptr) {
    *error = "cannot write '" + s.path + "'";
    return false;
  }
  s.line.clear();
  for (size_t i = 0; i < s.columns.size(); ++i)
    s.line += (i == 0 ? "" : ",") + CsvField(s.columns[i].Header());
  s.line += '\n';
  return std::fwrite(s.line.data(), 1, s.line.size(), s.file) == s.line.size();
}

// Closes the sink; false when anything written to it was lost.
bool Finish(Sink& s) {
  if (s.file == nullptr) return true;
  bool ok = std::ferror(s.file) == 0;
  ok = (s.file == stdout ? std::fflush(s.file) : std::fclose(s.file)) == 0 && ok;
  s.file = nullptr;
  return ok;
}

// Reads the records of one data group once and writes those of the groups that have a sink.
// False when the data cannot be read to its end.
bool ExportDataGroup(MdfReader& reader, const DataGroupInfo& dg, std::vector<Sink*>& sinkOf) {
  RecordReader records(reader, dg);
  std::string error;
  if (!records.Open(&error)) return Fail("export", error) == 0;
  size_t group = 0;
  const uint8_t* record = nullptr;
  uint64_t index = 0;
  RecordReader::Status status;
  while ((status = records.Next(&group, &record, &index, &error)) == RecordReader::Status::kRecord) {
    Sink* s = sinkOf[group];
    if (s == nullptr) continue;
    s->line.clear();
    for (size_t i = 0; i < s->columns.size(); ++i) {
      if (i != 0) s->line += ',';
      AppendValue(s->columns[i], record, index, s->line);
    }
    s->line += '\n';
    std::fwrite(s->line.data(), 1, s->line.size(), s->file);
    ++s->rows;
  }
  if (!records.Warning().empty()) Note(records.Warning());
  if (status == RecordReader::Status::kError) return Fail("export", error) == 0;
  return true;
}

// A sink for the group, with its columns and notes; null when nothing of it can be exported.
std::unique_ptr<Sink> MakeSink(const ChannelGroupInfo& cg, std::string* why) {
  if (cg.IsVlsd()) {
    *why = "group '" + cg.name + "' skipped: it holds variable-length signal data";
    return nullptr;
  }
  auto s = std::make_unique<Sink>();
  s->group = &cg;
  std::vector<std::string> skipped;
  s->columns = MakeColumns(cg, &skipped);
  for (const std::string& line : skipped) Note(line);
  if (s->columns.empty()) {
    *why = "group '" + cg.name + "' has no channel that can be exported";
    return nullptr;
  }
  return s;
}

std::string GroupList(const FileInfo& f) {
  std::string names;
  for (const DataGroupInfo& dg : f.dataGroups)
    for (const ChannelGroupInfo& cg : dg.groups) names += (names.empty() ? "" : ", ") + cg.name;
  return names.empty() ? "none" : names;
}

// What the command line asks for.
struct ExportRequest {
  std::string file, group, output;
  bool hasGroup = false, hasOutput = false;
};

// Reads the command line into request; false, with the message, when it is not valid.
bool ParseExport(const std::vector<std::string>& args, ExportRequest* request, std::string* error) {
  ExportRequest& r = *request;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string* target = a == "--group" || a.rfind("--group=", 0) == 0    ? &r.group
                          : a == "--output" || a.rfind("--output=", 0) == 0 ? &r.output
                                                                            : nullptr;
    if (target != nullptr) {
      (target == &r.group ? r.hasGroup : r.hasOutput) = true;
      const size_t eq = a.find('=');
      if (eq != std::string::npos) {
        *target = a.substr(eq + 1);
      } else if (i + 1 < args.size()) {
        *target = args[++i];
      } else {
        *error = a + " needs a value (see quillmark export --help)";
        return false;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      *error = "unknown option '" + a + "' (see quillmark export --help)";
      return false;
    } else if (r.file.empty()) {
      r.file = a;
    } else {
      *error = "expected one FILE (see quillmark export --help)";
      return false;
    }
  }
  if (r.file.empty()) *error = "expected a FILE (see quillmark export --help)";
  else if (r.hasOutput && r.output.empty()) *error = "--output needs a non-empty PATH";
  return error->empty();
}

// One sink per exported group, found by (data group, group) index; null for a group left out.
using SinkTable = std::vector<std::vector<std::unique_ptr<Sink>>>;

// --group: the one sink of the named group, to the output file or standard output. False,
// with the message, when there is no such group or nothing of it can be exported.
bool PlanGroup(const FileInfo& info, const ExportRequest& r, SinkTable& sinks, std::string* error) {
  for (size_t d = 0; d < info.dataGroups.size(); ++d) {
    sinks[d].resize(info.dataGroups[d].groups.size());
    for (size_t g = 0; g < info.dataGroups[d].groups.size(); ++g) {
      const ChannelGroupInfo& cg = info.dataGroups[d].groups[g];
      if (cg.name != r.group) continue;
      sinks[d][g] = MakeSink(cg, error);
      if (!sinks[d][g]) return false;
      sinks[d][g]->path = r.hasOutput ? r.output : "-";
      return true;
    }
  }
  *error = "no channel group named '" + r.group + "' (groups: " + GroupList(info) + ")";
  return false;
}

// Every group: one NAME.csv each in the output directory (made when missing), names made
// unique; a group that cannot be exported is left out with a note. False, with the message,
// when the directory cannot be made.
bool PlanAllGroups(const FileInfo& info, const ExportRequest& r, SinkTable& sinks, std::string* error) {
  std::error_code ec;
  fs::path dir = r.hasOutput ? fs::path(r.output) : fs::path(r.file).parent_path();
  if (dir.empty()) dir = ".";
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) {
    *error = "cannot create directory '" + dir.string() + "'";
    return false;
  }
  std::set<std::string> used;
  size_t number = 0;
  for (size_t d = 0; d < info.dataGroups.size(); ++d) {
    sinks[d].resize(info.dataGroups[d].groups.size());
    for (size_t g = 0; g < info.dataGroups[d].groups.size(); ++g) {
      const ChannelGroupInfo& cg = info.dataGroups[d].groups[g];
      ++number;
      std::string why;
      sinks[d][g] = MakeSink(cg, &why);
      if (!sinks[d][g]) {
        Note(why);
        continue;
      }
      std::string base = SafeFileName(cg.name, "group" + std::to_string(number));
      std::string name = base + ".csv";
      for (int n = 2; !used.insert(name).second; ++n) name = base + "_" + std::to_string(n) + ".csv";
      sinks[d][g]->path = (dir / name).string();
    }
  }
  return true;
}

// Writes the sinks, one data group at a time; the command's exit status.
int WriteSinks(MdfReader& reader, const FileInfo& info, SinkTable& sinks) {
  std::string error;
  bool ok = true;
  for (size_t d = 0; d < info.dataGroups.size() && ok; ++d) {
    std::vector<Sink*> sinkOf;
    for (auto& s : sinks[d]) sinkOf.push_back(s.get());
    bool any = false;
    for (Sink* s : sinkOf) {
      if (s == nullptr) continue;
      if (!Start(*s, &error)) {
        ok = false;
        break;
      }
      any = true;
    }
    if (ok && any) ok = ExportDataGroup(reader, info.dataGroups[d], sinkOf);
    for (Sink* s : sinkOf) {
      if (s == nullptr) continue;
      if (!Finish(*s) && ok) {
        error = "writing '" + s->path + "' failed";
        ok = false;
      }
      if (ok && s->rows != s->group->cycleCount)
        Note("group '" + s->group->name + "': " + std::to_string(s->rows) +
             " records read, its cycle count states " + std::to_string(s->group->cycleCount));
      if (ok && s->path != "-")
        std::printf("wrote %s (%llu rows)\n", s->path.c_str(), static_cast<unsigned long long>(s->rows));
    }
    if (!ok && !error.empty()) return Fail("export", error);
  }
  return ok ? 0 : 1;
}

}  // namespace

int RunExport(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kExportHelp, stdout);
    return 0;
  }
  ExportRequest request;
  std::string error;
  if (!ParseExport(args, &request, &error)) return Fail("export", error);

  MdfReader reader;
  if (!reader.Open(request.file, &error)) return Fail("export", error);
  const FileInfo& info = reader.Info();
  for (const std::string& w : info.warnings) Note(w);

  SinkTable sinks(info.dataGroups.size());
  const bool planned = request.hasGroup ? PlanGroup(info, request, sinks, &error)
                                        : PlanAllGroups(info, request, sinks, &error);
  if (!planned) return Fail("export", error);
  return WriteSinks(reader, info, sinks);
}

}  // namespace qm::cli
