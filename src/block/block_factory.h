// The block factory: loads the block found at a file position as an object of its own type.
#pragma once

#include <cstdint>
#include <memory>

#include "block/block.h"

class mDirectFile;

// Reads the header at position and loads the block as an object of the class its type code
// names. Null for position 0, an unreadable or unmarked header, an unknown type (HD
// included), a length that is inconsistent or runs past the end of the file, or a failed read.
std::unique_ptr<m4Block> LoadBlock(mDirectFile* file, uint64_t position);

// LoadBlock at block's link i; with a non-zero expectedType, a block of another type gives null.
std::unique_ptr<m4Block> LoadLinked(mDirectFile* file, const m4Block& block, int32_t i,
                                    uint16_t expectedType);

// Typed forms: null unless the block at the position is a T.
template <class T>
std::unique_ptr<T> LoadAs(mDirectFile* file, uint64_t position, uint16_t type) {
  std::unique_ptr<m4Block> b = LoadBlock(file, position);
  if (!b || b->GetType() != type) return nullptr;
  return std::unique_ptr<T>(static_cast<T*>(b.release()));
}

// Reads the 24 header bytes at position: true when position is non-zero, the read succeeds
// and they begin with "##".
bool ReadHeaderAt(mDirectFile* file, uint64_t position, uint8_t* header);
