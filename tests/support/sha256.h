// SHA-256 for tests: digests of record sequences compared with the testdata sidecars.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::test {

// Incremental SHA-256 (FIPS 180-4). Update any number of times, then Final once; a finished
// object must be Reset before it is used again.
class Sha256 {
 public:
  Sha256() { Reset(); }
  void Reset();
  void Update(const void* data, size_t n);
  std::array<uint8_t, 32> Final();
  // Final as 64 lower-case hex digits.
  std::string FinalHex();

 private:
  void Compress(const uint8_t* block);

  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t totalBytes_ = 0;
};

std::string Sha256Hex(const uint8_t* data, size_t n);
inline std::string Sha256Hex(const std::vector<uint8_t>& bytes) {
  return Sha256Hex(bytes.data(), bytes.size());
}

}  // namespace qm::test
