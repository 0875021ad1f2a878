// quillmark sort: a sorted copy of a file, written beside the destination and renamed into place.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "commands.h"
#include "mdf_reader.h"
#include "platform/platform.h"
#include "sort/dz_deflate.h"
#include "sort/sort_driver.h"

namespace qm::cli {

const char* const kSortHelp =
    "usage: quillmark sort [--compress[=LEVEL]] SOURCE DESTINATION\n"
    "\n"
    "Writes a sorted copy of the MDF 4 file SOURCE to DESTINATION: one data group per channel\n"
    "group, with the header, the file history and a \"Sorted\" history entry. Prints a line per\n"
    "channel group while it works. SOURCE is only read (it may lie on a read-only medium, but\n"
    "no program may be writing it). The copy is written to DESTINATION.part beside it and\n"
    "renamed to DESTINATION when it is complete, so a failed sort leaves an existing\n"
    "DESTINATION as it was. Variable-length signal data is not copied (a note says so).\n"
    "Exit status 0 on success, 1 with a one-line reason on failure.\n"
    "\n"
    "--compress[=LEVEL] writes every channel group's records in compressed blocks (##DZ, deflate\n"
    "at LEVEL 1 to 12, default 6; records of two bytes or more are transposed byte by byte\n"
    "first), blocks of at most 4 MiB, compressed on all cores while the source is read. The copy\n"
    "then says version 4.10, the first that knows compressed blocks; readers of 4.00 only cannot\n"
    "read it. The same records, channels and texts as without it; 'quillmark info' shows the\n"
    "compression of each data group.\n";

bool ParseCompress(const std::string& a, int* level) {
  const std::string option = "--compress";
  if (a.rfind(option, 0) != 0) return false;
  if (a.size() == option.size()) {
    *level = kDefaultCompressLevel;
    return true;
  }
  if (a[option.size()] != '=') return false;
  const std::string text = a.substr(option.size() + 1);
  *level = 0;
  if (text.empty() || text.size() > 2 || !std::all_of(text.begin(), text.end(), ::isdigit)) return true;
  const int n = std::stoi(text);
  if (n >= kMinCompressLevel && n <= kMaxCompressLevel) *level = n;
  return true;
}

namespace {

// Whether the source holds data groups without record IDs (already sorted), which a sort cannot
// copy: "" when none, else the reason.
std::string AlreadySorted(const std::string& source, const FileInfo& info) {
  size_t sorted = 0, unsorted = 0;
  for (const DataGroupInfo& dg : info.dataGroups) {
    if (dg.groups.empty()) continue;
    ++(dg.recordIdSize == 0 ? sorted : unsorted);
  }
  if (sorted == 0) return "";
  if (unsorted == 0) return "'" + source + "' is already sorted (every data group holds one channel group without record IDs)";
  return "'" + source + "' mixes sorted data groups (without record IDs) with unsorted ones and cannot be sorted";
}

// The reasons the sort itself cannot tell, for SOURCE and DESTINATION of the command line:
// a missing, foreign or already sorted source; a destination that is the source, a directory,
// in a missing directory or being written by another program. "" when the sort may start.
std::string CheckSortPaths(const std::string& source, const std::string& destination) {
  namespace fs = std::filesystem;
  {
    MdfReader probe;
    std::string error;
    if (!probe.Open(source, &error)) return error;
    const std::string sorted = AlreadySorted(source, probe.Info());
    if (!sorted.empty()) return sorted;
  }
  std::error_code ec;
  if (fs::exists(destination, ec) && fs::equivalent(source, destination, ec))
    return "DESTINATION is the same file as SOURCE";
  if (fs::is_directory(destination, ec)) return "'" + destination + "' is a directory";
  const fs::path parent = fs::path(destination).parent_path();
  if (!parent.empty() && !fs::is_directory(parent, ec))
    return "directory '" + parent.string() + "' does not exist";
  const std::u16string to = os::NarrowToWide(destination.c_str());
  if (os::FileExists(to.c_str())) {
    // A destination that a program is writing is not replaced under it.
    mDirectFile held;
    if (!held.OpenReadOnlyLocked(to.c_str()))
      return "'" + destination + "' is in use (another program is writing it)";
  }
  return "";
}

// Sorts source into a name of its own beside the destination and renames it into place
// when it is complete: a failed sort leaves no half-written file under the destination's
// name. The command's exit status.
int SortAndReplace(const std::string& source, const std::string& destination, int level) {
  const std::u16string from = os::NarrowToWide(source.c_str());
  const std::u16string to = os::NarrowToWide(destination.c_str());
  const std::string part = destination + ".part";
  const std::u16string partName = os::NarrowToWide(part.c_str());
  std::fflush(stdout);
  SortFailure failure = SortFailure::kNone;
  const bool ok = SortFile(from.c_str(), partName.c_str(), {.compressLevel = level, .failure = &failure});
  std::fflush(stdout);
  if (ok && os::RenameFile(partName.c_str(), to.c_str())) return 0;
  if (failure != SortFailure::kDestination) os::RemoveFile(partName.c_str());
  if (ok) return Fail("sort", "cannot replace '" + destination + "' with the sorted copy");
  switch (failure) {
    case SortFailure::kSource:
      return Fail("sort", "cannot open '" + source + "' for reading (another program may be writing it)");
    case SortFailure::kDestination:
      return Fail("sort", "cannot create '" + part + "' beside '" + destination + "'");
    default:
      return Fail("sort", "'" + source + "' could not be copied completely; '" + destination +
                              "' was not written");
  }
}

}  // namespace

int RunSort(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kSortHelp, stdout);
    return 0;
  }
  int level = 0;
  std::vector<std::string> names;
  for (const std::string& a : args) {
    if (!ParseCompress(a, &level)) {
      names.push_back(a);
    } else if (level == 0) {
      return Fail("sort", "'" + a + "': LEVEL is a number from 1 to 12 (see quillmark sort --help)");
    }
  }
  if (names.size() != 2) return Fail("sort", "expected SOURCE and DESTINATION (see quillmark sort --help)");
  const std::string problem = CheckSortPaths(names[0], names[1]);
  if (!problem.empty()) return Fail("sort", problem);
  return SortAndReplace(names[0], names[1], level);
}

}  // namespace qm::cli
