// Write side of the data list: entries, fullness and reservation of its area at the end.
#include "block/list_blocks.h"

#include "platform/direct_file.h"

using namespace qm;

M4DLBlock::M4DLBlock(uint32_t maxEntries, uint64_t equalLength)
    : m4BlockImpl(1), maxEntries_(maxEntries) {
  dl_flags = fmt::kDlFlagEqualLength;
  dl_count = 0;
  var = {equalLength};
}

void M4DLBlock::AddDataBlock(uint64_t position) {
  ++dl_count;
  LinkAt(dl_count) = position;
}

bool M4DLBlock::EqualLength(uint64_t* length) const {
  if ((dl_flags & fmt::kDlFlagEqualLength) == 0 || var.empty()) return false;
  *length = var[0];
  return true;
}

uint64_t M4DLBlock::ReservedSize() const {
  return uint64_t{fmt::kLinkSize} * (uint64_t{maxEntries_} + 1) + fmt::kBlockHeaderSize +
         GetFixedSize() + GetVarSize();
}

uint64_t M4DLBlock::ReserveAtEnd(mDirectFile* file) {
  if (file != nullptr) file_ = file;
  if (file_ == nullptr) return 0;
  const uint64_t aligned = file_->AllocateAtEnd(ReservedSize());
  ResizeLinks(1);
  links_[0] = 0;
  dl_count = 0;
  position_ = aligned;
  return aligned;
}
