// TempDir: a private directory under the system temp dir, removed with everything in it.
#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace qm::test {

TempDir::TempDir() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / "qm_test_XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) root_ = buffer.data();
}

TempDir::~TempDir() {
  if (root_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string TempDir::Path(const std::string& name) const { return root_ + "/" + name; }

std::u16string TempDir::WPath(const std::string& name) const {
  return std::filesystem::path(Path(name)).u16string();
}

}  // namespace qm::test
