// MdfBuilder: lays MDF 4 blocks into a byte image with its own encoders, independent of the library's blocks.
#include "mdf_builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "block/byte_order.h"
#include "block/format.h"

namespace qm::test {

namespace {

namespace f = qm::fmt;

// Fixed-record sizes and field offsets (relative to the data section) of the blocks built here.
constexpr size_t kHDLinks = 6, kHDRecord = 32;
constexpr uint64_t kHDStartNs = 0, kHDTz = 8, kHDDst = 10, kHDTimeFlags = 12;
constexpr size_t kFHLinks = 2, kFHRecord = 16;
constexpr size_t kDGLinks = 4, kDGRecord = 8;
constexpr size_t kCGLinks = 6, kCGRecord = 32;
constexpr size_t kCGRecordId = 0, kCGCycleCount = 8, kCGFlags = 16, kCGDataBytes = 24,
                 kCGInvalBytes = 28;
constexpr size_t kCNLinks = 8, kCNRecord = 72;
constexpr size_t kCNType = 0, kCNSync = 1, kCNDataType = 2, kCNBitOffset = 3, kCNByteOffset = 4,
                 kCNBitCount = 8;
constexpr size_t kCCLinks = 4, kCCRecord = 24;
constexpr size_t kCCType = 0, kCCValCount = 6;
constexpr size_t kDZRecord = 24;
constexpr size_t kDZOrgType = 0, kDZZipType = 2, kDZZipParameter = 4, kDZOrgLength = 8,
                 kDZDataLength = 16;
constexpr size_t kDLRecord = 8;
constexpr size_t kDLFlags = 0, kDLCount = 4;
constexpr size_t kHLRecord = 8;

// Copies src into an n-character field, filling the rest with blanks (no terminator when full).
void PutBlankPadded(uint8_t* field, size_t n, const char* src) {
  size_t i = 0;
  for (; src != nullptr && src[i] != '\0' && i < n; ++i) field[i] = static_cast<uint8_t>(src[i]);
  for (; i < n; ++i) field[i] = ' ';
}

void PutTime(std::vector<uint8_t>& rec, uint64_t ns, int16_t tz, int16_t dst, uint8_t flags) {
  StoreLE64(&rec[kHDStartNs], ns);
  StoreLE16(&rec[kHDTz], static_cast<uint16_t>(tz));
  StoreLE16(&rec[kHDDst], static_cast<uint16_t>(dst));
  rec[kHDTimeFlags] = flags;
}

}  // namespace

MdfBuilder::MdfBuilder(uint16_t version, const char* programId) {
  bytes_.assign(f::kIdBlockSize, 0);
  PutBlankPadded(&bytes_[f::kIdFileOffset], f::kIdTextFieldSize, "MDF");
  char vers[20];
  std::snprintf(vers, sizeof vers, "%d.%02d", version / 100, version % 100);
  PutBlankPadded(&bytes_[f::kIdVersOffset], f::kIdTextFieldSize, vers);
  PutBlankPadded(&bytes_[f::kIdProgOffset], f::kIdTextFieldSize, programId);
  StoreLE16(&bytes_[f::kIdVerOffset], version);
  AddBlock("HD", std::vector<uint64_t>(kHDLinks, 0), std::vector<uint8_t>(kHDRecord, 0));
}

void MdfBuilder::SetStartTime(uint64_t startNs, int16_t tzMin, int16_t dstMin, uint8_t timeFlags) {
  std::vector<uint8_t> rec(kHDRecord, 0);
  PutTime(rec, startNs, tzMin, dstMin, timeFlags);
  std::copy(rec.begin(), rec.begin() + kHDTimeFlags + 1, bytes_.begin() + DataPos(f::kHDPosition));
}

uint64_t MdfBuilder::SetHDComment(const std::string& xml) {
  uint64_t md = AddText(xml, true);
  SetLink(f::kHDPosition, f::kHdMdComment, md);
  return md;
}

uint64_t MdfBuilder::AppendAligned(size_t n) {
  uint64_t pos = (bytes_.size() + f::kBlockAlignment - 1) / f::kBlockAlignment * f::kBlockAlignment;
  bytes_.resize(pos + n, 0);
  return pos;
}

uint64_t MdfBuilder::AddBlock(const char* id, const std::vector<uint64_t>& links,
                              const std::vector<uint8_t>& data) {
  const size_t length = f::kBlockHeaderSize + f::kLinkSize * links.size() + data.size();
  const uint64_t pos = AppendAligned(length);
  uint8_t* p = &bytes_[pos];
  p[0] = '#';
  p[1] = '#';
  p[2] = static_cast<uint8_t>(id[0]);
  p[3] = static_cast<uint8_t>(id[1]);
  StoreLE64(p + f::kHeaderLengthOffset, length);
  StoreLE64(p + f::kHeaderLinkCountOffset, links.size());
  uint8_t* q = p + f::kBlockHeaderSize;
  for (uint64_t link : links) {
    StoreLE64(q, link);
    q += f::kLinkSize;
  }
  if (!data.empty()) std::memcpy(q, data.data(), data.size());
  return pos;
}

uint64_t MdfBuilder::Load64(uint64_t pos) const {
  if (pos > bytes_.size() || bytes_.size() - pos < 8) return 0;
  return LoadLE64(&bytes_[pos]);
}

void MdfBuilder::SetLink(uint64_t blockPos, int index, uint64_t value) {
  Patch64(blockPos + f::kBlockHeaderSize + f::kLinkSize * static_cast<uint64_t>(index), value);
}

uint64_t MdfBuilder::GetLink(uint64_t blockPos, int index) const {
  return Load64(blockPos + f::kBlockHeaderSize + f::kLinkSize * static_cast<uint64_t>(index));
}

uint64_t MdfBuilder::DataPos(uint64_t blockPos) const {
  return blockPos + f::kBlockHeaderSize +
         f::kLinkSize * Load64(blockPos + f::kHeaderLinkCountOffset);
}

void MdfBuilder::PatchLE(uint64_t pos, uint64_t v, size_t n) {
  if (bytes_.size() < pos + n) bytes_.resize(pos + n, 0);
  for (size_t i = 0; i < n; ++i) bytes_[pos + i] = static_cast<uint8_t>(v >> (8 * i));
}

void MdfBuilder::SetBlockLength(uint64_t blockPos, uint64_t length) {
  Patch64(blockPos + f::kHeaderLengthOffset, length);
}

uint64_t MdfBuilder::Chain(uint64_t parent, int firstIndex, uint64_t child) {
  uint64_t cur = GetLink(parent, firstIndex);
  if (cur == 0) {
    SetLink(parent, firstIndex, child);
    return child;
  }
  // A chain cannot hold more elements than there are headers in the image; the bound only
  // matters when a test has patched a loop into it.
  for (uint64_t steps = bytes_.size() / f::kBlockHeaderSize; steps != 0; --steps) {
    uint64_t next = GetLink(cur, 0);
    if (next == 0) break;
    cur = next;
  }
  SetLink(cur, 0, child);
  return child;
}

uint64_t MdfBuilder::AddText(const std::string& text, bool md) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return AddBlock(md ? "MD" : "TX", {}, data);
}

uint64_t MdfBuilder::AddFH(uint64_t timeNs, const std::string& xml, int16_t tzMin, int16_t dstMin,
                           uint8_t timeFlags) {
  std::vector<uint64_t> links(kFHLinks, 0);
  if (!xml.empty()) links[f::kFhMdComment] = AddText(xml, true);
  std::vector<uint8_t> rec(kFHRecord, 0);
  PutTime(rec, timeNs, tzMin, dstMin, timeFlags);
  return Chain(f::kHDPosition, f::kHdFhFirst, AddBlock("FH", links, rec));
}

uint64_t MdfBuilder::AddDG(uint8_t recIdSize) {
  std::vector<uint8_t> rec(kDGRecord, 0);
  rec[0] = recIdSize;
  return Chain(f::kHDPosition, f::kHdDgFirst, AddBlock("DG", std::vector<uint64_t>(kDGLinks, 0), rec));
}

uint64_t MdfBuilder::AddCG(uint64_t dg, uint64_t recordId, uint64_t cycleCount, uint32_t dataBytes,
                           uint32_t invalBytes, uint16_t flags, const char* name,
                           const char* comment) {
  std::vector<uint64_t> links(kCGLinks, 0);
  if (name != nullptr) links[f::kCgTxAcqName] = AddText(name);
  if (comment != nullptr) links[f::kCgMdComment] = AddText(comment, true);
  std::vector<uint8_t> rec(kCGRecord, 0);
  StoreLE64(&rec[kCGRecordId], recordId);
  StoreLE64(&rec[kCGCycleCount], cycleCount);
  StoreLE16(&rec[kCGFlags], flags);
  StoreLE32(&rec[kCGDataBytes], dataBytes);
  StoreLE32(&rec[kCGInvalBytes], invalBytes);
  return Chain(dg, f::kDgCgFirst, AddBlock("CG", links, rec));
}

uint64_t MdfBuilder::AddCN(uint64_t cg, const char* name, const char* unit, uint8_t cnType,
                           uint8_t syncType, uint8_t dataType, uint32_t byteOffset,
                           uint32_t bitCount, uint64_t ccPos, uint8_t bitOffset) {
  std::vector<uint64_t> links(kCNLinks, 0);
  if (name != nullptr) links[f::kCnTxName] = AddText(name);
  if (unit != nullptr) links[f::kCnMdUnit] = AddText(unit);
  links[f::kCnCcConversion] = ccPos;
  std::vector<uint8_t> rec(kCNRecord, 0);
  rec[kCNType] = cnType;
  rec[kCNSync] = syncType;
  rec[kCNDataType] = dataType;
  rec[kCNBitOffset] = bitOffset;
  StoreLE32(&rec[kCNByteOffset], byteOffset);
  StoreLE32(&rec[kCNBitCount], bitCount);
  return Chain(cg, f::kCgCnFirst, AddBlock("CN", links, rec));
}

uint64_t MdfBuilder::AddCC(uint8_t type, const std::vector<double>& vals, const char* name) {
  std::vector<uint64_t> links(kCCLinks, 0);
  if (name != nullptr) links[f::kCcTxName] = AddText(name);
  std::vector<uint8_t> data(kCCRecord + 8 * vals.size(), 0);
  data[kCCType] = type;
  StoreLE16(&data[kCCValCount], static_cast<uint16_t>(vals.size()));
  for (size_t i = 0; i < vals.size(); ++i) StoreLEDouble(&data[kCCRecord + 8 * i], vals[i]);
  return AddBlock("CC", links, data);
}

uint64_t MdfBuilder::AddDT(const std::vector<uint8_t>& bytes, const char* type) {
  return AddBlock(type, {}, bytes);
}

uint64_t MdfBuilder::AddDZ(const std::vector<uint8_t>& raw, uint8_t zipType, uint32_t zipParameter) {
  std::vector<uint8_t> src(raw);
  const size_t rows = zipType == f::kZipTransposeDeflate ? raw.size() / zipParameter : 0;
  for (size_t r = 0; r < rows; ++r)  // the tail of raw.size() % zipParameter bytes stays
    for (size_t c = 0; c < zipParameter; ++c) src[c * rows + r] = raw[r * zipParameter + c];
  uLongf packedLength = compressBound(static_cast<uLong>(src.size()));
  std::vector<uint8_t> data(kDZRecord + packedLength, 0);
  if (compress2(&data[kDZRecord], &packedLength, src.data(), static_cast<uLong>(src.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    return 0;
  }
  data.resize(kDZRecord + packedLength);
  data[kDZOrgType] = 'D';
  data[kDZOrgType + 1] = 'T';
  data[kDZZipType] = zipType;
  StoreLE32(&data[kDZZipParameter], zipParameter);
  StoreLE64(&data[kDZOrgLength], raw.size());
  StoreLE64(&data[kDZDataLength], packedLength);
  return AddBlock("DZ", {}, data);
}

void MdfBuilder::SetDZLengths(uint64_t dzPos, uint64_t orgDataLength, uint64_t dataLength) {
  Patch64(DataPos(dzPos) + kDZOrgLength, orgDataLength);
  Patch64(DataPos(dzPos) + kDZDataLength, dataLength);
}

uint64_t MdfBuilder::AddDL(const std::vector<uint64_t>& blocks, uint64_t next, bool equalLength,
                           uint64_t equalLengthValue) {
  std::vector<uint64_t> links = {next};
  links.insert(links.end(), blocks.begin(), blocks.end());
  std::vector<uint64_t> values;
  if (equalLength) values.push_back(equalLengthValue);
  for (uint64_t sum = 0, i = 0; !equalLength && i < blocks.size(); ++i) {
    values.push_back(sum);
    sum += Load64(blocks[i] + f::kHeaderLengthOffset) - (DataPos(blocks[i]) - blocks[i]);
  }
  std::vector<uint8_t> data(kDLRecord + 8 * values.size(), 0);
  data[kDLFlags] = equalLength ? f::kDlFlagEqualLength : 0;
  StoreLE32(&data[kDLCount], static_cast<uint32_t>(blocks.size()));
  for (size_t i = 0; i < values.size(); ++i) StoreLE64(&data[kDLRecord + 8 * i], values[i]);
  return AddBlock("DL", links, data);
}

uint64_t MdfBuilder::AddHL(uint64_t firstDl) {
  return AddBlock("HL", {firstDl}, std::vector<uint8_t>(kHLRecord, 0));
}

void MdfBuilder::SetDGData(uint64_t dg, uint64_t link) { SetLink(dg, f::kDgData, link); }

MdfBuilder::SplitResult MdfBuilder::AddSplitData(const std::vector<uint8_t>& bytes,
                                                 const SplitLayout& layout) {
  const uint64_t step = layout.blockSize == 0 ? bytes.size() : layout.blockSize;
  std::vector<uint64_t> blocks;
  for (uint64_t off = 0; off < bytes.size(); off += step)
    blocks.push_back(AddDT({bytes.begin() + off, bytes.begin() + std::min(off + step, bytes.size())}));
  const size_t perList = layout.blocksPerList == 0 ? std::max<size_t>(blocks.size(), 1) : layout.blocksPerList;
  uint64_t first = 0, last = 0;
  for (size_t at = 0; at == 0 || at < blocks.size(); at += perList) {
    const uint64_t dl = AddDL({blocks.begin() + at, blocks.begin() + std::min(at + perList, blocks.size())}, 0,
                              true, step);
    if (last != 0) SetLink(last, f::kDlNext, dl);
    last = dl;
    if (first == 0) first = dl;
  }
  return {layout.withHL ? AddHL(first) : first};
}

std::vector<uint8_t> MdfBuilder::UnsortedRecords(
    uint8_t recIdSize, const std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& records) {
  std::vector<uint8_t> out;
  for (const auto& [id, payload] : records) {
    // IDs wider than 8 bytes (hostile record ID sizes) are zero-extended.
    for (unsigned i = 0; i < recIdSize; ++i)
      out.push_back(i < 8 ? static_cast<uint8_t>(id >> (8 * i)) : 0);
    out.insert(out.end(), payload.begin(), payload.end());
  }
  return out;
}

bool MdfBuilder::WriteTo(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
  out.close();
  return !out.fail();
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

MdfBuilder LoadImage(const std::string& path) {
  MdfBuilder m;
  EXPECT_TRUE(ReadFileBytes(path, &m.Bytes())) << path;
  return m;
}

uint64_t Field64(const MdfBuilder& m, uint64_t pos) {
  return pos + 8 <= m.Size() ? LoadLE64(&m.Bytes()[pos]) : 0;
}

std::string BlockId(const MdfBuilder& m, uint64_t pos) {
  return pos + 4 <= m.Size() ? std::string(reinterpret_cast<const char*>(&m.Bytes()[pos]), 4) : "";
}

std::vector<uint64_t> ChainOf(const MdfBuilder& m, uint64_t first) {
  std::vector<uint64_t> out;
  std::set<uint64_t> seen;
  for (uint64_t p = first; p != 0 && seen.insert(p).second; p = m.GetLink(p, 0)) out.push_back(p);
  return out;
}

std::string TextOf(const MdfBuilder& m, uint64_t pos) {
  if (pos == 0) return "";
  EXPECT_TRUE(BlockId(m, pos) == "##TX" || BlockId(m, pos) == "##MD") << pos;
  std::string s;
  for (uint64_t p = m.DataPos(pos); p < m.Size() && m.Bytes()[p] != 0; ++p) s.push_back(static_cast<char>(m.Bytes()[p]));
  return s;
}

}  // namespace qm::test
