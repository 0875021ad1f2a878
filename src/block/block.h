// m4Block and m4BlockImpl: the in-memory form of an MDF 4 block and how it is placed, written and read.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "block/format.h"

class mDirectFile;

// The parts of a block that Place and Write put on disk: the head (header, links and fixed
// record), the variable part, both, or none (Place then only reserves the position).
enum class BlockParts : uint8_t { kNone = 0, kHead = 1, kData = 2, kAll = 3 };

constexpr bool Includes(BlockParts parts, BlockParts part) {
  return (static_cast<uint8_t>(parts) & static_cast<uint8_t>(part)) != 0;
}

// Base of every block object: the file it belongs to, its position, its 24-byte header and
// its links. The link array's size is authoritative: the header's link count and length are
// recomputed from it whenever the block is written.
class m4Block {
 public:
  m4Block(uint32_t linkCount, uint16_t type);
  m4Block(const m4Block&) = delete;
  m4Block& operator=(const m4Block&) = delete;
  virtual ~m4Block() = default;

  virtual uint32_t GetFixedSize() const { return 0; }
  virtual uint8_t* GetFixedData() { return nullptr; }
  // Size in bytes of the variable part as it is written.
  virtual uint64_t GetVarSize() const = 0;
  // The index-th contiguous piece of the variable part; size receives its length.
  virtual const uint8_t* GetVarChunk(uint32_t index, uint64_t& size) = 0;
  // Loads the block given the 24 header bytes already read at position. A header whose
  // length is below 24 + 8 x link count, or which runs past the end of the file, is rejected.
  bool Read(mDirectFile* file, uint64_t position, const uint8_t* header);
  // Reads the fixed record and the variable part, size bytes in all, at position.
  virtual bool ReadData(uint64_t position, uint64_t size) = 0;
  uint16_t GetType() const;

  // Links.
  uint32_t GetLinkCount() const { return static_cast<uint32_t>(links_.size()); }
  bool HasLink(uint32_t i) const { return i < links_.size() && links_[i] != 0; }
  uint64_t GetLink(uint32_t i) const { return i < links_.size() ? links_[i] : 0; }
  void SetLink(uint32_t i, uint64_t value);
  uint64_t& LinkAt(uint32_t i);
  // Resizes the link array to n entries (new entries zero).
  void ResizeLinks(uint32_t n) { links_.resize(n, 0); }

  // Assigns the next 8-aligned position at the logical end of file (once) and writes the
  // parts asked for. file may be null to keep the current file. Returns the position, 0
  // on failure; a failed write is not reported here.
  uint64_t Place(mDirectFile* file, BlockParts parts);
  // Rewrites the parts asked for in place; with the head, head and variable part go out in
  // one write.
  bool Write(BlockParts parts);
  // Writes header, links and fixed record; returns the position just past the fixed record.
  uint64_t WriteHead();

  mDirectFile* GetFile() const { return file_; }
  uint64_t GetPosition() const { return position_; }
  const uint8_t* GetHeader() const { return header_; }
  // Length and link count as stated by the header (read from the file or last written).
  uint64_t GetHeaderLength() const;
  uint64_t GetHeaderLinkCount() const;

 protected:
  // Size the block occupies when written from its current state.
  uint64_t ComputedLength() const;
  void SetFile(mDirectFile* file) { file_ = file; }
  void SetPosition(uint64_t position) { position_ = position; }
  void StampHeader();
  // Header, links and fixed record as they are written.
  bool EncodeHead(std::vector<uint8_t>& out);

  mDirectFile* file_ = nullptr;
  uint64_t position_ = 0;
  uint8_t header_[qm::fmt::kBlockHeaderSize] = {};
  std::vector<uint64_t> links_;
};

// A block type with a fixed record (accessible as members) and a variable part of VarT.
template <class Record, class VarT, uint16_t Id>
class m4BlockImpl : public m4Block, public Record {
  static_assert(std::is_trivially_copyable_v<Record> && std::is_standard_layout_v<Record>);

 public:
  explicit m4BlockImpl(uint32_t linkCount) : m4Block(linkCount, Id), Record{} {}

  uint32_t GetFixedSize() const override { return sizeof(Record); }
  uint8_t* GetFixedData() override { return reinterpret_cast<uint8_t*>(static_cast<Record*>(this)); }
  uint64_t GetVarSize() const override { return var.size() * sizeof(VarT); }
  const uint8_t* GetVarChunk(uint32_t index, uint64_t& size) override {
    if (index != 0 || size == 0 || var.empty()) return nullptr;
    return reinterpret_cast<const uint8_t*>(var.data());
  }
  bool ReadData(uint64_t position, uint64_t size) override;

  Record& record() { return *this; }
  const Record& record() const { return *this; }

  // The variable part: zero-filled when grown.
  std::vector<VarT> var;
};

// Shared by every template instance: reads up to the record's size into the record and the
// rest into a zeroed variable part rounded up to whole elements.
bool ReadFixedAndVariable(mDirectFile* file, uint64_t position, uint64_t size, uint8_t* record,
                          uint32_t recordSize, void* (*resizeVar)(void* self, uint64_t bytes),
                          void* self);

template <class Record, class VarT, uint16_t Id>
bool m4BlockImpl<Record, VarT, Id>::ReadData(uint64_t position, uint64_t size) {
  auto resize = [](void* self, uint64_t bytes) -> void* {
    auto* block = static_cast<m4BlockImpl*>(self);
    block->var.assign((bytes + sizeof(VarT) - 1) / sizeof(VarT), VarT{});
    return block->var.data();
  };
  return ReadFixedAndVariable(file_, position, size, GetFixedData(), sizeof(Record), resize, this);
}
