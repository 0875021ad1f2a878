// Placement, writing and reading shared by every block class.
#include "block/block.h"

#include <limits>

#include "block/byte_order.h"
#include "platform/direct_file.h"

using namespace qm;

m4Block::m4Block(uint32_t linkCount, uint16_t type) : links_(linkCount, 0) {
  header_[0] = '#';
  header_[1] = '#';
  StoreLE16(header_ + 2, type);
}

uint16_t m4Block::GetType() const { return LoadLE16(header_ + 2); }

uint64_t m4Block::GetHeaderLength() const { return LoadLE64(header_ + fmt::kHeaderLengthOffset); }

uint64_t m4Block::GetHeaderLinkCount() const {
  return LoadLE64(header_ + fmt::kHeaderLinkCountOffset);
}

void m4Block::SetLink(uint32_t i, uint64_t value) { LinkAt(i) = value; }

uint64_t& m4Block::LinkAt(uint32_t i) {
  if (i >= links_.size()) links_.resize(static_cast<size_t>(i) + 1, 0);
  return links_[i];
}

uint64_t m4Block::ComputedLength() const {
  return fmt::kBlockHeaderSize + uint64_t{fmt::kLinkSize} * links_.size() + GetFixedSize() +
         GetVarSize();
}

void m4Block::StampHeader() {
  StoreLE32(header_ + 4, 0);
  StoreLE64(header_ + fmt::kHeaderLengthOffset, ComputedLength());
  StoreLE64(header_ + fmt::kHeaderLinkCountOffset, links_.size());
}

uint64_t m4Block::Place(mDirectFile* file, BlockParts parts) {
  if (file != nullptr) file_ = file;
  if (file_ == nullptr) return 0;
  if (position_ == 0) position_ = file_->AllocateAtEnd(ComputedLength());
  if (position_ != 0 && parts != BlockParts::kNone) Write(parts);
  return position_;
}

bool m4Block::EncodeHead(std::vector<uint8_t>& out) {
  StampHeader();
  const uint64_t linkBytes = uint64_t{fmt::kLinkSize} * links_.size();
  const uint64_t size = fmt::kBlockHeaderSize + linkBytes + GetFixedSize();
  if (size > std::numeric_limits<uint32_t>::max()) return false;
  out.resize(static_cast<size_t>(size));
  std::memcpy(out.data(), header_, fmt::kBlockHeaderSize);
  if (linkBytes != 0) std::memcpy(out.data() + fmt::kBlockHeaderSize, links_.data(), linkBytes);
  if (GetFixedSize() != 0)
    std::memcpy(out.data() + fmt::kBlockHeaderSize + linkBytes, GetFixedData(), GetFixedSize());
  return true;
}

uint64_t m4Block::WriteHead() {
  if (file_ == nullptr || position_ == 0) return 0;
  // Header, links and record go out in one write, so that a block on disk never shows a
  // new length or link count with old links.
  std::vector<uint8_t> head;
  if (!EncodeHead(head)) return 0;
  if (!file_->WriteAt(position_, static_cast<uint32_t>(head.size()), head.data())) return 0;
  return position_ + head.size();
}

bool m4Block::Write(BlockParts parts) {
  if (file_ == nullptr || position_ == 0) return false;
  const bool withHead = Includes(parts, BlockParts::kHead);
  const bool withData = Includes(parts, BlockParts::kData);
  uint64_t cursor = position_ + fmt::kBlockHeaderSize + uint64_t{fmt::kLinkSize} * links_.size() +
                    GetFixedSize();
  std::vector<uint8_t> out;
  if (withHead && !EncodeHead(out)) return false;
  if (withData) {
    // The variable part follows the head in the same write.
    uint64_t remaining = GetVarSize();
    for (uint32_t index = 0; remaining != 0; ++index) {
      uint64_t size = remaining;
      const uint8_t* piece = GetVarChunk(index, size);
      if (piece == nullptr || size == 0) break;
      if (size > remaining) size = remaining;
      if (out.size() + size > std::numeric_limits<uint32_t>::max()) return false;
      out.insert(out.end(), piece, piece + size);
      remaining -= size;
    }
  }
  if (out.empty()) return true;
  const uint64_t at = withHead ? position_ : cursor;
  return file_->WriteAt(at, static_cast<uint32_t>(out.size()), out.data());
}

bool m4Block::Read(mDirectFile* file, uint64_t position, const uint8_t* header) {
  file_ = file;
  position_ = position;
  std::memcpy(header_, header, fmt::kBlockHeaderSize);
  if (file_ == nullptr) return false;
  const uint64_t length = GetHeaderLength();
  const uint64_t linkCount = GetHeaderLinkCount();
  const uint64_t end = file_->GetEnd();
  // Untrusted header: the length must cover header and links and stay inside the file, so
  // that nothing below allocates more than the file holds.
  if (length < fmt::kBlockHeaderSize || (length - fmt::kBlockHeaderSize) / fmt::kLinkSize < linkCount)
    return false;
  if (position > end || length > end - position) return false;
  uint64_t remaining = length - fmt::kBlockHeaderSize;
  uint64_t cursor = position + fmt::kBlockHeaderSize;
  links_.assign(static_cast<size_t>(linkCount), 0);
  if (linkCount != 0) {
    const uint64_t bytes = fmt::kLinkSize * linkCount;
    if (bytes > std::numeric_limits<uint32_t>::max()) return false;
    if (!file_->ReadAt(cursor, static_cast<uint32_t>(bytes), links_.data())) return false;
    cursor += bytes;
    remaining -= bytes;
  }
  return ReadData(cursor, remaining);
}

bool ReadFixedAndVariable(mDirectFile* file, uint64_t position, uint64_t size, uint8_t* record,
                          uint32_t recordSize, void* (*resizeVar)(void* self, uint64_t bytes),
                          void* self) {
  if (file == nullptr) return false;
  const uint64_t k = size < recordSize ? size : recordSize;
  if (k != 0 && !file->ReadAt(position, static_cast<uint32_t>(k), record)) return false;
  const uint64_t rest = size - k;
  if (rest == 0) return true;
  if (rest > std::numeric_limits<uint32_t>::max()) return false;
  void* dst = resizeVar(self, rest);
  return file->ReadAt(position + k, static_cast<uint32_t>(rest), dst);
}
