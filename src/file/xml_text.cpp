// Wide text for the library interface: XML escaping, bounded formatting and the comment templates.
#include "file/xml_text.h"

#include <cstring>
#include <limits>

#include "platform/platform.h"

namespace {

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Appends value as exactly `digits` upper-case hexadecimal digits.
void AppendHex(std::u16string& s, uint32_t value, int digits) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    s.push_back(kDigits[(value >> shift) & 0xF]);
  }
}

// "&#x" + hex + ";": 8 units for a 16-bit unit, 10 for a supplementary code point.
std::u16string CharRef(uint32_t value, int digits) {
  std::u16string s = u"&#x";
  AppendHex(s, value, digits);
  s.push_back(u';');
  return s;
}

// Walks the escape output piece by piece, counting every piece and storing those that still
// fit whole in the remaining capacity.
class EscapeSink {
 public:
  EscapeSink(char16_t* out, int32_t capacity) : out_(out), remaining_(capacity) {}

  void Put(const char16_t* piece, size_t length) {
    const int64_t len = static_cast<int64_t>(length);
    if (out_ != nullptr && remaining_ >= len) {
      std::memcpy(out_ + total_, piece, length * sizeof(char16_t));
    }
    remaining_ -= len;
    total_ += len;
  }
  void Put(const std::u16string& piece) { Put(piece.data(), piece.size()); }
  void Put(std::u16string_view piece) { Put(piece.data(), piece.size()); }

  int32_t Result() const {
    if (out_ != nullptr && remaining_ < 0) return 0;
    if (total_ > std::numeric_limits<int32_t>::max()) return 0;
    return static_cast<int32_t>(total_);
  }

 private:
  char16_t* out_;
  int64_t remaining_;  // may go below zero; a 64-bit count cannot wrap for any input in memory
  int64_t total_ = 0;
};

void AppendDecimal(std::u16string& s, int32_t value, size_t minDigits) {
  int64_t v = value;  // INT32_MIN has no 32-bit magnitude
  if (v < 0) {
    s.push_back(u'-');
    v = -v;
  }
  char16_t digits[16];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + v % 10);
    v /= 10;
  } while (v != 0);
  // %02d pads to two characters including the sign, as printf does.
  size_t width = n + (value < 0 ? 1 : 0);
  for (; width < minDigits; ++width) s.push_back(u'0');
  while (n > 0) s.push_back(digits[--n]);
}

// Formats into result; false for an unknown directive or a missing or mismatched argument.
bool FormatInto(std::u16string& result, std::u16string_view format,
                std::initializer_list<FormatArg> args) {
  auto next = args.begin();
  auto take = [&](FormatArg::Kind kind) -> const FormatArg* {
    if (next == args.end() || next->kind != kind) return nullptr;
    return next++;
  };
  for (size_t i = 0; i < format.size(); ++i) {
    const char16_t c = format[i];
    if (c != u'%') {
      result.push_back(c);
      continue;
    }
    const std::u16string_view rest = format.substr(i + 1);
    if (rest.starts_with(u"%")) {
      result.push_back(u'%');
      i += 1;
    } else if (rest.starts_with(u"s")) {
      const FormatArg* a = take(FormatArg::Kind::kWide);
      if (a == nullptr) return false;
      if (a->wide != nullptr) result.append(a->wide);
      i += 1;
    } else if (rest.starts_with(u"S")) {
      const FormatArg* a = take(FormatArg::Kind::kNarrow);
      if (a == nullptr) return false;
      if (a->narrow != nullptr) result.append(qm::os::NarrowToWide(a->narrow));
      i += 1;
    } else if (rest.starts_with(u"d")) {
      const FormatArg* a = take(FormatArg::Kind::kInt);
      if (a == nullptr) return false;
      AppendDecimal(result, a->number, 1);
      i += 1;
    } else if (rest.starts_with(u"02d")) {
      const FormatArg* a = take(FormatArg::Kind::kInt);
      if (a == nullptr) return false;
      AppendDecimal(result, a->number, 2);
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int32_t escapeXml(const char16_t* in, size_t count, char16_t* out, int32_t capacity) {
  EscapeSink sink(out, capacity);
  bool highPending = false;
  uint32_t high = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t c = in[i];
    if (highPending && !IsLowSurrogate(c)) {
      sink.Put(CharRef(high, 4));
      highPending = false;
    }
    switch (c) {
      case u'"': sink.Put(std::u16string_view(u"&quot;")); continue;
      case u'\'': sink.Put(std::u16string_view(u"&apos;")); continue;
      case u'&': sink.Put(std::u16string_view(u"&amp;")); continue;
      case u'<': sink.Put(std::u16string_view(u"&lt;")); continue;
      case u'>': sink.Put(std::u16string_view(u"&gt;")); continue;
      default: break;
    }
    if (IsHighSurrogate(c)) {
      highPending = true;
      high = c;
    } else if (IsLowSurrogate(c) && highPending) {
      sink.Put(CharRef((high - 0xD800) * 0x400 + (c - 0xDC00) + 0x10000, 6));
      highPending = false;
    } else if (c >= 0x20 && c <= 0x7E) {
      const char16_t unit = static_cast<char16_t>(c);
      sink.Put(&unit, 1);
    } else {
      sink.Put(CharRef(c, 4));
    }
  }
  if (highPending) sink.Put(CharRef(high, 4));
  return sink.Result();
}

std::u16string escapeXml(const std::u16string& text) {
  const int32_t length = escapeXml(text.data(), text.size(), nullptr, 0);
  std::u16string escaped(static_cast<size_t>(length), u'\0');
  if (length > 0) escapeXml(text.data(), text.size(), escaped.data(), length);
  return escaped;
}

int32_t formatWide(char16_t* out, size_t capacity, std::u16string_view format,
                   std::initializer_list<FormatArg> args) {
  std::u16string result;
  const bool ok = FormatInto(result, format, args);
  if (!ok || result.size() >= capacity ||
      result.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    if (capacity > 0) out[0] = u'\0';
    return -1;
  }
  std::memcpy(out, result.c_str(), (result.size() + 1) * sizeof(char16_t));
  return static_cast<int32_t>(result.size());
}

std::u16string formatTruncated(size_t capacity, std::u16string_view format,
                               std::initializer_list<FormatArg> args) {
  std::u16string result;
  if (capacity == 0 || !FormatInto(result, format, args)) return std::u16string();
  size_t keep = capacity - 1;
  if (result.size() > keep) {
    if (keep > 0 && IsHighSurrogate(result[keep - 1]) && IsLowSurrogate(result[keep])) --keep;
    result.resize(keep);
  }
  return result;
}
