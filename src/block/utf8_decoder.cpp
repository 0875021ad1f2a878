// Utf8Decoder: turns the UTF-8 bytes of a TX or MD block back into 16-bit text.
#include "block/utf8_decoder.h"

#include <utility>

namespace {
constexpr size_t kInitialCapacity = 256;
constexpr uint32_t kMaxCodePoint = 0x10FFFF;

// Appends a character above 0xFFFF (at most kMaxCodePoint) as its surrogate pair.
void PutPair(std::u16string& out, uint32_t value) {
  value -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
}
}  // namespace

Utf8Decoder::Utf8Decoder() { output_.reserve(kInitialCapacity); }

void Utf8Decoder::Put(uint32_t value) {
  if (value > kMaxCodePoint) {
    output_.push_back(replacement_);  // no UTF-16 form exists
  } else if (value > 0xFFFF) {
    PutPair(output_, value);
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
    // sequence ends above 0x10FFFF (one replacement) unless it is an overlong form, which is
    // written like any other character.
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

bool DecodeWellFormedUtf8(const uint8_t* text, size_t n, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < n;) {
    const uint8_t lead = text[i];
    if (lead < 0x80) {
      out->push_back(lead);
      ++i;
      continue;
    }
    // Length and smallest value of the sequence a lead byte starts; a value below that
    // smallest one is an overlong form.
    size_t length;
    uint32_t smallest;
    if (lead >= 0xC0 && lead < 0xE0) {
      length = 2;
      smallest = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3;
      smallest = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      length = 4;
      smallest = 0x10000;
    } else {
      return false;  // a continuation byte without a lead byte, or no UTF-8 lead byte at all
    }
    uint32_t value = lead & (0x7Fu >> length);  // the lead byte's payload bits
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return false;
      value = (value << 6) | (text[i + k] & 0x3Fu);
    }
    if (value < smallest || value > kMaxCodePoint || (value >= 0xD800 && value <= 0xDFFF)) return false;
    if (value > 0xFFFF) PutPair(*out, value);
    else out->push_back(static_cast<char16_t>(value));
    i += length;
  }
  return true;
}
