// What a power loss can leave of the last record before a lost sector: the test shared by the
// roll-back on reopen and the readers of files that were not rolled back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm {

// Disks write whole sectors: a write a power loss cut short reached the disk in some of its
// sectors and not in others, and a sector that never arrived reads as zeros.
constexpr uint64_t kDiskSector = 512;

// Where the bytes of a data stream lie in the file, block by block (empty blocks left out).
// Only plain blocks have file positions: data with a compressed block has none (Plain false).
class DataPlacement {
 public:
  // The next block's data: its file position and length.
  void Add(uint64_t position, uint64_t length);
  void MarkCompressed() { plain_ = false; }
  bool Plain() const { return plain_; }
  // The file position of data offset `offset`; the end of the data maps behind its last byte.
  uint64_t FilePosition(uint64_t offset) const;
  // Whether the n bytes at data offset start lie in one block.
  bool InOneBlock(uint64_t start, uint64_t n) const;
  // The bytes from data offset `offset` to the end of its block (0 at or behind the end).
  uint64_t RunFrom(uint64_t offset) const;
  uint64_t Total() const { return total_; }

 private:
  struct Piece {
    uint64_t start, position, length;
  };
  // The block holding data offset `offset` (< the total length).
  const Piece& PieceOf(uint64_t offset) const;
  std::vector<Piece> pieces_;
  mutable size_t last_ = 0;  // the block found last: readers ask about records in order
  uint64_t total_ = 0;
  bool plain_ = true;
};

// Whether the record of n bytes (its ID included) at data offset `start` runs from an earlier
// disk sector into the one its end lies in and holds nothing but zeros there; byteAt(k) gives
// its byte k. When the record ID behind such a record did not reach the disk, that sector never
// arrived, and the record lost its tail with it: its start reached the disk, its end did not.
template <class ByteAt>
bool ZerosInClosingSector(const DataPlacement& placement, uint64_t start, uint64_t n, ByteAt byteAt) {
  if (!placement.Plain() || n == 0) return false;
  const uint64_t sector = placement.FilePosition(start + n) & ~(kDiskSector - 1);
  const uint64_t first = placement.FilePosition(start);
  if (first >= sector) return false;
  // The record's bytes in that sector, from its end backwards: within one block they lie in
  // order, so the scan ends at the first byte before the sector.
  const bool oneBlock = placement.InOneBlock(start, n);
  bool inSector = false;
  for (uint64_t k = n; k-- > 0;) {
    const uint64_t position = oneBlock ? first + k : placement.FilePosition(start + k);
    if (position >= sector && position < sector + kDiskSector) {
      if (byteAt(k) != 0) return false;
      inSector = true;
    } else if (oneBlock && position < sector) {
      break;
    }
  }
  return inSector;
}

// Whether the record of the data group just read (at data offset start: its ID, then `length`
// value bytes) lost its tail with the record ID behind it: it holds nothing but zeros in the
// sector its end lies in, and the bytes behind it are not a record ID that isDeclared accepts.
// A reader drops such a record, as the roll-back on reopen does: a power loss kept that
// sector from the disk, and the zeros were never written by the host.
template <class Stream, class IsDeclared>
bool LostItsTail(Stream& stream, const DataPlacement& placement, uint64_t start, uint64_t id, uint32_t idSize,
                 const uint8_t* values, uint64_t length, IsDeclared isDeclared) {
  const auto byteAt = [&](uint64_t k) {
    return k < idSize ? static_cast<uint8_t>(id >> (8 * k)) : values[k - idSize];
  };
  uint8_t next[8] = {};
  if (idSize == 0 || idSize > sizeof next || !ZerosInClosingSector(placement, start, idSize + length, byteAt) ||
      !stream.PeekAt(start + idSize + length, idSize, next))
    return false;
  uint64_t nextId = 0;
  for (uint32_t k = idSize; k-- > 0;) nextId = nextId << 8 | next[k];
  return !isDeclared(nextId);
}

}  // namespace qm
