// Inflating ##DZ payloads (libdeflate, or zlib where it is missing) and reversing their byte
// transposition.
#include "stream/dz_inflate.h"

#if QM_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include <cstring>
#include <limits>
#include <new>

#include "block/format.h"
#include "platform/platform.h"

namespace qm {
namespace {

// Input and output are counted in 32-bit units (zlib's limit, kept for both inflaters so that
// they refuse the same fragments); longer fragments are not supported.
constexpr uint64_t kMaxStreamLength = std::numeric_limits<uint32_t>::max();

// The row loop is handed to the workers in chunks of at least this many rows, so that the cost
// of one loop iteration stays small next to the copying it does. Blocks with fewer rows than two
// chunks are reversed on the calling thread.
constexpr uint64_t kMinRowsPerChunk = 4096;

// Grows buf to at least n bytes (new bytes zero); never shrinks it. False when memory runs out.
bool Grow(std::vector<uint8_t>& buf, uint64_t n) {
  if (buf.size() >= n) return true;
  try {
    buf.resize(static_cast<size_t>(n));
  } catch (...) {
    return false;
  }
  return true;
}

// Gathers rows [first, last) of a rows x columns matrix stored column by column in `in`.
void CopyRows(const uint8_t* in, uint8_t* out, size_t rows, size_t columns, size_t first,
              size_t last) {
  for (size_t r = first; r < last; ++r) {
    uint8_t* dst = out + r * columns;
    const uint8_t* src = in + r;
    for (size_t c = 0; c < columns; ++c) dst[c] = src[c * rows];
  }
}

// Inflates exactly n bytes of the zlib stream in[0, inLength) into out. True only when the stream
// is complete, its check value matches, and it produced exactly n bytes: a stream that ends early
// would leave bytes in the buffer that were never in the file. Bytes behind the end of the stream
// are ignored.
#if QM_HAVE_LIBDEFLATE
// libdeflate decodes the reserved length codes 286 and 287 and distance codes 30 and 31, and
// accepts a block that declares more than 286 length or 30 distance codes; zlib refuses these.
// No deflate writer produces them.
bool InflateExactly(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t n,
                    InflateBuffers& buffers) {
  if (!buffers.decompressor) buffers.decompressor.reset(libdeflate_alloc_decompressor());
  if (!buffers.decompressor) return false;
  uint8_t none = 0;  // somewhere to point when there is no room to write
  size_t produced = 0;
  const libdeflate_result rc = libdeflate_zlib_decompress(
      buffers.decompressor.get(), in, inLength, n != 0 ? out : &none, n, &produced);
  return rc == LIBDEFLATE_SUCCESS && produced == n;
}
#else
bool InflateExactly(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t n,
                    InflateBuffers&) {
  // zlib refuses a null output pointer even when there is no room to write.
  uint8_t none = 0;
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = inLength;
  zs.next_out = n != 0 ? out : &none;
  zs.avail_out = n;
  if (inflateInit(&zs) != Z_OK) return false;
  const int rc = inflate(&zs, Z_FINISH);
  inflateEnd(&zs);
  return rc == Z_STREAM_END && zs.avail_out == 0;
}
#endif

}  // namespace

void DecompressorDeleter::operator()(libdeflate_decompressor* decompressor) const noexcept {
#if QM_HAVE_LIBDEFLATE
  libdeflate_free_decompressor(decompressor);
#else
  (void)decompressor;  // never made without libdeflate
#endif
}

void Untranspose(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t columns) {
  const size_t rows = columns != 0 ? length / columns : 0;
  const size_t body = rows * columns;
  const uint64_t chunks = rows / kMinRowsPerChunk;
  if (chunks < 2) {
    CopyRows(in, out, rows, columns, 0, rows);
  } else {
    // Chunk k covers rows [k * rows / chunks, (k + 1) * rows / chunks): every row exactly once.
    // Chunks write disjoint rows of out and only read in.
    const auto chunk = [&](uint32_t k) {
      const size_t first = static_cast<size_t>(uint64_t{k} * rows / chunks);
      const size_t last = static_cast<size_t>((uint64_t{k} + 1) * rows / chunks);
      CopyRows(in, out, rows, columns, first, last);
    };
    try {
      os::ParallelFor(0, static_cast<uint32_t>(chunks), chunk);
    } catch (...) {
      // The workers could not be started. ParallelFor leaves no worker running when it returns
      // or throws, and a row copied twice holds the same bytes, so copying every row here is safe.
      CopyRows(in, out, rows, columns, 0, rows);
    }
  }
  // The tail that does not fill a row was stored as it is; copied after every row is done.
  if (length > body) std::memcpy(out + body, in + body, length - body);
}

std::unique_ptr<uint8_t[]> InflateFragment(const DZInput& in, uint64_t n, InflateBuffers& buffers) {
  if (in.payloadSize < in.dataLength) return nullptr;
  if (in.dataLength > kMaxStreamLength || n > kMaxStreamLength) return nullptr;
  // dataLength fits 32 bits here, so the product cannot overflow.
  if (n > kMaxInflateRatio * in.dataLength + kInflateSlack) return nullptr;
  const bool transposed = in.zipType == fmt::kZipTransposeDeflate;
  // Zero columns leave the number of rows undefined; such a block cannot be read back.
  if (transposed && in.zipParameter == 0) return nullptr;

  const uint32_t length = static_cast<uint32_t>(n);
  const uint32_t streamLength = static_cast<uint32_t>(in.dataLength);
  std::unique_ptr<uint8_t[]> result(new (std::nothrow) uint8_t[length]);
  if (!result) return nullptr;
  if (!transposed) {
    // Straight into the result, saving a copy; a failed stream's partial output is dropped with
    // the array.
    if (!InflateExactly(in.payload, streamLength, result.get(), length, buffers)) return nullptr;
    return result;
  }

  if (!Grow(buffers.inflate, n) || !Grow(buffers.untranspose, n)) return nullptr;
  if (!InflateExactly(in.payload, streamLength, buffers.inflate.data(), length, buffers)) {
    return nullptr;
  }
  Untranspose(buffers.inflate.data(), length, buffers.untranspose.data(), in.zipParameter);
  if (length != 0) std::memcpy(result.get(), buffers.untranspose.data(), length);
  return result;
}

}  // namespace qm
