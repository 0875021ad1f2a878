// TX/MD text buffer: growth, UTF-8 encoding of UTF-16 input, reading.
#include "block/text_block.h"

#include <cstring>
#include <limits>
#include <new>

#include "block/utf8_decoder.h"
#include "platform/direct_file.h"

M4TXBlock::M4TXBlock(uint16_t type) : m4Block(0, type), text_(new uint8_t[256]()) {}

M4MDBlock::M4MDBlock(const char16_t* text) : M4MDBlock() {
  if (text != nullptr) appendWide(std::u16string_view(text));
}

void M4TXBlock::Reserve(uint64_t needed) {
  if (needed <= capacity_ && text_) return;
  uint64_t grown = capacity_ * 2;
  if (grown < needed) grown = needed;
  std::unique_ptr<uint8_t[]> bigger(new uint8_t[grown]());
  if (text_ && length_ != 0) std::memcpy(bigger.get(), text_.get(), length_);
  text_ = std::move(bigger);
  capacity_ = grown;
}

void M4TXBlock::Push(const uint8_t* bytes, uint64_t n) {
  if (n == 0) return;
  Reserve(length_ + n);
  std::memcpy(text_.get() + length_, bytes, n);
  length_ += n;
}

void M4TXBlock::appendBytes(const void* bytes, uint64_t n) {
  FlushPending();
  Push(static_cast<const uint8_t*>(bytes), n);
}

void M4TXBlock::FlushPending() {
  if (pendingHigh_ == 0) return;
  pendingHigh_ = 0;
  static const uint8_t kReplacement[3] = {0xEF, 0xBF, 0xBD};  // U+FFFD
  Push(kReplacement, 3);
}

void M4TXBlock::appendUtf8(char16_t c) {
  const bool high = c >= 0xD800 && c <= 0xDBFF;
  const bool low = c >= 0xDC00 && c <= 0xDFFF;
  if (low && pendingHigh_ != 0) {
    const uint32_t cp = 0x10000 + ((uint32_t{pendingHigh_} - 0xD800) << 10) + (c - 0xDC00);
    pendingHigh_ = 0;
    const uint8_t b[4] = {static_cast<uint8_t>(0xF0 | (cp >> 18)),
                          static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)),
                          static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)),
                          static_cast<uint8_t>(0x80 | (cp & 0x3F))};
    Push(b, 4);
    return;
  }
  FlushPending();
  if (high) {
    pendingHigh_ = c;
    return;
  }
  if (low) c = 0xFFFD;  // a low surrogate without its high half
  if (c < 0x80) {
    const uint8_t b = static_cast<uint8_t>(c);
    Push(&b, 1);
  } else if (c < 0x800) {
    const uint8_t b[2] = {static_cast<uint8_t>(0xC0 | (c >> 6)), static_cast<uint8_t>(0x80 | (c & 0x3F))};
    Push(b, 2);
  } else {
    const uint8_t b[3] = {static_cast<uint8_t>(0xE0 | (c >> 12)),
                          static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<uint8_t>(0x80 | (c & 0x3F))};
    Push(b, 3);
  }
}

void M4TXBlock::appendWide(std::u16string_view text) {
  for (char16_t c : text) appendUtf8(c);
  FlushPending();
}

const uint8_t* M4TXBlock::GetVarChunk(uint32_t index, uint64_t& size) {
  if (index != 0) return nullptr;
  FlushPending();
  Reserve(length_ + 1);
  text_[length_] = 0;
  size = length_ + 1;
  return text_.get();
}

bool M4TXBlock::ReadData(uint64_t position, uint64_t size) {
  pendingHigh_ = 0;
  if (size > std::numeric_limits<uint32_t>::max()) return false;
  if (size > capacity_ || !text_) {
    text_.reset(new (std::nothrow) uint8_t[size + 1]());
    if (!text_) return false;
    capacity_ = size;
  }
  length_ = size == 0 ? 0 : size - 1;
  if (size == 0) return true;
  return file_->ReadAt(position, static_cast<uint32_t>(size), text_.get());
}

std::u16string M4TXBlock::Decode() const {
  if (!text_) return {};
  return DecodeBlockText(text_.get(), length_);
}
