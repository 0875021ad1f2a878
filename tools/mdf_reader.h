// A small read-only model of an MDF 4 file for the command-line tool: header, history, groups, channels, records.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "block/format.h"
#include "file/mdf4_file.h"
#include "stream/data_stream.h"

class M4CGBlock;

namespace qm::cli {

struct ConversionInfo {
  bool present = false;        // a ##CC block is linked
  uint8_t type = 0;            // cc_type
  std::vector<double> values;  // cc_val, at most cc_val_count of them

  // No conversion, identity, or linear with both values: physical values can be computed.
  bool Applicable() const;
  bool IsLinear() const { return present && type == fmt::kCcTypeLinear && values.size() >= 2; }
  // offset + factor x raw for a linear conversion, raw otherwise.
  double Apply(double raw) const;
  // "none", "identity", "linear 0.1 * x + -40" or "type 7 (value to text)".
  std::string Describe() const;
};

struct ChannelInfo {
  std::string name;
  std::string unit;
  uint8_t type = 0;       // cn_type: 0 value, 1 VLSD, 2 master, 3 virtual master, ...
  uint8_t syncType = 0;
  uint8_t dataType = 0;   // cn_data_type
  uint8_t bitOffset = 0;
  uint32_t byteOffset = 0;
  uint32_t bitCount = 0;
  uint32_t flags = 0;
  uint32_t invalBitPos = 0;
  bool isArray = false;   // the composition link leads to a ##CA block
  ConversionInfo conversion;

  bool IsMaster() const { return type == fmt::kCnTypeMaster || type == fmt::kCnTypeVirtualMaster; }
  // Virtual channels occupy no bytes: their raw value is the record index.
  bool IsVirtual() const { return type == fmt::kCnTypeVirtualMaster || type == fmt::kCnTypeVirtualData; }
};

struct ChannelGroupInfo {
  std::string name;
  uint64_t recordId = 0;
  uint64_t cycleCount = 0;
  uint16_t flags = 0;
  uint32_t dataBytes = 0;
  uint32_t invalBytes = 0;
  std::vector<ChannelInfo> channels;

  bool IsVlsd() const { return (flags & fmt::kCgFlagVlsd) != 0; }
  // Bytes of one record after its record ID (data and invalidation bytes).
  uint64_t RecordLength() const { return uint64_t{dataBytes} + invalBytes; }
};

struct DataGroupInfo {
  size_t index = 0;  // in FileInfo::dataGroups
  uint64_t dataLink = 0;
  uint8_t recordIdSize = 0;
  std::vector<ChannelGroupInfo> groups;
};

struct HistoryInfo {
  uint64_t timeNs = 0;
  int16_t tzOffsetMin = 0;
  int16_t dstOffsetMin = 0;
  uint8_t timeFlags = 0;
  std::string comment;
};

struct FileInfo {
  std::string versionText;  // id_vers, blanks removed
  uint16_t version = 0;     // id_ver
  std::string programId;    // id_prog, blanks removed
  uint64_t startTimeNs = 0;
  int16_t tzOffsetMin = 0;
  int16_t dstOffsetMin = 0;
  uint8_t timeFlags = 0;
  std::string comment;      // hd_md_comment as text
  std::vector<HistoryInfo> history;
  std::vector<DataGroupInfo> dataGroups;
  std::vector<std::string> warnings;  // structure that could not be followed
};

// How a data group's data is stored.
struct DataLayout {
  bool readable = false;   // the data blocks could be resolved
  uint64_t totalLength = 0;
  uint64_t blockCount = 0;
  std::string storage;     // "none", "DT", "DL of DT", "HL/DL of DZ", ...
  // ##DZ blocks among the blocks: their count, original and stored (compressed) bytes, and
  // which zip types they use (bit 0: deflate, bit 1: transposed then deflated).
  uint64_t compressedBlocks = 0;
  uint64_t originalBytes = 0;
  uint64_t storedBytes = 0;
  unsigned zipTypes = 0;
};

class MdfReader {
 public:
  // Opens path read-only without holding a lock (a file being written elsewhere can be read;
  // a probe only tells whether a writer holds it) and loads the structure, then resolves the data blocks of every data group. On failure
  // error receives a one-line reason.
  //
  // A file that another program is writing is seen as it stood after one of its writer's
  // completed steps: the cycle counts are read before the data blocks, and a writer writes
  // records before it counts them, so the data holds at least the counted records. When the
  // structure or the data blocks cannot be followed while the file grows (a block placed after
  // the file was opened), the whole load is repeated on the grown file; damage that stays
  // once the file stops growing is reported as warnings and unreadable layouts.
  bool Open(const std::string& path, std::string* error);
  const FileInfo& Info() const { return info_; }
  DataLayout Layout(const DataGroupInfo& dg);
  // The data of the data group, resolved at Open; IsReady false when it could not be.
  m4DataStream& Stream(const DataGroupInfo& dg) { return *streams_[dg.index]; }
  // No writer of this library held the file when it was opened.
  bool AtRest() const { return atRest_; }

 private:
  // One load of the open file: structure, then data blocks. True when everything resolved.
  bool Load();
  void LoadHistory();
  void LoadDataGroups();
  // Loads the group with its channels.
  void LoadGroup(const M4CGBlock& block, ChannelGroupInfo* cg);
  void LoadChannel(const m4Block& block, ChannelInfo* cn);
  // Text of the ##TX or ##MD block at position ("" when there is none).
  std::string Text(uint64_t position);
  std::string UnitText(uint64_t position);

  MDF4File mdf_;
  mDirectFile& file_ = mdf_.Direct();  // what the blocks are read from
  FileInfo info_;
  std::vector<std::unique_ptr<m4DataStream>> streams_;  // per data group
  bool atRest_ = false;
};

// The records of one data group in file order, each with the index of its channel group.
// Records of VLSD groups are skipped by their length prefix. Each group gives at most as many
// records as its cycle count states. In a file a writer holds, records behind a group's count
// are being added: they are left out and the others read on. In a file at rest the data ends
// at the first such record (a write never completed, or counted only in part before a power
// loss), so what is read is the file's last consistent state; either way with a warning.
class RecordReader {
 public:
  enum class Status { kRecord, kEnd, kError };

  RecordReader(MdfReader& reader, const DataGroupInfo& dg);
  ~RecordReader();
  // False (with a reason) when the data cannot be resolved or the record ID size is unusable.
  bool Open(std::string* error);
  // The next record: group receives the channel-group index, record the group's record bytes
  // (RecordLength of them, valid until the next call) and index its number within the group.
  // kEnd at the regular end of the data, and where the data stops validating (a record ID no
  // group declares, a record behind its group's cycle count, a record cut off by the end of
  // the data): the records before are kept and a warning tells what was left out. kError (with
  // a reason) for an unreadable block or a record too large to read.
  Status Next(size_t* group, const uint8_t** record, uint64_t* index, std::string* error);
  const std::string& Warning() const { return warning_; }

 private:
  struct Split;
  // The end of the data at the record that begins at offset start; kEnd with a warning, or
  // kError when what is cut off could have been read.
  // start: where the record begins; need: bytes it needs from offset `from` on.
  Status ShortData(uint64_t start, uint64_t from, uint64_t need, const std::string& what, std::string* error);

  m4DataStream& stream_;
  const DataGroupInfo& dg_;
  bool atRest_;
  std::unique_ptr<Split> split_;
  std::vector<uint8_t> buffer_;
  std::string warning_;
};

// Removes blanks and zero bytes at the end of a fixed-width text field.
std::string TrimField(const uint8_t* field, size_t n);

}  // namespace qm::cli
