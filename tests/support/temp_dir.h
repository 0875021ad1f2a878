// TempDir: a private directory under the system temp dir, removed with everything in it.
#pragma once

#include <string>

namespace qm::test {

class TempDir {
 public:
  // Creates a fresh, uniquely named directory; Ok() tells whether that worked.
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool Ok() const { return !root_.empty(); }
  const std::string& Root() const { return root_; }
  // The path of name inside the directory (narrow, and as UTF-16 for the library's file API).
  std::string Path(const std::string& name) const;
  std::u16string WPath(const std::string& name) const;

 private:
  std::string root_;
};

}  // namespace qm::test
