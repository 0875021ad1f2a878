// quillmark sort: a sorted copy of a file through MDF4_Sort, with its progress lines.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "commands.h"
#include "mdf_reader.h"
#include "quillmark/quillmark.h"

namespace qm::cli {

const char* const kSortHelp =
    "usage: quillmark sort SOURCE DESTINATION\n"
    "\n"
    "Writes a sorted copy of the MDF 4 file SOURCE to DESTINATION: one data group per channel\n"
    "group, with the header, the file history and a \"Sorted\" history entry. Prints a line per\n"
    "channel group while it works. DESTINATION is replaced when it exists; SOURCE is never\n"
    "changed. Exit status 0 on success, 1 with a one-line reason on failure.\n";

int RunSort(const std::vector<std::string>& args) {
  namespace fs = std::filesystem;
  if (WantsHelp(args)) {
    std::fputs(kSortHelp, stdout);
    return 0;
  }
  if (args.size() != 2) return Fail("sort", "expected SOURCE and DESTINATION (see quillmark sort --help)");
  const std::string& source = args[0];
  const std::string& destination = args[1];
  {
    // The reasons the sort itself cannot tell: a missing or foreign source.
    MdfReader probe;
    std::string error;
    if (!probe.Open(source, &error)) return Fail("sort", error);
  }
  std::error_code ec;
  if (fs::exists(destination, ec) && fs::equivalent(source, destination, ec))
    return Fail("sort", "DESTINATION is the same file as SOURCE");
  if (fs::is_directory(destination, ec)) return Fail("sort", "'" + destination + "' is a directory");
  const fs::path parent = fs::path(destination).parent_path();
  if (!parent.empty() && !fs::is_directory(parent, ec))
    return Fail("sort", "directory '" + parent.string() + "' does not exist");

  std::fflush(stdout);
  const bool ok = MDF4_Sort(source.c_str(), destination.c_str());
  std::fflush(stdout);
  if (ok) return 0;
  if (!fs::exists(destination, ec)) return Fail("sort", "cannot create '" + destination + "'");
  return Fail("sort", "'" + source + "' could not be copied completely; '" + destination +
                          "' is incomplete");
}

}  // namespace qm::cli
