// Fuzz target: DZ inflation of both zip types with arbitrary lengths and payloads.
#include <cstring>

#include "stream/dz_inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  // First bytes choose the parameters; the rest is the payload.
  const uint8_t zipType = data[0] & 1;
  uint32_t columns;
  std::memcpy(&columns, data + 1, 4);
  columns %= 4096;
  uint32_t length;
  std::memcpy(&length, data + 5, 4);
  length %= 1 << 22;
  const uint8_t* payload = data + 9;
  const uint64_t payloadSize = size - 9;
  static qm::InflateBuffers buffers;
  qm::DZInput in{payload, payloadSize, payloadSize, zipType, columns};
  qm::InflateFragment(in, length, buffers);
  return 0;
}
