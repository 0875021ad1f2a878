// Decoding channel values: integers at any bit position, IEEE floats, virtual record indices.
#include "channel_values.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "cli_text.h"

namespace qm::cli {
namespace {

// cn_flags bit 0: every value is invalid; bit 1: the channel has an invalidation bit.
constexpr uint32_t kCnFlagAllInvalid = 1;
constexpr uint32_t kCnFlagInvalBitValid = 2;

// Why the channel cannot become a column, or "" when it can.
std::string Refusal(const ChannelInfo& cn, const ChannelGroupInfo& cg, Column* c) {
  if (cn.isArray) return "array channels are not exported";
  if (cn.IsVirtual()) {
    c->kind = Column::Kind::kRecordIndex;
    return {};
  }
  if (cn.type != 0 && cn.type != 2 && cn.type != 4 && cn.type != 5)
    return "channel type " + std::to_string(cn.type) + " holds no fixed-length value";
  if ((cn.flags & kCnFlagAllInvalid) != 0) return "all its values are flagged invalid";
  const uint8_t t = cn.dataType;
  if (t > 5) return "data type " + std::to_string(t) + " is not numeric";
  c->bigEndian = (t % 2) == 1;
  if (t >= 4) {
    if (cn.bitOffset != 0 || (cn.bitCount != 32 && cn.bitCount != 64))
      return "a " + std::to_string(cn.bitCount) + "-bit float is not supported";
    c->kind = Column::Kind::kFloat;
  } else {
    if (cn.bitCount == 0 || cn.bitCount > 64)
      return "a " + std::to_string(cn.bitCount) + "-bit integer is not supported";
    c->kind = t >= 2 ? Column::Kind::kSigned : Column::Kind::kUnsigned;
  }
  c->byteCount = (uint32_t{cn.bitOffset} + cn.bitCount + 7) / 8;
  if (uint64_t{cn.byteOffset} + c->byteCount > cg.dataBytes)
    return "its bytes lie outside the record";
  return {};
}

uint64_t RawBits(const Column& c, const uint8_t* record) {
  const ChannelInfo& cn = *c.channel;
  uint8_t bytes[9] = {};
  std::memcpy(bytes, record + cn.byteOffset, c.byteCount);
  if (c.bigEndian) std::reverse(bytes, bytes + c.byteCount);
  uint64_t lo;
  std::memcpy(&lo, bytes, 8);  // little-endian host
  uint64_t v = lo >> cn.bitOffset;
  if (cn.bitOffset != 0) v |= uint64_t{bytes[8]} << (64 - cn.bitOffset);
  if (cn.bitCount < 64) v &= (uint64_t{1} << cn.bitCount) - 1;
  return v;
}

bool IsInvalid(const Column& c, const uint8_t* record) {
  return c.hasInvalBit && ((record[c.invalBit / 8] >> (c.invalBit % 8)) & 1) != 0;
}

}  // namespace

std::string Column::Header() const {
  std::string h = channel->name.empty() ? "(unnamed)" : channel->name;
  if (!channel->unit.empty()) h += " [" + channel->unit + "]";
  if (!convert) h += " (raw; conversion " + channel->conversion.Describe() + " not applied)";
  return h;
}

std::vector<Column> MakeColumns(const ChannelGroupInfo& cg, std::vector<std::string>* skipped) {
  std::vector<Column> columns;
  bool masterPlaced = false;
  for (const ChannelInfo& cn : cg.channels) {
    Column c;
    c.channel = &cn;
    const std::string why = Refusal(cn, cg, &c);
    if (!why.empty()) {
      skipped->push_back("channel '" + cn.name + "' of group '" + cg.name + "' skipped: " + why);
      continue;
    }
    c.convert = cn.conversion.Applicable();
    const uint64_t bit = uint64_t{cg.dataBytes} * 8 + cn.invalBitPos;
    c.hasInvalBit = (cn.flags & kCnFlagInvalBitValid) != 0 && bit / 8 < cg.RecordLength();
    c.invalBit = bit;
    if (cn.IsMaster() && !masterPlaced) {
      columns.insert(columns.begin(), c);
      masterPlaced = true;
    } else {
      columns.push_back(c);
    }
  }
  return columns;
}

bool ValueOf(const Column& c, const uint8_t* record, uint64_t index, double* value) {
  if (IsInvalid(c, record)) return false;
  double raw;
  switch (c.kind) {
    case Column::Kind::kRecordIndex: raw = static_cast<double>(index); break;
    case Column::Kind::kUnsigned: raw = static_cast<double>(RawBits(c, record)); break;
    case Column::Kind::kSigned: {
      const uint32_t n = c.channel->bitCount;
      uint64_t v = RawBits(c, record);
      if (n < 64 && ((v >> (n - 1)) & 1) != 0) v |= ~uint64_t{0} << n;  // sign extension
      raw = static_cast<double>(static_cast<int64_t>(v));
      break;
    }
    case Column::Kind::kFloat: {
      const uint64_t bits = RawBits(c, record);
      if (c.channel->bitCount == 32) {
        float f;
        const auto b32 = static_cast<uint32_t>(bits);
        std::memcpy(&f, &b32, sizeof f);
        raw = f;
      } else {
        std::memcpy(&raw, &bits, sizeof raw);
      }
      break;
    }
    default: return false;
  }
  *value = c.convert ? c.channel->conversion.Apply(raw) : raw;
  return true;
}

void AppendValue(const Column& c, const uint8_t* record, uint64_t index, std::string& out) {
  char buf[40];
  // Integers that are not scaled are printed exactly, whatever their width.
  const bool exactInteger = c.kind != Column::Kind::kFloat &&
                            (!c.convert || !c.channel->conversion.IsLinear());
  if (exactInteger) {
    if (IsInvalid(c, record)) return;
    uint64_t v = c.kind == Column::Kind::kRecordIndex ? index : RawBits(c, record);
    if (c.kind == Column::Kind::kSigned) {
      const uint32_t n = c.channel->bitCount;
      if (n < 64 && ((v >> (n - 1)) & 1) != 0) v |= ~uint64_t{0} << n;
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(static_cast<int64_t>(v)));
    } else {
      std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
    }
    out += buf;
    return;
  }
  double v;
  if (!ValueOf(c, record, index, &v)) return;
  // The shortest text that reads back as the same double, independent of the locale.
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, ec == std::errc() ? end : buf);
}

}  // namespace qm::cli
