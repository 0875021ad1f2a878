// Utf8Decoder: turns the UTF-8 bytes of a TX or MD block back into 16-bit text.
#include "block/utf8_decoder.h"

#include <utility>

namespace {
constexpr size_t kInitialCapacity = 256;
}  // namespace

Utf8Decoder::Utf8Decoder() { output_.reserve(kInitialCapacity); }

void Utf8Decoder::Put(uint32_t value) {
  if (value > 0xFFFF) {
    output_.push_back(replacement_);
  } else if (value == 0x0A) {
    output_.push_back(0x0D);
    output_.push_back(0x0A);
  } else {
    output_.push_back(static_cast<char16_t>(value));
  }
}

void Utf8Decoder::Feed(uint8_t byte) {
  if (pending_ > 0) {
    if ((byte & 0xC0) == 0x80) {
      --pending_;
      codePoint_ |= static_cast<uint32_t>(byte & 0x3F) << (6 * pending_);
      if (pending_ == 0) Put(codePoint_);
    } else {
      // The sequence is broken; the interrupting byte is swallowed with it.
      output_.push_back(replacement_);
      pending_ = 0;
    }
    return;
  }
  if (byte < 0x80) {
    Put(byte);
  } else if (byte < 0xC0) {
    output_.push_back(replacement_);  // continuation without a lead byte
  } else if (byte < 0xE0) {
    pending_ = 1;
    codePoint_ = static_cast<uint32_t>(byte & 0x1F) << 6;
  } else if (byte < 0xF0) {
    pending_ = 2;
    codePoint_ = static_cast<uint32_t>(byte & 0x0F) << 12;
  } else {
    // 0xF8..0xFF are not UTF-8 lead bytes but start a four-byte sequence all the same. Such a
    // sequence nearly always ends above 0xFFFF (one replacement); only overlong forms land lower
    // and are written like any other character.
    pending_ = 3;
    codePoint_ = static_cast<uint32_t>(byte & 0x07) << 18;
  }
}

void Utf8Decoder::FeedBytes(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n && p[i] != 0; ++i) Feed(p[i]);
}

std::u16string Utf8Decoder::Finish() {
  if (pending_ > 0) {
    output_.push_back(replacement_);
    pending_ = 0;
  }
  codePoint_ = 0;
  std::u16string result = std::move(output_);
  output_.clear();
  output_.reserve(kInitialCapacity);
  return result;
}

std::u16string DecodeBlockText(const uint8_t* p, size_t n) {
  Utf8Decoder decoder;
  if (p != nullptr) decoder.FeedBytes(p, n);
  return decoder.Finish();
}
