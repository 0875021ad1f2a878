// quillmark sort and export over several files: options, output names, parallel jobs and the
// summary of failures; each file goes through the single-file command.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.h"

namespace qm::cli {

const char* const kSortManyHelp =
    "\n"
    "usage: quillmark sort [--compress[=LEVEL]] --output-dir DIR [-j N] FILE...\n"
    "\n"
    "Writes a sorted copy of each FILE to DIR (created when missing) under the FILE's own\n"
    "name. -j N (or --jobs N) sorts N files at once (default 1); their progress lines then\n"
    "interleave. Every file is tried; at the end a summary names the files that failed (each\n"
    "one's reason is on standard error above it). Exit status 0 when all were sorted, 1 when\n"
    "any failed.\n";

const char* const kExportManyHelp =
    "\n"
    "usage: quillmark export [--output-dir DIR] [-j N] FILE FILE...\n"
    "\n"
    "Exports each FILE as above into a directory of its own, named after the file without its\n"
    "extension: DIR/NAME/ (default: beside FILE). -j N (or --jobs N) exports N files at once\n"
    "(default 1). Every file is tried; at the end a summary names the files that failed.\n"
    "Exit status 0 when all were exported, 1 when any failed.\n";

namespace {

namespace fs = std::filesystem;

struct Batch {
  std::vector<std::string> files;
  std::string outputDir;
  unsigned jobs = 1;
  bool hasOutputDir = false;
  bool hasJobs = false;
};

bool ParseJobs(const std::string& text, unsigned* jobs) {
  if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), ::isdigit)) return false;
  *jobs = static_cast<unsigned>(std::stoul(text));
  return *jobs >= 1;
}

// Reads --output-dir and -j from args; other words are files, except the options of the
// single-file form (keepOptions), which set *single. False with a reason in *error.
bool ParseBatch(const std::vector<std::string>& args, const std::vector<std::string>& keepOptions,
                Batch* batch, bool* single, std::string* error) {
  *single = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const size_t eq = a.find('=');
    const std::string key = a.rfind("--", 0) == 0 && eq != std::string::npos ? a.substr(0, eq) : a;
    auto value = [&](std::string* out) {
      if (eq != std::string::npos && key != a) {
        *out = a.substr(eq + 1);
        return true;
      }
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string text;
    if (key == "--output-dir") {
      if (!value(&batch->outputDir) || batch->outputDir.empty()) {
        *error = "--output-dir needs a DIR";
        return false;
      }
      batch->hasOutputDir = true;
    } else if (key == "-j" || key == "--jobs" || (a.rfind("-j", 0) == 0 && a.size() > 2)) {
      const bool inWord = a.rfind("-j", 0) == 0 && a.size() > 2;
      if (inWord) text = a.substr(2);
      if ((!inWord && !value(&text)) || !ParseJobs(text, &batch->jobs)) {
        *error = a + " needs a number of jobs from 1 to 9999";
        return false;
      }
      batch->hasJobs = true;
    } else if (std::find(keepOptions.begin(), keepOptions.end(), key) != keepOptions.end()) {
      *single = true;
      if (key == a) ++i;  // its value
    } else if (a.size() > 1 && a[0] == '-') {
      *error = "unknown option '" + a + "'";
      return false;
    } else {
      batch->files.push_back(a);
    }
  }
  return true;
}

// Runs each file's command on up to jobs threads; returns the files whose command failed,
// in the order given.
std::vector<std::string> RunAll(const Batch& batch, int (*command)(const std::vector<std::string>&),
                                std::vector<std::vector<std::string>> argsOf) {
  std::vector<int> status(argsOf.size(), 1);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next++) < argsOf.size();) {
      try {
        status[i] = command(argsOf[i]);
      } catch (...) {
        Fail("batch", "'" + batch.files[i] + "': unexpected failure");
        status[i] = 1;
      }
    }
  };
  std::vector<std::thread> threads;
  const size_t extra = std::min<size_t>(batch.jobs, argsOf.size()) - 1;
  for (size_t t = 0; t < extra; ++t) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer jobs than asked: this thread does the rest
    }
  }
  work();
  for (std::thread& t : threads) t.join();
  std::vector<std::string> failed;
  for (size_t i = 0; i < status.size(); ++i)
    if (status[i] != 0) failed.push_back(batch.files[i]);
  return failed;
}

int Summary(const char* command, const char* done, const Batch& batch,
            const std::vector<std::string>& failed) {
  std::fflush(stdout);
  if (failed.empty()) {
    std::printf("quillmark %s: %zu file%s %s\n", command, batch.files.size(),
                batch.files.size() == 1 ? "" : "s", done);
    return 0;
  }
  std::string names;
  for (const std::string& f : failed) names += "\n  " + f;
  return Fail(command, std::to_string(failed.size()) + " of " + std::to_string(batch.files.size()) +
                           " files failed:" + names);
}

// The output of each file, DIR/<name of the file> (withExtension) or DIR/<stem>; false with a
// reason when two files would share one.
bool OutputPaths(const Batch& batch, bool withExtension, std::vector<fs::path>* out, std::string* error) {
  std::map<fs::path, std::string> owner;
  for (const std::string& file : batch.files) {
    const fs::path source(file);
    const fs::path name = withExtension ? source.filename() : source.stem();
    fs::path dir = batch.hasOutputDir ? fs::path(batch.outputDir) : source.parent_path();
    if (dir.empty()) dir = ".";
    const fs::path target = (dir / name).lexically_normal();
    if (name.empty() || name == "." || name == "..") {
      *error = "'" + file + "' does not name a file";
      return false;
    }
    auto [it, fresh] = owner.emplace(target, file);
    if (!fresh) {
      *error = "'" + it->second + "' and '" + file + "' would both be written to '" + target.string() + "'";
      return false;
    }
    out->push_back(target);
  }
  return true;
}

// Prints the help of both forms, or parses the options; false when the command is done then,
// with its exit status in *status.
bool Start(const char* command, const char* help, const char* manyHelp, const std::vector<std::string>& args,
           const std::vector<std::string>& keepOptions, Batch* batch, bool* single, int* status) {
  *status = 0;
  if (WantsHelp(args)) {
    std::fputs(help, stdout);
    std::fputs(manyHelp, stdout);
    return false;
  }
  std::string error;
  if (ParseBatch(args, keepOptions, batch, single, &error)) return true;
  *status = Fail(command, error + " (see quillmark " + command + " --help)");
  return false;
}

}  // namespace

int RunSortCommand(const std::vector<std::string>& args) {
  Batch batch;
  bool single = false;
  int status = 0;
  // --compress goes to every file's sort as it is; the sort checks it.
  std::vector<std::string> rest, compress;
  int level = 0;
  for (const std::string& a : args) (ParseCompress(a, &level) ? compress : rest).push_back(a);
  if (!Start("sort", kSortHelp, kSortManyHelp, rest, {}, &batch, &single, &status)) return status;
  std::string error;
  if (!batch.hasOutputDir && !batch.hasJobs) return RunSort(args);
  if (!batch.hasOutputDir) return Fail("sort", "several files need --output-dir DIR (see quillmark sort --help)");
  if (batch.files.empty()) return Fail("sort", "expected at least one FILE (see quillmark sort --help)");
  std::vector<fs::path> targets;
  if (!OutputPaths(batch, true, &targets, &error)) return Fail("sort", error);
  std::error_code ec;
  fs::create_directories(batch.outputDir, ec);
  if (!fs::is_directory(batch.outputDir, ec))
    return Fail("sort", "cannot create directory '" + batch.outputDir + "'");
  std::vector<std::vector<std::string>> argsOf;
  for (size_t i = 0; i < batch.files.size(); ++i) {
    argsOf.push_back(compress);
    argsOf.back().insert(argsOf.back().end(), {batch.files[i], targets[i].string()});
  }
  return Summary("sort", "sorted", batch, RunAll(batch, RunSort, argsOf));
}

int RunExportCommand(const std::vector<std::string>& args) {
  Batch batch;
  bool single = false;
  int status = 0;
  if (!Start("export", kExportHelp, kExportManyHelp, args, {"--group", "--output"}, &batch, &single, &status))
    return status;
  std::string error;
  const bool many = batch.hasOutputDir || batch.hasJobs || batch.files.size() > 1;
  if (!many || single) {
    if (many) return Fail("export", "--group and --output take one FILE (see quillmark export --help)");
    return RunExport(args);
  }
  if (batch.files.empty()) return Fail("export", "expected at least one FILE (see quillmark export --help)");
  std::vector<fs::path> targets;
  if (!OutputPaths(batch, false, &targets, &error)) return Fail("export", error);
  std::vector<std::vector<std::string>> argsOf;
  for (size_t i = 0; i < batch.files.size(); ++i)
    argsOf.push_back({batch.files[i], "--output", targets[i].string()});
  return Summary("export", "exported", batch, RunAll(batch, RunExport, argsOf));
}

}  // namespace qm::cli
