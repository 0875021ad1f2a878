// TempDir: a private directory under the system temp dir, removed with everything in it.
#include "temp_dir.h"

#include <filesystem>
#include <random>
#include <system_error>

namespace qm::test {

TempDir::TempDir() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  // Random names until one is created afresh (create_directory is false for an existing one).
  std::random_device random;
  for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
    const std::filesystem::path candidate = base / ("qm_test_" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate, ec)) root_ = candidate.string();
  }
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
