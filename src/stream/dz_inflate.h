// Inflating the payload of a ##DZ block into a fragment's uncompressed bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// The decompressor of libdeflate, when the library is built with it (QM_HAVE_LIBDEFLATE).
struct libdeflate_decompressor;

namespace qm {

// Inputs taken from a loaded ##DZ block.
struct DZInput {
  const uint8_t* payload;  // stored compressed bytes
  uint64_t payloadSize;    // number of stored bytes (block length - 48)
  uint64_t dataLength;     // dz_data_length
  uint8_t zipType;        // dz_zip_type: 1 = transposed then deflated; anything else = deflate only
  uint32_t zipParameter;  // dz_zip_parameter: columns N for zip type 1
};

// Frees a decompressor made by InflateFragment.
struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* decompressor) const noexcept;
};

// Work buffers that live with one reading stream; grown, never shrunk. The decompressor is
// made on the first inflation and reused for every later one; builds that inflate with zlib
// never make it. Movable, not copyable.
struct InflateBuffers {
  std::vector<uint8_t> inflate;
  std::vector<uint8_t> untranspose;
  std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor;
};

// Deflate cannot expand its input by much more than 1032:1 (a 258-byte match costs at least two
// bits, plus block headers), so a fragment stated larger than this for its compressed size can
// only come from a damaged or hostile file. It is refused before anything is allocated.
constexpr uint64_t kMaxInflateRatio = 1032;
constexpr uint64_t kInflateSlack = 1024;

// Produces exactly n uncompressed bytes into a new array, or returns null on failure: a payload
// shorter than dataLength, dataLength or n above 4 GiB - 1, n beyond what deflate can produce from
// dataLength bytes, a corrupt or truncated stream, a stream that needs more than n bytes or ends
// before n bytes, zip type 1 with zero columns, or an allocation failure. Only bytes that came out
// of the stream are ever returned. Throws nothing. The caller owns the returned array. Deflate-only
// fragments are inflated straight into it; for transposed ones both buffers are grown to n bytes
// when smaller and kept for the next call.
std::unique_ptr<uint8_t[]> InflateFragment(const DZInput& in, uint64_t n, InflateBuffers& buffers);

// Reverses the byte transposition: M = length / columns rows of columns bytes stored column by
// column (byte 0 of every row, then byte 1 of every row, ...), then the length mod columns tail
// unchanged. out receives the rows in record order; in and out must not overlap. Large blocks are
// reversed on several threads. columns 0 has no rows: all bytes are copied unchanged.
void Untranspose(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t columns);

}  // namespace qm
