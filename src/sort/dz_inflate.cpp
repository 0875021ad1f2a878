// Inflating ##DZ payloads with zlib and reversing their byte transposition.
#include "sort/dz_inflate.h"

#include <zlib.h>

#include <cstring>
#include <limits>
#include <new>

#include "block/format.h"
#include "platform/platform.h"

namespace qm {
namespace {

// zlib counts input and output in 32-bit units; longer fragments are not supported.
constexpr uint64_t kMaxZlibLength = std::numeric_limits<uint32_t>::max();

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
// is complete, its check value matches, and it produced exactly n bytes.
bool InflateExactly(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t n) {
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
  // A stream that ends early would leave bytes in the buffer that were never in the file.
  return rc == Z_STREAM_END && zs.avail_out == 0;
}

}  // namespace

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
  if (in.dataLength > kMaxZlibLength || n > kMaxZlibLength) return nullptr;
  // dataLength fits 32 bits here, so the product cannot overflow.
  if (n > kMaxInflateRatio * in.dataLength + kInflateSlack) return nullptr;
  const bool transposed = in.zipType == fmt::kZipTransposeDeflate;
  // Zero columns leave the number of rows undefined; such a block cannot be read back.
  if (transposed && in.zipParameter == 0) return nullptr;

  const uint32_t length = static_cast<uint32_t>(n);
  if (!Grow(buffers.inflate, n)) return nullptr;
  if (!InflateExactly(in.payload, static_cast<uint32_t>(in.dataLength), buffers.inflate.data(),
                      length)) {
    return nullptr;
  }

  const uint8_t* source = buffers.inflate.data();
  if (transposed) {
    if (!Grow(buffers.untranspose, n)) return nullptr;
    Untranspose(buffers.inflate.data(), length, buffers.untranspose.data(), in.zipParameter);
    source = buffers.untranspose.data();
  }

  std::unique_ptr<uint8_t[]> result(new (std::nothrow) uint8_t[length]);
  if (!result) return nullptr;
  if (length != 0) std::memcpy(result.get(), source, length);
  return result;
}

}  // namespace qm
