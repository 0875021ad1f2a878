// The sort: a sorted copy of an MDF 4 file, one data group per channel group.
#pragma once

#include <cstdint>

// How the records of a data group were copied: the counts of source data groups done in one
// read of their data, and of those copied group by group (their data read once per channel group).
struct SortCounts {
  uint32_t onePass = 0;
  uint32_t perGroup = 0;
};

// Where a failed sort stopped, for callers that name the file that failed.
enum class SortFailure {
  kNone,
  kSource,       // the source could not be opened (missing, not MDF 4, or held by a writer)
  kDestination,  // the destination could not be created
  kCopy,         // the copy could not be completed (records, a conversion, a write)
};

// Settings of a sort. The defaults are what MDF4_Sort uses; the rest exists for tests.
struct SortOptions {
  // Copy each unsorted data group in one read of its data, writing every record straight to its
  // final place. A data group that cannot be copied that way (see SortFile) is copied group by
  // group. false: always group by group, the way that handles every source.
  bool onePass = true;
  uint32_t readChunk = 0;    // bytes per read of the source data; 0: 2 MiB
  uint32_t groupBuffer = 0;  // not 0: every group's write buffer has this many bytes
  // Not 0: the copy holds every group's records in ##DZ blocks deflated at this level (1 to
  // 12), listed behind an ##HL, and its identification block says version 4.10.
  int compressLevel = 0;
  uint32_t compressBlock = 0;  // not 0: original bytes of a ##DZ block at most (tests); 4 MiB
  uint32_t compressList = 0;   // not 0: blocks one ##DL lists at most (tests); 1024
  SortCounts* counts = nullptr;  // when set, receives how the data groups were copied
  SortFailure* failure = nullptr;  // when set, receives where a failed sort stopped
};

// Writes a sorted copy of the file named source into a new file named destination (an existing
// file of that name is replaced). The copy carries the header's start time and comment, the file
// history with a "Sorted" entry last, and for every channel group a data group of its own (record
// ID size 0) with the group's name, comment, cycle count, channels (names, comments, units, linear
// conversions) and records. A VLSD channel group's records (record ID, 4-byte length, that many
// bytes) are stepped over: the group, and the channels whose values it holds, are not copied.
// Progress lines go to standard output; a warning about records that could not be read, and a
// note per VLSD group, to standard error.
//
// The source is opened read-only (also from read-only media), sharing reading only: a source
// held by a writer cannot be sorted, and a destination that names the source cannot be created.
// Returns true when every group was copied and the destination's header was written; false on
// any failure, the destination then holding what was copied so far (or not created at all when
// the source cannot be opened). Throws nothing.
//
// Records: a data group whose channel groups' cycle counts and record lengths account for its
// data byte for byte (distinct record IDs of 1 to 8 bytes, a VLSD group's bytes counted with
// their length prefixes, only conversions that can be copied) is read once, in large reads; the
// copy's layout is computed from the declared sizes and every record goes straight to its final
// place. When the data turns out not to match what is declared, what was written for that data
// group is cut off again and it is copied group by group, each channel group in a read of the
// whole data of its own. Both ways give the same bytes and the same progress lines (the elapsed
// times aside).
//
// Compressed (compressLevel): each group's records are cut into blocks of whole records (4 MiB
// at most; in the one pass the groups of a data group share 16 MiB in proportion to their
// data), deflated on worker threads (transposed first for records of 2 bytes or more) and
// written as ##DZ blocks in the order they were cut, whatever the number of threads; an ##HL
// (equal length, the group's zip type) leads to the ##DL chain that lists them. A group
// without records has no data. The layout of the blocks differs between the one pass and the
// group-by-group copy; the records and everything else are the same.
bool SortFile(const char16_t* source, const char16_t* destination, const SortOptions& options = {});
