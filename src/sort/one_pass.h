// Splitting an unsorted data group in one read of its data, each record going straight to its place.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "block/format.h"
#include "block/records.h"
#include "stream/data_stream.h"

class M4DGBlock;
class mDirectFile;

namespace qm {

class PieceReader;
class DZGroupWriter;

// The data of one sorted group as the appending stream lays it out when a new data group
// receives dataBytes bytes: from `start` (8-aligned) a ##DL in its 88 reserved bytes, the ##DT
// blocks it lists right behind it, five of them, each holding 4 MiB; then the next ##DL, and so
// on. The last ##DT holds the rest, an empty group one empty ##DT. The region has no alignment
// gaps: it is one run of bytes from start to End(), a list's unused reserved bytes being zeros.
struct DataRegion {
  uint64_t start = 0;
  uint64_t dataBytes = 0;

  uint64_t Blocks() const;
  uint64_t Lists() const;
  uint64_t ListPosition(uint64_t list) const;
  uint64_t BlockPosition(uint64_t block) const;
  uint64_t BlockDataLength(uint64_t block) const;
  // Just past the last block's data: where the appending stream leaves the end of the file.
  uint64_t End() const;
  // False when positions in the region would not fit 64 bits.
  bool Fits() const;
  // The ##DL block `list` as written once every block it lists is complete, padded with zeros
  // to its reserved size (kListReserved bytes into out).
  void EncodeList(uint64_t list, uint8_t* out) const;
  // The 24-byte header of ##DT `block` with its final length.
  void EncodeBlockHeader(uint64_t block, uint8_t* out) const;
};

// Bytes reserved for a ##DL of five entries: header, six links, record, equal length (88).
inline constexpr uint32_t kListReserved = fmt::kBlockHeaderSize +
                                          fmt::kLinkSize * (fmt::kListEntries + 1) +
                                          sizeof(m4DLRecord) + sizeof(uint64_t);

// One channel group of the source data group.
struct SplitGroup {
  uint64_t recordId = 0;
  uint64_t recordLength = 0;   // bytes behind the record ID; for a VLSD group all its bytes
  uint64_t declaredCount = 0;  // the group's cg_cycle_count
  // A VLSD group: each record is a 4-byte length and that many bytes. Its records are stepped
  // over and it has no region.
  bool variable = false;
  DataRegion region;           // set by the caller before Run; dataBytes = count x length
  // Set by the caller for a compressed copy: the records go to it instead of a region
  // (region.dataBytes still tells the size of the group's data). The caller owns it.
  DZGroupWriter* sink = nullptr;
};

// Memory of the one pass: two read chunks (one is read while the other is split), and the
// write buffers of the groups, which share the budget in proportion to their data. Larger
// pieces save few system calls but cost cache misses and page faults: at 1 MiB writes and
// 2 MiB reads a system call moves far more bytes than it costs, while the buffers stay small
// next to the data of a small file.
struct SplitSettings {
  uint32_t readChunk = 2u << 20;        // bytes per read of the source data
  uint64_t bufferBudget = 16ull << 20;  // write buffers of all groups together ...
  uint32_t minBuffer = 4u << 10;        // ... but at least this much per group with records
  uint32_t maxBuffer = 1u << 20;        // ... and at most this much (or its region's size)
  uint32_t fixedBuffer = 0;             // not 0: every group's buffer has this size (tests)
};

enum class SplitEnd {
  kDone,             // every record was written to its group's region; the regions are complete
  kUnreadable,       // the source data could not be read in full (read or inflation failed)
  kUnknownRecordId,  // a record ID that none of the groups declares
  kCountMismatch,    // a group has more or fewer records than its cycle count declares
  kShortRecord,      // the data ends inside a record
  kNoMemory,         // a buffer could not be allocated
  kWriteFailed,      // the destination refused a write
};

// Reads the data of one source data group once, in large reads, and writes every record (without
// its ID) into the region of its group in the destination, through one write buffer per group.
// The caller places the groups' metadata first, leaving room for each region, and treats any
// outcome but kDone as "this data group cannot be copied this way": the destination's regions
// then hold partial data and must be discarded.
class DataGroupSplitter {
 public:
  // Opens the data of source (read through its file) for groups, listed in the order of the
  // source's group chain. Succeeds only when the data can be split in one pass: record IDs of 1
  // to 8 bytes, distinct IDs, every group's declared records (a VLSD group's with their length
  // prefixes) together exactly the data's bytes
  // (stray bytes fewer than an ID aside), and no more bytes than the data can deliver. Reads
  // only block headers.
  bool Open(const M4DGBlock& source, std::vector<SplitGroup> groups, const SplitSettings& settings);

  std::vector<SplitGroup>& Groups() { return groups_; }

  // Reads the data and fills every group's region in destination; every group's region but a
  // VLSD group's must be set. Memory: one read chunk and one write buffer per group that receives records (see
  // SplitSettings), allocated when its first record arrives and freed at the end.
  SplitEnd Run(mDirectFile* destination);

 private:
  class RegionWriter;
  struct Target;

  template <class Lookup>
  SplitEnd Scan(const Lookup& lookup, std::vector<Target>& targets, PieceReader& pieces);

  std::unique_ptr<m4DataStream> reader_;
  std::vector<SplitGroup> groups_;
  SplitSettings settings_;
  uint8_t idSize_ = 0;
};

}  // namespace qm
