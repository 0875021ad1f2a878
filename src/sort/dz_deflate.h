// Compressing one block of record data into a ##DZ block: byte transposition, then deflate.
#pragma once

#include <cstdint>
#include <vector>

struct libdeflate_compressor;

namespace qm {

// Deflate levels of a compressed copy: 1 (fastest) to 12 (smallest). Builds without
// libdeflate deflate with zlib, whose levels end at 9: 10 to 12 are zlib's 9 there.
constexpr int kMinCompressLevel = 1;
constexpr int kMaxCompressLevel = 12;
constexpr int kDefaultCompressLevel = 6;

// The zip type for a group's blocks: records of two bytes or more are transposed first, so
// that each byte position of the records (the slowly changing high bytes of a value, say)
// forms one run of similar bytes; shorter records, and records too long for a block (they
// would not fill one row), are deflated as they stand.
uint8_t ZipTypeFor(uint64_t recordLength, uint64_t blockLimit);

// Stores rows = length / columns records of `columns` bytes column by column (byte 0 of every
// row, then byte 1 of every row, ...) and the length mod columns tail unchanged: the layout a
// ##DZ block of zip type 1 holds before deflating. in and out must not overlap; columns > 0.
void Transpose(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t columns);

// Makes complete ##DZ blocks. One object per thread: it keeps its compressor and a work buffer
// between blocks. Movable only through its owner (not copyable).
class BlockDeflater {
 public:
  explicit BlockDeflater(int level);
  BlockDeflater(const BlockDeflater&) = delete;
  BlockDeflater& operator=(const BlockDeflater&) = delete;
  ~BlockDeflater();

  // Writes into out the whole ##DZ block (header, record, zlib stream) holding data[0, n)
  // of a ##DT block: transposed with `columns` columns first when zipType is 1. The block's
  // length is out's size. False when memory runs out or the deflater fails. Throws nothing.
  bool Encode(const uint8_t* data, uint32_t n, uint8_t zipType, uint32_t columns,
              std::vector<uint8_t>* out);

 private:
  int level_;
  libdeflate_compressor* compressor_ = nullptr;
  std::vector<uint8_t> transposed_;
};

}  // namespace qm
