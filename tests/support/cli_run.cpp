// Runs the built quillmark command through the system's shell.
#include "cli_run.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "temp_dir.h"

namespace qm::test {
namespace {

#ifdef _WIN32
// cmd.exe: double quotes (the test arguments hold none).
std::string Quote(const std::string& s) { return "\"" + s + "\""; }
// Text-mode output ends lines with CR LF.
std::string Unix(const std::string& s) {
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
std::string Unix(const std::string& s) { return s; }
#endif

}  // namespace

CliResult RunCli(const std::vector<std::string>& args) {
  static TempDir capture;
  std::string command = Quote(QM_CLI_PATH);
  for (const std::string& a : args) command += " " + Quote(a);
  command += " >" + Quote(capture.Path("out")) + " 2>" + Quote(capture.Path("err"));
  CliResult r;
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

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

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

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  return (text.find(part) != std::string::npos ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << "\"" << part << "\" in:\n" << text;
}

}  // namespace qm::test
