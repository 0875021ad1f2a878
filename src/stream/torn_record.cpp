// Data offsets mapped to file positions, for telling which disk sector a record's bytes lie in.
#include "stream/torn_record.h"

#include <algorithm>

namespace qm {

void DataPlacement::Add(uint64_t position, uint64_t length) {
  if (length == 0) return;
  pieces_.push_back({total_, position, length});
  total_ += length;
}

const DataPlacement::Piece& DataPlacement::PieceOf(uint64_t offset) const {
  const auto after = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                                      [](uint64_t o, const Piece& p) { return o < p.start; });
  return *(after - 1);
}

uint64_t DataPlacement::FilePosition(uint64_t offset) const {
  if (pieces_.empty()) return 0;
  if (offset >= total_) return pieces_.back().position + pieces_.back().length + (offset - total_);
  const Piece& p = PieceOf(offset);
  return p.position + (offset - p.start);
}

bool DataPlacement::InOneBlock(uint64_t start, uint64_t n) const {
  if (pieces_.empty() || n == 0 || start >= total_ || n > total_ - start) return false;
  const Piece& p = PieceOf(start);
  return start + n <= p.start + p.length;
}

}  // namespace qm
