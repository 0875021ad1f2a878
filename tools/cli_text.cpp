// Text helpers of the command-line tool: block text, XML comment fields, time stamps, CSV cells.
#include "cli_text.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/platform.h"

namespace qm::cli {
namespace {

// Appends one character as host text, through the platform's own conversion.
void AppendCodePoint(std::string& out, uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) cp = 0xFFFD;
  char16_t units[3] = {};
  if (cp < 0x10000) {
    units[0] = static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    units[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
  out += os::WideToNarrow(units);
}

// Days since 1970-01-01 to year, month, day (Howard Hinnant's civil_from_days).
void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

}  // namespace

std::string BlockTextToUtf8(const std::u16string& text) {
  std::u16string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
    plain.push_back(text[i]);
  }
  return qm::os::WideToNarrow(plain.c_str());
}

std::string XmlUnescape(const std::string& text) {
  static const std::pair<const char*, char> kNamed[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '&') {
      out.push_back(text[i++]);
      continue;
    }
    bool done = false;
    for (const auto& [entity, c] : kNamed) {
      if (text.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
        out.push_back(c);
        i += std::char_traits<char>::length(entity);
        done = true;
        break;
      }
    }
    const size_t semi = text.find(';', i);
    if (!done && text.compare(i, 2, "&#") == 0 && semi != std::string::npos && semi - i <= 12) {
      const bool hex = i + 2 < text.size() && (text[i + 2] == 'x' || text[i + 2] == 'X');
      const std::string digits = text.substr(i + (hex ? 3 : 2), semi - i - (hex ? 3 : 2));
      char* end = nullptr;
      const unsigned long cp = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
      if (!digits.empty() && end != nullptr && *end == '\0') {
        AppendCodePoint(out, static_cast<uint32_t>(cp > 0x10FFFF ? 0xFFFD : cp));
        i = semi + 1;
        done = true;
      }
    }
    if (!done) out.push_back(text[i++]);
  }
  return out;
}

std::string XmlElement(const std::string& xml, const std::string& tag, bool* found) {
  if (found != nullptr) *found = false;
  const std::string open = "<" + tag;
  for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
    const size_t after = at + open.size();
    if (after >= xml.size() || (xml[after] != '>' && xml[after] != ' ' && xml[after] != '/'))
      continue;  // a longer tag name such as <TXfoo>
    const size_t close = xml.find('>', after);
    if (close == std::string::npos) return {};
    if (found != nullptr) *found = true;
    if (xml[close - 1] == '/') return {};
    const size_t end = xml.find("</" + tag + ">", close + 1);
    if (end == std::string::npos) return {};
    return XmlUnescape(xml.substr(close + 1, end - close - 1));
  }
  return {};
}

std::vector<std::pair<std::string, std::string>> XmlProperties(const std::string& xml) {
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t at = xml.find("<e "); at != std::string::npos; at = xml.find("<e ", at + 1)) {
    const size_t close = xml.find('>', at);
    if (close == std::string::npos) break;
    const std::string attrs = xml.substr(at, close - at);
    const size_t name = attrs.find("name=\"");
    if (name == std::string::npos) continue;
    const size_t nameEnd = attrs.find('"', name + 6);
    if (nameEnd == std::string::npos) continue;
    std::string value;
    if (xml[close - 1] != '/') {
      const size_t end = xml.find("</e>", close + 1);
      if (end == std::string::npos) break;
      value = XmlUnescape(xml.substr(close + 1, end - close - 1));
    }
    out.emplace_back(XmlUnescape(attrs.substr(name + 6, nameEnd - name - 6)), value);
  }
  return out;
}

std::string FormatTimeNs(uint64_t ns) {
  const uint64_t seconds = ns / 1000000000ULL;
  const int64_t days = static_cast<int64_t>(seconds / 86400);
  const unsigned secOfDay = static_cast<unsigned>(seconds % 86400);
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, &y, &m, &d);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u.%09llu", static_cast<long long>(y), m,
                d, secOfDay / 3600, secOfDay / 60 % 60, secOfDay % 60,
                static_cast<unsigned long long>(ns % 1000000000ULL));
  return buf;
}

std::string FormatOffset(int32_t minutes) {
  const char sign = minutes < 0 ? '-' : '+';
  const int32_t a = minutes < 0 ? -minutes : minutes;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", sign, static_cast<int>(a / 60), static_cast<int>(a % 60));
  return buf;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string SafeFileName(const std::string& name, const std::string& fallback) {
  std::string out;
  bool onlyDots = true;
  for (unsigned char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c >= 0x80 || std::string_view("-_.[]()+").find(static_cast<char>(c)) !=
                                       std::string_view::npos;
    out.push_back(keep ? static_cast<char>(c) : '_');
    if (c != '.') onlyDots = false;
  }
  if (out.empty() || onlyDots) return fallback;
  return out;
}

}  // namespace qm::cli
