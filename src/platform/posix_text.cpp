// POSIX text: host narrow text is UTF-8 whatever the locale; host message strings.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace qm::os {
namespace {

// Decodes one well-formed UTF-8 sequence at s (zero-terminated). Returns its length and the
// code point, or 0 when the bytes there do not form one (overlong forms, encoded
// surrogates, values above U+10FFFF and truncated sequences are all rejected).
int DecodeUtf8(const unsigned char* s, char32_t* cp) {
  const unsigned char b0 = s[0];
  int len;
  char32_t value;
  unsigned char lo = 0x80;  // allowed range of the second byte
  unsigned char hi = 0xBF;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    value = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b0 == 0xED) hi = 0x9F;  // surrogates U+D800..U+DFFF
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    value = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < len; ++i) {
    const unsigned char b = s[i];  // a zero terminator fails the range test and stops here
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
    value = (value << 6) | (b & 0x3F);
  }
  *cp = value;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

size_t WideLength(const char16_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

std::u16string NarrowToWide(const char* s) {
  std::u16string out;
  if (s == nullptr) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  while (*p != 0) {
    char32_t cp;
    const int len = DecodeUtf8(p, &cp);
    if (len == 0) {
      // A byte that begins no well-formed sequence stands for the code unit of its value.
      out.push_back(static_cast<char16_t>(*p));
      ++p;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    p += len;
  }
  return out;
}

std::string WideToNarrow(const char16_t* s) {
  std::string out;
  if (s == nullptr) return out;
  for (size_t i = 0; s[i] != 0; ++i) {
    const char32_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);  // unpaired surrogate
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

char16_t* AllocMessage(const char16_t* text) {
  if (text == nullptr) return nullptr;
  const size_t len = WideLength(text);
  if (len > (UINT32_MAX - 4) / 2 - 1) return nullptr;
  const uint32_t byteCount = static_cast<uint32_t>(len * 2);
  auto* block = static_cast<uint8_t*>(std::malloc(4 + 2 * (len + 1)));
  if (block == nullptr) return nullptr;
  // The byte count (without the terminator) sits in front of the text.
  std::memcpy(block, &byteCount, 4);
  auto* units = reinterpret_cast<char16_t*>(block + 4);
  std::memcpy(units, text, 2 * len);
  units[len] = 0;
  return units;
}

void FreeMessage(char16_t* message) {
  if (message == nullptr) return;
  std::free(reinterpret_cast<uint8_t*>(message) - 4);
}

}  // namespace qm::os
