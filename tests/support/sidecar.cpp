// Testdata access: a strict little JSON parser and the reading of both sidecar shapes into summaries.
#include "sidecar.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>

#include "mdf_builder.h"

namespace qm::test {

std::string TestDataDir() {
#ifdef QM_TESTDATA_DIR
  return QM_TESTDATA_DIR;
#else
  return std::string();
#endif
}

bool HaveTestData() {
  const std::string dir = TestDataDir();
  std::error_code ec;
  return !dir.empty() && std::filesystem::is_directory(dir, ec);
}

std::string TestDataPath(const std::string& name) { return TestDataDir() + "/" + name; }

// ---- JsonValue ----

namespace {
const JsonValue kNullValue;
}  // namespace

const JsonValue* JsonValue::Find(const std::string& key) const {
  if (kind != Kind::kObject) return nullptr;
  for (const auto& m : members)
    if (m.first == key) return &m.second;
  return nullptr;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
  const JsonValue* v = Find(key);
  return v != nullptr ? *v : kNullValue;
}

const JsonValue& JsonValue::operator[](size_t index) const {
  return kind == Kind::kArray && index < items.size() ? items[index] : kNullValue;
}

double JsonValue::AsDouble(double fallback) const {
  return kind == Kind::kNumber ? number : fallback;
}

uint64_t JsonValue::AsU64(uint64_t fallback) const {
  if (kind != Kind::kNumber) return fallback;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec == std::errc() && end == text.data() + text.size()) return v;
  // Written with a fraction or exponent: take it when it is a whole number in range.
  if (number >= 0 && number < 18446744073709551616.0 && std::floor(number) == number)
    return static_cast<uint64_t>(number);
  return fallback;
}

int64_t JsonValue::AsI64(int64_t fallback) const {
  if (kind != Kind::kNumber) return fallback;
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec == std::errc() && end == text.data() + text.size()) return v;
  if (number >= -9223372036854775808.0 && number < 9223372036854775808.0 &&
      std::floor(number) == number)
    return static_cast<int64_t>(number);
  return fallback;
}

std::string JsonValue::AsString(const std::string& fallback) const {
  return kind == Kind::kString ? text : fallback;
}

// ---- Parser ----

namespace {

constexpr int kMaxDepth = 256;

class JsonParser {
 public:
  explicit JsonParser(const std::string& s) : s_(s) {}

  bool ParseDocument(JsonValue* out) {
    if (!Value(out, 0)) return false;
    SkipSpace();
    return pos_ == s_.size();
  }

 private:
  void SkipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }

  bool Literal(const char* word) {
    size_t n = std::char_traits<char>::length(word);
    if (s_.compare(pos_, n, word) != 0) return false;
    pos_ += n;
    return true;
  }

  bool Value(JsonValue* out, int depth) {
    if (depth > kMaxDepth) return false;
    SkipSpace();
    if (pos_ >= s_.size()) return false;
    *out = JsonValue();
    switch (s_[pos_]) {
      case '{': return Object(out, depth);
      case '[': return Array(out, depth);
      case '"': out->kind = JsonValue::Kind::kString; return String(&out->text);
      case 't': out->kind = JsonValue::Kind::kBool; out->boolean = true; return Literal("true");
      case 'f': out->kind = JsonValue::Kind::kBool; return Literal("false");
      case 'n': return Literal("null");
      default: return Number(out);
    }
  }

  bool Object(JsonValue* out, int depth) {
    out->kind = JsonValue::Kind::kObject;
    ++pos_;  // '{'
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipSpace();
      std::string key;
      if (pos_ >= s_.size() || s_[pos_] != '"' || !String(&key)) return false;
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != ':') return false;
      ++pos_;
      out->members.emplace_back(std::move(key), JsonValue());
      if (!Value(&out->members.back().second, depth + 1)) return false;
      SkipSpace();
      if (pos_ >= s_.size()) return false;
      if (s_[pos_] == '}') {
        ++pos_;
        return true;
      }
      if (s_[pos_++] != ',') return false;
    }
  }

  bool Array(JsonValue* out, int depth) {
    out->kind = JsonValue::Kind::kArray;
    ++pos_;  // '['
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      out->items.emplace_back();
      if (!Value(&out->items.back(), depth + 1)) return false;
      SkipSpace();
      if (pos_ >= s_.size()) return false;
      if (s_[pos_] == ']') {
        ++pos_;
        return true;
      }
      if (s_[pos_++] != ',') return false;
    }
  }

  bool Hex4(uint32_t* v) {
    if (s_.size() - pos_ < 4) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      *v <<= 4;
      if (c >= '0' && c <= '9') *v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') *v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') *v |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  static void PutUtf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // At the opening quote; leaves pos_ behind the closing one. Raw bytes are taken as they are.
  bool String(std::string* out) {
    ++pos_;
    for (;;) {
      if (pos_ >= s_.size()) return false;
      unsigned char c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= s_.size()) return false;
      switch (s_[pos_++]) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(&cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
            size_t save = pos_;
            pos_ += 2;
            uint32_t low;
            if (!Hex4(&low)) return false;
            if (low >= 0xDC00 && low < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = save;  // the next escape stands on its own
            }
          }
          if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;  // a lone surrogate
          PutUtf8(out, cp);
          break;
        }
        default: return false;
      }
    }
  }

  bool Digits() {
    size_t start = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  bool Number(JsonValue* out) {
    const size_t start = pos_;
    bool negativeExponent = false;
    if (s_[pos_] == '-') ++pos_;
    if (pos_ < s_.size() && s_[pos_] == '0') {
      ++pos_;
    } else if (!Digits()) {
      return false;
    }
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (!Digits()) return false;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) negativeExponent = s_[pos_++] == '-';
      if (!Digits()) return false;
    }
    out->kind = JsonValue::Kind::kNumber;
    out->text = s_.substr(start, pos_ - start);
    // from_chars is independent of the process locale, unlike strtod.
    auto [end, ec] = std::from_chars(out->text.data(), out->text.data() + out->text.size(), out->number);
    if (ec == std::errc::result_out_of_range) {
      out->number = negativeExponent ? 0.0 : std::numeric_limits<double>::infinity();
      if (out->text[0] == '-') out->number = -out->number;
    } else if (ec != std::errc() || end != out->text.data() + out->text.size()) {
      return false;
    }
    return true;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

}  // namespace

bool ParseJson(const std::string& text, JsonValue* out) {
  JsonParser parser(text);
  return parser.ParseDocument(out);
}

bool LoadJsonFile(const std::string& path, JsonValue* out) {
  std::vector<uint8_t> bytes;
  if (!ReadFileBytes(path, &bytes)) return false;
  return ParseJson(std::string(bytes.begin(), bytes.end()), out);
}

// ---- Sidecar summaries ----

namespace {

int DataTypeCode(const std::string& name) {
  static const char* const kNames[] = {"UnsignedIntegerLe", "UnsignedIntegerBe", "SignedIntegerLe",
                                       "SignedIntegerBe", "FloatLe", "FloatBe"};
  for (int i = 0; i < 6; ++i)
    if (name == kNames[i]) return i;
  return -1;
}

// A value stated either as one number or as an array of numbers.
std::vector<double> Numbers(const JsonValue& v) {
  std::vector<double> out;
  if (v.IsNumber()) out.push_back(v.number);
  for (const JsonValue& item : v.items) out.push_back(item.AsDouble());
  return out;
}

SidecarChannel ReadChannel(const JsonValue& j) {
  SidecarChannel cn;
  cn.name = j["name"].AsString();
  cn.unit = j["unit"].AsString();
  cn.master = j["master"].AsBool() || j["type"].AsString() == "Master";
  cn.byteOffset = j["byte_offset"].AsI64(-1);
  cn.bitOffset = static_cast<uint32_t>(j["bit_offset"].AsU64(0));
  cn.bitCount = j["bit_count"].AsI64(-1);
  const JsonValue& type = j["data_type"];
  if (type.IsNumber()) {
    cn.dataType = static_cast<int>(type.AsI64(-1));
  } else if (type.IsString()) {
    cn.dataTypeName = type.text;
    cn.dataType = DataTypeCode(type.text);
  }
  const JsonValue& cc = j["conversion"];
  if (cc.IsObject()) {
    cn.conversionType = static_cast<int>(cc["type"].AsI64(-1));
    if (cc.Has("factor") || cc.Has("offset")) {
      cn.hasLinear = true;
      cn.factor = cc["factor"].AsDouble(1);
      cn.offset = cc["offset"].AsDouble(0);
    }
  } else if (cc.AsString() == "Linear") {
    cn.conversionType = 1;
  }
  cn.samples = j.Has("count") ? j["count"].AsU64() : j["samples"].AsU64();
  // Engineering values: under "eng" in one shape, directly on the channel in the other.
  const JsonValue& eng = j.Has("eng") ? j["eng"] : j;
  cn.hasSum = eng["sum"].IsNumber();
  cn.sum = eng["sum"].AsDouble();
  cn.first = Numbers(eng["first"]);
  cn.last = Numbers(eng["last"]);
  cn.sha256 = j["sha256"].AsString();
  return cn;
}

SidecarGroup ReadGroup(const JsonValue& j) {
  SidecarGroup cg;
  cg.name = j.Has("acq_name") ? j["acq_name"].AsString() : j["name"].AsString();
  cg.recordId = j["record_id"].AsU64();
  cg.cycleCount = j["cycle_count"].AsU64();
  cg.recordsSha256 = j["records_sha256"].AsString();
  for (const JsonValue& cn : j["channels"].items) cg.channels.push_back(ReadChannel(cn));
  if (j["record_size"].IsNumber()) {
    cg.recordSize = j["record_size"].AsU64();
    cg.recordSizeStated = true;
  } else {
    for (const SidecarChannel& cn : cg.channels) {
      if (cn.byteOffset < 0 || cn.bitCount < 0) continue;
      uint64_t end = static_cast<uint64_t>(cn.byteOffset) + (cn.bitOffset + static_cast<uint64_t>(cn.bitCount) + 7) / 8;
      if (end > cg.recordSize) cg.recordSize = end;
    }
  }
  return cg;
}

}  // namespace

size_t Sidecar::ChannelGroupCount() const {
  size_t n = 0;
  for (const SidecarDataGroup& dg : dataGroups) n += dg.groups.size();
  return n;
}

bool LoadSidecar(const std::string& path, Sidecar* out) {
  *out = Sidecar();
  if (!LoadJsonFile(path, &out->root)) return false;
  const JsonValue& r = out->root;
  if (!r["data_groups"].IsArray()) return false;
  out->file = r["file"].AsString();
  out->version = r["version"].AsString();
  out->programId = r["program_id"].AsString();
  if (r.Has("version_number")) {
    out->versionNumber = static_cast<uint16_t>(r["version_number"].AsU64());
  } else {
    out->versionNumber =
        static_cast<uint16_t>(r["main_version"].AsU64() * 100 + r["minor_version"].AsU64());
  }
  out->startTimeNs = r.Has("header") ? r["header"]["start_time_ns"].AsU64()
                                     : r["start_time_ns"].AsU64();
  for (const JsonValue& dgj : r["data_groups"].items) {
    SidecarDataGroup dg;
    dg.recordIdSize = static_cast<uint8_t>(dgj["record_id_size"].AsU64());
    for (const JsonValue& cgj : dgj["channel_groups"].items) dg.groups.push_back(ReadGroup(cgj));
    out->dataGroups.push_back(std::move(dg));
  }
  return true;
}

}  // namespace qm::test
