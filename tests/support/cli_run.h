// Runs the built quillmark command as a user would and reads what it printed and wrote.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm::test {

struct CliResult {
  int status = -1;  // exit status; 128 + signal when the program was killed
  std::string out, err;
};

// Runs quillmark with args, capturing standard output and error (line ends as on Linux).
CliResult RunCli(const std::vector<std::string>& args);

std::string ReadAll(const std::string& path);

// CSV as rows of cells; the files of the tests hold no quoted cells.
using Table = std::vector<std::vector<std::string>>;
Table ParseCsv(const std::string& text);

// Whether text holds part; the text is shown either way.
::testing::AssertionResult Contains(const std::string& text, const std::string& part);

}  // namespace qm::test
