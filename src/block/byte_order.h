// Little-endian load/store helpers: the only place that knows the file's byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "Quillmark stores records as host structs and needs a little-endian host");

namespace qm {

inline void StoreLE16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void StoreLE32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void StoreLE64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline void StoreLEDouble(uint8_t* p, double v) { std::memcpy(p, &v, sizeof v); }

inline uint16_t LoadLE16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, sizeof v); return v; }
inline uint32_t LoadLE32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, sizeof v); return v; }
inline uint64_t LoadLE64(const uint8_t* p) { uint64_t v; std::memcpy(&v, p, sizeof v); return v; }
inline double LoadLEDouble(const uint8_t* p) { double v; std::memcpy(&v, p, sizeof v); return v; }

}  // namespace qm
