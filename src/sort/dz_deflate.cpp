// Deflating blocks of record data into ##DZ blocks (libdeflate, or zlib where it is missing),
// after transposing their bytes.
#include "sort/dz_deflate.h"

#if QM_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include <algorithm>
#include <cstring>

#include "block/byte_order.h"
#include "block/format.h"
#include "block/records.h"

namespace qm {

namespace {

// Columns are handled this many at a time, so that the rows of one pass over the input
// write to no more output streams than the cache keeps open.
constexpr uint32_t kColumnTile = 64;
constexpr size_t kDZHeadSize = fmt::kBlockHeaderSize + sizeof(m4DZRecord);

}  // namespace

uint8_t ZipTypeFor(uint64_t recordLength, uint64_t blockLimit) {
  return recordLength >= 2 && recordLength <= blockLimit ? fmt::kZipTransposeDeflate
                                                         : fmt::kZipDeflate;
}

void Transpose(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t columns) {
  const size_t rows = length / columns;
  const size_t body = rows * columns;
  for (uint32_t first = 0; first < columns; first += kColumnTile) {
    const uint32_t last = std::min(columns, first + kColumnTile);
    for (size_t r = 0; r < rows; ++r) {
      const uint8_t* src = in + r * columns;
      for (uint32_t c = first; c < last; ++c) out[c * rows + r] = src[c];
    }
  }
  if (length > body) std::memcpy(out + body, in + body, length - body);
}

BlockDeflater::BlockDeflater(int level)
    : level_(std::clamp(level, kMinCompressLevel, kMaxCompressLevel)) {}

BlockDeflater::~BlockDeflater() {
#if QM_HAVE_LIBDEFLATE
  if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
#endif
}

bool BlockDeflater::Encode(const uint8_t* data, uint32_t n, uint8_t zipType, uint32_t columns,
                           std::vector<uint8_t>* out) {
  try {
    const bool transposed = zipType == fmt::kZipTransposeDeflate && columns != 0;
    const uint8_t* input = data;
    if (transposed) {
      transposed_.resize(n);
      Transpose(data, n, transposed_.data(), columns);
      input = transposed_.data();
    }
#if QM_HAVE_LIBDEFLATE
    if (compressor_ == nullptr) compressor_ = libdeflate_alloc_compressor(level_);
    if (compressor_ == nullptr) return false;
    const size_t bound = libdeflate_zlib_compress_bound(compressor_, n);
    out->resize(kDZHeadSize + bound);
    const size_t stored =
        libdeflate_zlib_compress(compressor_, input, n, out->data() + kDZHeadSize, bound);
    if (stored == 0) return false;
#else
    // zlib's levels end at 9, which stands for 10 to 12 as well.
    uLongf stored = compressBound(n);
    out->resize(kDZHeadSize + stored);
    if (compress2(out->data() + kDZHeadSize, &stored, input, n, std::min(level_, 9)) != Z_OK)
      return false;
#endif
    out->resize(kDZHeadSize + stored);

    uint8_t* p = out->data();
    StoreLE16(p + fmt::kHeaderIdOffset, fmt::kHashMark);
    StoreLE16(p + fmt::kHeaderIdOffset + 2, fmt::kDZ);
    StoreLE32(p + fmt::kHeaderIdOffset + 4, 0);
    StoreLE64(p + fmt::kHeaderLengthOffset, out->size());
    StoreLE64(p + fmt::kHeaderLinkCountOffset, 0);
    m4DZRecord record{};
    record.dz_org_block_type[0] = 'D';
    record.dz_org_block_type[1] = 'T';
    record.dz_zip_type = transposed ? fmt::kZipTransposeDeflate : fmt::kZipDeflate;
    record.dz_zip_parameter = transposed ? columns : 0;
    record.dz_org_data_length = n;
    record.dz_data_length = stored;
    std::memcpy(p + fmt::kBlockHeaderSize, &record, sizeof record);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qm
