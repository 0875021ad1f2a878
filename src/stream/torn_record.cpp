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
  if (last_ < pieces_.size() && offset - pieces_[last_].start < pieces_[last_].length) return pieces_[last_];
  const auto after = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                                      [](uint64_t o, const Piece& p) { return o < p.start; });
  last_ = static_cast<size_t>(after - 1 - pieces_.begin());
  return *(after - 1);
}

uint64_t DataPlacement::FilePosition(uint64_t offset) const {
  if (pieces_.empty()) return 0;
  if (offset >= total_) return pieces_.back().position + pieces_.back().length + (offset - total_);
  const Piece& p = PieceOf(offset);
  return p.position + (offset - p.start);
}

bool DataPlacement::InOneBlock(uint64_t start, uint64_t n) const {
  return n != 0 && RunFrom(start) >= n;
}

uint64_t DataPlacement::RunFrom(uint64_t offset) const {
  if (offset >= total_) return 0;
  const Piece& p = PieceOf(offset);
  return p.start + p.length - offset;
}

}  // namespace qm
