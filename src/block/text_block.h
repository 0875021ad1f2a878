// TX and MD blocks: UTF-8 text with one terminating zero byte.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "block/block.h"

class M4TXBlock : public m4Block {
 public:
  M4TXBlock() : M4TXBlock(qm::fmt::kTX) {}

  uint64_t GetVarSize() const override { return length_ + (pendingHigh_ != 0 ? 3 : 0) + 1; }
  const uint8_t* GetVarChunk(uint32_t index, uint64_t& size) override;
  bool ReadData(uint64_t position, uint64_t size) override;

  // Appends raw bytes as they are.
  void appendBytes(const void* bytes, uint64_t n);
  // Appends the UTF-8 encoding of one UTF-16 code unit. A high surrogate waits for its low
  // half; a surrogate without its partner is written as U+FFFD (texts copied from hostile
  // files can hold them, and a TX block must stay valid UTF-8).
  void appendUtf8(char16_t c);
  void appendWide(std::u16string_view text);

  const uint8_t* Text() const { return text_.get(); }
  uint64_t GetLength() const { return length_; }
  uint64_t GetCapacity() const { return capacity_; }
  // The text up to its first zero byte, decoded to UTF-16 (line feeds become CR LF).
  std::u16string Decode() const;

 protected:
  explicit M4TXBlock(uint16_t type);

 private:
  void Reserve(uint64_t needed);
  void Push(const uint8_t* bytes, uint64_t n);
  void FlushPending();

  std::unique_ptr<uint8_t[]> text_;
  uint64_t capacity_ = 256;
  uint64_t length_ = 0;
  char16_t pendingHigh_ = 0;
};

// An XML comment block: a TX block with id ##MD.
class M4MDBlock : public M4TXBlock {
 public:
  M4MDBlock() : M4TXBlock(qm::fmt::kMD) {}
  // Text built from a wide string (null gives an empty text).
  explicit M4MDBlock(const char16_t* text);
};
