// MdfBuilder: lays MDF 4 blocks into a byte image with its own encoders, independent of the library's blocks.
#include "mdf_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

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
constexpr size_t kHLFlags = 0, kHLZipType = 2;

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
  PatchBytes(DataPos(f::kHDPosition), rec.data(), kHDTimeFlags + 1);
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

void MdfBuilder::PatchBytes(uint64_t pos, const void* src, size_t n) {
  if (bytes_.size() < pos + n) bytes_.resize(pos + n, 0);
  if (n != 0) std::memcpy(&bytes_[pos], src, n);
}

void MdfBuilder::PatchLE(uint64_t pos, uint64_t v, size_t n) {
  uint8_t b[8];
  StoreLE64(b, v);
  PatchBytes(pos, b, n);
}

void MdfBuilder::SetBlockLength(uint64_t blockPos, uint64_t length) {
  Patch64(blockPos + f::kHeaderLengthOffset, length);
}

void MdfBuilder::AppendRaw(const std::vector<uint8_t>& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void MdfBuilder::Chain(uint64_t parent, int firstIndex, uint64_t child) {
  uint64_t cur = GetLink(parent, firstIndex);
  if (cur == 0) {
    SetLink(parent, firstIndex, child);
    return;
  }
  // A chain cannot hold more elements than there are headers in the image; the bound only
  // matters when a test has patched a loop into it.
  for (uint64_t steps = bytes_.size() / f::kBlockHeaderSize; steps != 0; --steps) {
    uint64_t next = GetLink(cur, 0);
    if (next == 0) break;
    cur = next;
  }
  SetLink(cur, 0, child);
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
  uint64_t fh = AddBlock("FH", links, rec);
  Chain(f::kHDPosition, f::kHdFhFirst, fh);
  return fh;
}

uint64_t MdfBuilder::AddDG(uint8_t recIdSize) {
  std::vector<uint8_t> rec(kDGRecord, 0);
  rec[0] = recIdSize;
  uint64_t dg = AddBlock("DG", std::vector<uint64_t>(kDGLinks, 0), rec);
  Chain(f::kHDPosition, f::kHdDgFirst, dg);
  return dg;
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
  uint64_t cg = AddBlock("CG", links, rec);
  Chain(dg, f::kDgCgFirst, cg);
  return cg;
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
  uint64_t cn = AddBlock("CN", links, rec);
  Chain(cg, f::kCgCnFirst, cn);
  return cn;
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

uint64_t MdfBuilder::AddDZ(const std::vector<uint8_t>& raw, uint8_t zipType,
                           uint32_t zipParameter, const char* orgType) {
  std::vector<uint8_t> src = zipType == f::kZipTransposeDeflate ? Transpose(raw, zipParameter) : raw;
  uLongf packedLength = compressBound(static_cast<uLong>(src.size()));
  std::vector<uint8_t> data(kDZRecord + packedLength, 0);
  if (compress2(&data[kDZRecord], &packedLength, src.data(), static_cast<uLong>(src.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    return 0;
  }
  data.resize(kDZRecord + packedLength);
  data[kDZOrgType] = static_cast<uint8_t>(orgType[0]);
  data[kDZOrgType + 1] = static_cast<uint8_t>(orgType[1]);
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

uint64_t MdfBuilder::DataLengthOf(uint64_t blockPos) const {
  if (blockPos + 4 > bytes_.size()) return 0;
  if (bytes_[blockPos + 2] == 'D' && bytes_[blockPos + 3] == 'Z')
    return Load64(DataPos(blockPos) + kDZOrgLength);
  const uint64_t head = DataPos(blockPos) - blockPos;
  const uint64_t length = Load64(blockPos + f::kHeaderLengthOffset);
  return length > head ? length - head : 0;
}

uint64_t MdfBuilder::AddDL(const std::vector<uint64_t>& blocks, uint64_t next, bool equalLength,
                           uint64_t equalLengthValue, const std::vector<uint64_t>& offsets) {
  std::vector<uint64_t> links;
  links.push_back(next);
  links.insert(links.end(), blocks.begin(), blocks.end());
  std::vector<uint64_t> values;
  if (equalLength) {
    if (equalLengthValue == kFromFirstBlock)
      equalLengthValue = blocks.empty() ? 0 : DataLengthOf(blocks[0]);
    values.push_back(equalLengthValue);
  } else if (!offsets.empty()) {
    values = offsets;
  } else {
    uint64_t sum = 0;
    for (uint64_t b : blocks) {
      values.push_back(sum);
      sum += DataLengthOf(b);
    }
  }
  std::vector<uint8_t> data(kDLRecord + 8 * values.size(), 0);
  data[kDLFlags] = equalLength ? f::kDlFlagEqualLength : 0;
  StoreLE32(&data[kDLCount], static_cast<uint32_t>(blocks.size()));
  for (size_t i = 0; i < values.size(); ++i) StoreLE64(&data[kDLRecord + 8 * i], values[i]);
  return AddBlock("DL", links, data);
}

uint64_t MdfBuilder::AddHL(uint64_t firstDl, uint16_t flags, uint8_t zipType) {
  std::vector<uint8_t> rec(kHLRecord, 0);
  StoreLE16(&rec[kHLFlags], flags);
  rec[kHLZipType] = zipType;
  return AddBlock("HL", {firstDl}, rec);
}

void MdfBuilder::SetDGData(uint64_t dg, uint64_t link) { SetLink(dg, f::kDgData, link); }

MdfBuilder::SplitResult MdfBuilder::AddSplitData(const std::vector<uint8_t>& bytes,
                                                 const SplitLayout& layout) {
  SplitResult result;
  const uint64_t step = layout.blockSize == 0 ? bytes.size() : layout.blockSize;
  for (uint64_t off = 0; off < bytes.size(); off += step) {
    const uint64_t n = std::min<uint64_t>(step, bytes.size() - off);
    std::vector<uint8_t> chunk(bytes.begin() + off, bytes.begin() + off + n);
    uint64_t block = layout.compress
                         ? AddDZ(chunk, layout.zipType, layout.zipParameter, layout.blockType)
                         : AddDT(chunk, layout.blockType);
    if (block == 0) return SplitResult{};
    result.blocks.push_back(block);
  }

  const size_t perList = layout.blocksPerList == 0 ? std::max<size_t>(result.blocks.size(), 1)
                                                   : layout.blocksPerList;
  const uint64_t equal = layout.blockSize == 0 ? kFromFirstBlock : layout.blockSize;
  uint64_t dataOffset = 0;
  size_t first = 0;
  do {
    const size_t last = std::min(first + perList, result.blocks.size());
    std::vector<uint64_t> listed(result.blocks.begin() + first, result.blocks.begin() + last);
    std::vector<uint64_t> offsets;
    for (uint64_t b : listed) {
      offsets.push_back(dataOffset);
      dataOffset += DataLengthOf(b);
    }
    uint64_t dl = AddDL(listed, 0, layout.equalLength, equal, offsets);
    if (!result.lists.empty()) SetLink(result.lists.back(), f::kDlNext, dl);
    result.lists.push_back(dl);
    first = last;
  } while (first < result.blocks.size());

  result.root = layout.withHL ? AddHL(result.lists.front(), 0,
                                      layout.compress ? layout.zipType : 0)
                              : result.lists.front();
  return result;
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

std::vector<uint8_t> MdfBuilder::Transpose(const std::vector<uint8_t>& bytes, uint32_t columns) {
  if (columns == 0) return bytes;
  std::vector<uint8_t> out(bytes);
  const size_t rows = bytes.size() / columns;
  for (size_t r = 0; r < rows; ++r)
    for (size_t c = 0; c < columns; ++c) out[c * rows + r] = bytes[r * columns + c];
  return out;  // the tail of bytes.size() % columns bytes was copied unchanged
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

}  // namespace qm::test
