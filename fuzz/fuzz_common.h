// Shared by the fuzz targets: the input as a file on disk, removed afterwards.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qm::fuzz {

class InputFile {
 public:
  InputFile(const uint8_t* data, size_t size, const char* suffix = "") {
    char name[] = "/tmp/qm-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    if (fd >= 0) {
      for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      close(fd);
    }
    extra_ = path_ + suffix;
  }
  ~InputFile() {
    unlink(path_.c_str());
    if (extra_ != path_) unlink(extra_.c_str());
  }
  const std::string& Path() const { return path_; }
  const std::string& Extra() const { return extra_; }

 private:
  std::string path_, extra_;
};

}  // namespace qm::fuzz
