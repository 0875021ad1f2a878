// MdfBuilder: an independent test-side MDF 4 writer that lays out ordinary, unusual and hostile files byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qm::test {

// Builds a whole MDF 4 file in memory. It shares no code with the library's block classes, so files
// it writes cross-check the library's readers. Every block is appended at the next multiple of 8
// behind the last one (the gap is zero) and never moves; links and fields can be patched afterwards,
// which is how tests make damaged files. All positions are absolute file offsets.
//
// Nothing here validates its arguments: a test that asks for a nonsense field gets it.
class MdfBuilder {
 public:
  // Writes the 64-byte identification block (version v as "v/100.v%100" and id_ver, the program id
  // cut or blank-filled to 8 characters) and an empty HD at offset 64.
  explicit MdfBuilder(uint16_t version = 400, const char* programId = "testgen");

  // ---- Header block ----
  void SetStartTime(uint64_t startNs, int16_t tzMin = 0, int16_t dstMin = 0, uint8_t timeFlags = 0);
  // Appends an ##MD block with the XML and links it as hd_md_comment; returns the MD's position.
  uint64_t SetHDComment(const std::string& xml);

  // ---- Generic blocks and patching ----
  // Appends "##" + id[0..1] with the links and the data section (fixed record and variable part);
  // the length field is 24 + 8 * links + data.size(). Returns the block's position.
  uint64_t AddBlock(const char* id, const std::vector<uint64_t>& links, const std::vector<uint8_t>& data);
  // Link `index` of the block at blockPos; the index is not checked against the link count.
  void SetLink(uint64_t blockPos, int index, uint64_t value);
  uint64_t GetLink(uint64_t blockPos, int index) const;
  // Position of the block's data section: blockPos + 24 + 8 * (its link count field).
  uint64_t DataPos(uint64_t blockPos) const;
  // Little-endian numbers of 1, 2, 4 and 8 bytes, overwritten in place.
  void Patch8(uint64_t pos, uint8_t v) { PatchLE(pos, v, 1); }
  void Patch16(uint64_t pos, uint16_t v) { PatchLE(pos, v, 2); }
  void Patch32(uint64_t pos, uint32_t v) { PatchLE(pos, v, 4); }
  void Patch64(uint64_t pos, uint64_t v) { PatchLE(pos, v, 8); }
  // Overwrites the header's length field (for blocks that claim more or less than they hold).
  void SetBlockLength(uint64_t blockPos, uint64_t length);
  std::vector<uint8_t>& Bytes() { return bytes_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  uint64_t Size() const { return bytes_.size(); }

  // ---- Descriptive and hierarchy blocks ----
  // ##TX (or ##MD) with the text bytes and one terminating zero.
  uint64_t AddText(const std::string& text, bool md = false);
  // ##FH appended to the history chain (hd_fh_first, then fh_fh_next); an empty xml gives no comment.
  uint64_t AddFH(uint64_t timeNs, const std::string& xml, int16_t tzMin = 0, int16_t dstMin = 0,
                 uint8_t timeFlags = 0);
  // ##DG appended to the data-group chain (hd_dg_first, then dg_dg_next).
  uint64_t AddDG(uint8_t recIdSize);
  // ##CG appended to the group chain of dg; name becomes a ##TX acquisition name, comment an ##MD.
  uint64_t AddCG(uint64_t dg, uint64_t recordId, uint64_t cycleCount, uint32_t dataBytes,
                 uint32_t invalBytes = 0, uint16_t flags = 0, const char* name = nullptr,
                 const char* comment = nullptr);
  // ##CN appended to the channel chain of cg. name and unit become ##TX blocks (none when null);
  // ccPos 0 leaves the conversion link empty.
  uint64_t AddCN(uint64_t cg, const char* name, const char* unit, uint8_t cnType, uint8_t syncType,
                 uint8_t dataType, uint32_t byteOffset, uint32_t bitCount, uint64_t ccPos = 0,
                 uint8_t bitOffset = 0);
  // ##CC with cc_type, cc_val_count = vals.size() and the values; a linear one is {offset, factor}.
  uint64_t AddCC(uint8_t type, const std::vector<double>& vals, const char* name = nullptr);

  // ---- Data blocks ----
  // ##DT (or another two-letter data type such as "SD", "RD") holding the bytes.
  uint64_t AddDT(const std::vector<uint8_t>& bytes, const char* type = "DT");
  // ##DZ of the bytes: zip type 1 transposes them into zipParameter columns first, then the
  // result is deflated in the zlib format. dz_org_data_length is raw.size(). 0 if zlib fails.
  uint64_t AddDZ(const std::vector<uint8_t>& raw, uint8_t zipType, uint32_t zipParameter);
  // Rewrites dz_org_data_length and dz_data_length of the ##DZ at dzPos (the stored payload stays).
  void SetDZLengths(uint64_t dzPos, uint64_t orgDataLength, uint64_t dataLength);
  // ##DL listing the blocks. With equalLength, dl_flags bit 0 and that one length; without,
  // dl_flags 0 and one offset per block, the running sum of the listed blocks' lengths from 0.
  uint64_t AddDL(const std::vector<uint64_t>& blocks, uint64_t next = 0, bool equalLength = true,
                 uint64_t equalLengthValue = 0);
  // ##HL in front of a DL chain.
  uint64_t AddHL(uint64_t firstDl);
  void SetDGData(uint64_t dg, uint64_t link);

  // How AddSplitData lays a byte sequence out.
  struct SplitLayout {
    uint64_t blockSize = 0;      // data bytes per ##DT, the last one shorter; 0: one block
    uint32_t blocksPerList = 0;  // blocks per ##DL (equal length); 0: all in one list
    bool withHL = false;         // put an ##HL in front of the list chain
  };
  struct SplitResult {
    uint64_t root = 0;  // what dg_data should point to: the ##HL or the first ##DL
  };
  // Cuts bytes into ##DT blocks listed in a chain of ##DL blocks. Empty bytes give one empty list.
  SplitResult AddSplitData(const std::vector<uint8_t>& bytes, const SplitLayout& layout);

  // Record ID (low recIdSize bytes, little-endian; at most 8) followed by the payload, per record.
  static std::vector<uint8_t> UnsortedRecords(
      uint8_t recIdSize, const std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& records);
  // Writes the image to path (created or truncated). False on any I/O failure.
  bool WriteTo(const std::string& path) const;

 private:
  uint64_t AppendAligned(size_t n);
  void PatchLE(uint64_t pos, uint64_t v, size_t n);
  // Appends child to the chain starting at parent's link `firstIndex`, following link 0 of each element.
  uint64_t Chain(uint64_t parent, int firstIndex, uint64_t child);  // returns child
  uint64_t Load64(uint64_t pos) const;

  std::vector<uint8_t> bytes_;
};

// Reads a whole file; false when it cannot be opened or read.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* out);

// Reading images back (a file read into a builder is followed by position): a 64-bit field
// and the block ID at pos ("" or 0 past the end); the elements of the chain starting at first,
// following link 0 (a repeated element ends it); the text of the ##TX or ##MD at pos up to
// its first zero byte ("" for link 0).
MdfBuilder LoadImage(const std::string& path);
uint64_t Field64(const MdfBuilder& m, uint64_t pos);
std::string BlockId(const MdfBuilder& m, uint64_t pos);
std::vector<uint64_t> ChainOf(const MdfBuilder& m, uint64_t first);
std::string TextOf(const MdfBuilder& m, uint64_t pos);

// A sink for the library's record splitter that collects the bytes handed out for each
// declared record ID (VLSD targets are stepped over by the splitter itself).
struct RecordSink {
  struct Target {
    bool variable = false;
    uint64_t length = 0;
    std::vector<uint8_t> bytes;
  };
  std::map<uint64_t, Target> groups;
  Target* Take(uint64_t id) {
    auto it = groups.find(id);
    return it == groups.end() ? nullptr : &it->second;
  }
  bool Data(Target* t, const uint8_t* p, uint64_t n, bool) {
    t->bytes.insert(t->bytes.end(), p, p + n);
    return true;
  }
};

}  // namespace qm::test
