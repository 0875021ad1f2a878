// Utf8Decoder: turns the UTF-8 bytes of a TX or MD block back into 16-bit text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Incremental, forgiving UTF-8 decoder. Bytes are fed one at a time; malformed input never
// fails, it produces the replacement unit (a space) instead:
//   - a sequence broken by a byte that is not a continuation writes one replacement, and that
//     byte is consumed without being decoded;
//   - a continuation byte without a lead byte writes one replacement;
//   - a complete four-byte sequence above 0x10FFFF writes one replacement;
//   - a sequence still open at the end writes one replacement.
// A character above 0xFFFF becomes its surrogate pair, so that names and comments keep every
// character through a decode and a new encoding. Overlong forms are accepted. Every line feed is
// written as CR LF, so text decoded here gains a carriage return before each line feed.
class Utf8Decoder {
 public:
  static constexpr char16_t kReplacement = 0x20;

  Utf8Decoder();

  void Feed(uint8_t byte);
  // Feeds n bytes from p, stopping before the first zero byte: block texts end at their first NUL.
  void FeedBytes(const uint8_t* p, size_t n);
  // Closes a pending sequence (one replacement) and returns the text decoded so far. The decoder
  // is then empty and may be reused.
  std::u16string Finish();

 private:
  void Put(uint32_t value);

  uint32_t pending_ = 0;    // continuation bytes still expected
  uint32_t codePoint_ = 0;  // bits of the character collected so far
  char16_t replacement_ = kReplacement;
  std::u16string output_;
};

// Decodes the block text p[0..n) up to its first zero byte.
std::u16string DecodeBlockText(const uint8_t* p, size_t n);

// Decodes text[0..n) when it is well-formed UTF-8 (no overlong forms, encoded surrogates, values
// above U+10FFFF, stray or missing continuation bytes): every character exactly, those above
// 0xFFFF as surrogate pairs, line feeds unchanged. Returns false for anything else; *out then
// holds no usable text.
bool DecodeWellFormedUtf8(const uint8_t* text, size_t n, std::u16string* out);
