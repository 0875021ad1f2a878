// The subcommands of the quillmark command-line tool; each returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace qm::cli {

// args are the words after the subcommand name. Errors go to standard error as one line
// "quillmark <command>: <reason>"; results to standard output.
int RunDemo(const std::vector<std::string>& args);
int RunSort(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);
int RunExport(const std::vector<std::string>& args);
int RunRepair(const std::vector<std::string>& args);
// sort and export as typed: several files (with --output-dir DIR, -j N) run the single-file
// command once per file and end with a summary; otherwise the single-file command itself.
int RunSortCommand(const std::vector<std::string>& args);
// Reads --compress (the default level) or --compress=LEVEL; false when a is not that option.
// *level is 0 for a level that is not a number from 1 to 12.
bool ParseCompress(const std::string& a, int* level);
int RunExportCommand(const std::vector<std::string>& args);

extern const char* const kDemoHelp;
extern const char* const kSortHelp;
extern const char* const kInfoHelp;
extern const char* const kExportHelp;
extern const char* const kRepairHelp;

// Prints "quillmark <command>: <message>" on standard error and returns 1.
int Fail(const char* command, const std::string& message);
// True when args is a request for help (-h or --help anywhere).
bool WantsHelp(const std::vector<std::string>& args);

}  // namespace qm::cli
