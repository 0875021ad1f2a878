// quillmark: the command-line tool (demo, sort, info, export, repair); dispatch, help and the last-resort error guard.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "commands.h"
#include "quillmark/quillmark.h"

namespace qm::cli {

int Fail(const char* command, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "quillmark %s: %s\n", command, message.c_str());
  return 1;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

}  // namespace qm::cli

namespace {

const char* const kUsage =
    "usage: quillmark COMMAND [ARGUMENTS]\n"
    "\n"
    "Writes, sorts and inspects ASAM MDF 4 measurement files.\n"
    "\n"
    "commands:\n"
    "  demo [DIR]                     write a demo measurement and its sorted copy\n"
    "  sort SOURCE DESTINATION        write a sorted copy of a file\n"
    "  sort --output-dir DIR [-j N] FILE...\n"
    "                                 sorted copies of several files\n"
    "  info FILE                      show the structure of a file\n"
    "  export FILE [--group NAME] [--output PATH]\n"
    "                                 write channel values as CSV\n"
    "  export [--output-dir DIR] [-j N] FILE FILE...\n"
    "                                 CSV of several files, a directory each\n"
    "  repair FILE                    roll back a data call that was interrupted\n"
    "\n"
    "quillmark COMMAND --help shows the details of a command; quillmark --version its version.\n";

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>&);
};

const Command kCommands[] = {
    {"demo", qm::cli::RunDemo},
    {"sort", qm::cli::RunSortCommand},
    {"info", qm::cli::RunInfo},
    {"export", qm::cli::RunExportCommand},
    {"repair", qm::cli::RunRepair},
};

int Dispatch(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (name == "--version" || name == "-V") {
    std::printf("quillmark %s\n", QUILLMARK_VERSION_STRING);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (name == c.name) return c.run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "quillmark: unknown command '%s' (see quillmark --help)\n", name.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing may end the tool with a trace: whatever escapes a command becomes one line.
  try {
    return Dispatch(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "quillmark: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillmark: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quillmark: unexpected failure\n");
  }
  return 1;
}
