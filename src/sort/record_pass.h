// Splitting an unsorted data group by record ID: the record-length map and the copy of one group's records.
#pragma once

#include <cstdint>
#include <unordered_map>

class CycleCounterTable;
class M4DGBlock;
class m4DataStream;
class mDirectFile;

// The record length of a variable-length (VLSD) group in RecordLengthMap: its records are a
// 4-byte length and that many bytes.
inline constexpr uint64_t kVariableLength = ~uint64_t{0};

// Record ID -> record length (kVariableLength for a VLSD group) and cycle count of the channel
// groups of one data group, and the largest fixed record length of any of its groups (also of
// a group whose ID was already taken).
struct RecordLengthMap {
  struct Group {
    uint64_t length = 0;
    uint64_t count = 0;
  };
  std::unordered_map<uint64_t, Group> groups;
  uint64_t largest = 0;
};

// Fills map from the channel groups of dg (a block loaded from its file), in chain order. When
// two groups declare the same cg_record_id the first one's length stays. A chain that loops back
// ends at the first repeated group. False only when memory runs out; map is then incomplete.
bool BuildRecordLengthMap(const M4DGBlock& dg, RecordLengthMap* map);

// The number of bytes reader (opened on file's data) can deliver at most. A plain fragment lies
// inside the file, so its length is justified by the file size; a ##DZ fragment states its
// uncompressed length itself, and no more than its stored payload can inflate to is counted.
uint64_t DeliverableBytes(mDirectFile* file, const m4DataStream& reader);

// How a record pass ended.
enum class PassEnd {
  kExhausted,         // the data ended at a record boundary (stray bytes shorter than an ID ignored)
  kUnreadableTail,    // data was left at a record boundary but could not be read (a failed
                      // inflation or read); taken as the end of the data
  kUnknownRecordId,   // a record ID that no channel group of the data group declares
  kUnwrittenRecord,   // record ID 0, declared by no group, in data with record IDs: zeros where
                      // the data never reached the disk
  kShortRecord,       // the data ended, or could not be read, inside a record
  kBeyondCount,       // a record behind its group's cycle count (of a call its writer did not
                      // complete)
  kUnreadableSource,  // the data blocks of the source group could not be opened for reading
  kRecordTooLarge,    // a record longer than all the data the group can deliver, or of 4 GiB or
                      // more (a short record found without reading it)
  kNoMemory,          // the record buffer or a stream could not be allocated
  kBadRecordIdSize,   // dg_rec_id_size above 8 does not fit a 64-bit record ID
  kNoProgress,        // record ID size 0 with a record length of 0: nothing would ever be read
  kWriterFailed,      // the new data group refused the records
};

struct PassOutcome {
  PassEnd end = PassEnd::kExhausted;
  uint64_t recordsCopied = 0;  // records handed to the new data group
  uint64_t offset = 0;         // offset in the source data where the pass ended (for a record
                               // that ends the data: where it begins)

  // The pass succeeded: every record of the data was read (or the rest was unreadable at a
  // record boundary, which the caller should report).
  bool Ok() const { return end == PassEnd::kExhausted || end == PassEnd::kUnreadableTail; }
};

// Reads the whole data of source (its dg_data, read through the source's file), record after
// record, and appends the records whose ID is targetId (without the ID) to target, a data group
// already placed in the destination file, through a stream of 4 MiB DT blocks in lists of five.
// Records of the other groups are read and dropped; those of a VLSD group are stepped over by
// their length. The record buffer is as large as the largest
// record length, but never larger than the data the source can deliver. The target's stream is
// finished before returning, so the destination is consistent whatever the outcome; every finish
// writes the counts of counters, the destination's cycle counters. Throws nothing.
// With a sink, the records go to it (finished here, owned by the caller) instead of that stream.
PassOutcome CopyGroupRecords(const M4DGBlock& source, const RecordLengthMap& map, uint64_t targetId,
                             M4DGBlock* target, CycleCounterTable& counters, m4DataStream* sink = nullptr);
