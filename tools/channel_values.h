// Decoding channel values from record bytes for the command-line tool's export.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mdf_reader.h"

namespace qm::cli {

// One exported column: a channel and how its values are taken from a record.
struct Column {
  const ChannelInfo* channel = nullptr;
  enum class Kind { kUnsigned, kSigned, kFloat, kRecordIndex } kind = Kind::kUnsigned;
  bool bigEndian = false;
  uint32_t byteCount = 0;  // bytes touched from cn_byte_offset on
  bool convert = true;     // the conversion is applied (none, identity or linear)
  bool hasInvalBit = false;
  uint64_t invalBit = 0;   // bit position in the record (from its first data byte)

  // "name [unit]", with a note when the values stay raw.
  std::string Header() const;
};

// Columns of a group: the first master channel first, then the other channels in order.
// Channels that cannot be exported are left out and described in skipped, one line each.
std::vector<Column> MakeColumns(const ChannelGroupInfo& cg, std::vector<std::string>* skipped);

// Appends the value of column c in record (RecordLength bytes) at record index to out; an
// invalid value appends nothing.
void AppendValue(const Column& c, const uint8_t* record, uint64_t index, std::string& out);

// The value as a double (physical where the column converts), for callers that compute with
// it. False when the value is flagged invalid.
bool ValueOf(const Column& c, const uint8_t* record, uint64_t index, double* value);

}  // namespace qm::cli
