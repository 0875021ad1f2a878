// Testdata access for interoperability tests: the folder, a small JSON reader and the sidecar summaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qm::test {

// The shared folder of files from other writers (compiled in); HaveTestData is false when it is
// missing, and tests that need it then call GTEST_SKIP.
std::string TestDataDir();
bool HaveTestData();
// TestDataDir() + "/" + name.
std::string TestDataPath(const std::string& name);

// One JSON value. Numbers keep their text as well, so that integers beyond 2^53 (nanosecond time
// stamps) come back exactly through AsU64/AsI64.
struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // the string value, or the number as written
  std::vector<JsonValue> items;                             // array elements
  std::vector<std::pair<std::string, JsonValue>> members;   // object members in file order

  bool IsNull() const { return kind == Kind::kNull; }
  bool IsNumber() const { return kind == Kind::kNumber; }
  bool IsString() const { return kind == Kind::kString; }
  bool IsArray() const { return kind == Kind::kArray; }
  bool IsObject() const { return kind == Kind::kObject; }
  // The member named key, or null when this is not an object or has no such member.
  const JsonValue* Find(const std::string& key) const;
  bool Has(const std::string& key) const { return Find(key) != nullptr; }
  // Member / element access that never fails: a missing one reads as a shared null value.
  const JsonValue& operator[](const std::string& key) const;
  const JsonValue& operator[](size_t index) const;
  size_t Size() const { return kind == Kind::kArray ? items.size() : members.size(); }

  // Conversions return the fallback when the value is of another kind (or out of range).
  double AsDouble(double fallback = 0) const;
  uint64_t AsU64(uint64_t fallback = 0) const;
  int64_t AsI64(int64_t fallback = 0) const;
  bool AsBool(bool fallback = false) const { return kind == Kind::kBool ? boolean : fallback; }
  std::string AsString(const std::string& fallback = "") const;
};

// Parses a complete JSON text (RFC 8259; nesting deeper than 256 is refused). False on any error;
// *out may then hold a partial tree.
bool ParseJson(const std::string& text, JsonValue* out);
bool LoadJsonFile(const std::string& path, JsonValue* out);

// What a sidecar states about one channel. Fields absent from a sidecar keep their defaults.
struct SidecarChannel {
  std::string name;
  std::string unit;         // empty when null or absent
  bool master = false;
  int64_t byteOffset = -1;  // -1: not stated
  uint32_t bitOffset = 0;
  int64_t bitCount = -1;    // -1: not stated
  int dataType = -1;        // MDF cn_data_type code, -1 when not stated or unknown
  std::string dataTypeName; // as written when the sidecar names it
  int conversionType = -1;  // cc_type; -1 when there is no conversion; 1 for "Linear"
  bool hasLinear = false;   // factor and offset are stated
  double factor = 1, offset = 0;
  uint64_t samples = 0;
  bool hasSum = false;
  double sum = 0;                 // of engineering values
  std::vector<double> first, last;  // leading / trailing engineering values (one or more)
  std::string sha256;             // empty when absent
};

struct SidecarGroup {
  std::string name;        // acquisition name
  uint64_t recordId = 0;
  uint64_t cycleCount = 0;
  uint64_t recordSize = 0;  // stated, or derived from the channels' byte and bit ranges
  bool recordSizeStated = false;
  std::string recordsSha256;  // empty when absent
  std::vector<SidecarChannel> channels;
};

struct SidecarDataGroup {
  uint8_t recordIdSize = 0;
  std::vector<SidecarGroup> groups;
};

// A sidecar read in either of the two shapes found in the testdata folder. root keeps the whole
// tree for fields the summary does not carry.
struct Sidecar {
  JsonValue root;
  std::string file;
  std::string version;          // "4.00"
  uint16_t versionNumber = 0;   // 400
  std::string programId;
  uint64_t startTimeNs = 0;
  std::vector<SidecarDataGroup> dataGroups;

  size_t ChannelGroupCount() const;
};

// Reads path into *out; false when the file cannot be read or parsed or lacks "data_groups".
bool LoadSidecar(const std::string& path, Sidecar* out);

}  // namespace qm::test
