// MDF4File: an open MDF 4 file with its identification block, header block and cycle counters.
#pragma once

#include <cstdint>
#include <map>

#include "block/hierarchy_blocks.h"
#include "platform/direct_file.h"

class M4CGBlock;

// Cycle counts of channel groups kept by the writer and patched into their CG blocks.
class CycleCounterTable {
 public:
  struct Entry {
    uint64_t key = 0;
    uint64_t countPosition = 0;  // file position of the group's cg_cycle_count
    uint64_t count = 0;
    uint64_t written = 0;  // the count as last written (or found) in the file
  };

  // Registers (or replaces) key with the CG's count field position and current count. The
  // CG must be placed.
  void RegisterCycleCounter(const M4CGBlock& cg, uint64_t key);
  // Adds n to the count of key; unknown keys are ignored.
  void AddCycles(uint64_t key, uint64_t n);
  // Writes every non-zero count into its CG in file (8 bytes each, ascending keys). A count
  // that is already in the file as it stands is not written again. Failures are not reported.
  void FlushCycleCounters(mDirectFile& file);
  const Entry* Find(uint64_t key) const;
  void Clear() { entries_.clear(); }
  const std::map<uint64_t, Entry>& Entries() const { return entries_; }
  std::map<uint64_t, Entry>& Entries() { return entries_; }

 private:
  std::map<uint64_t, Entry> entries_;
};

// One MDF 4 file open for writing or reading. The object owns the positioned file it reads and
// writes instead of being one: what it adds (identification block, header, cycle counts) is
// kept apart from byte transfers, and code that only moves bytes - blocks, data streams,
// readers - is handed Direct() alone. Every block of the file points at that positioned file.
class MDF4File {
 public:
  MDF4File() = default;
  MDF4File(const MDF4File&) = delete;
  MDF4File& operator=(const MDF4File&) = delete;
  ~MDF4File();

  // Creates (or truncates) the file with the identification block and an empty HD at 64.
  // A file that cannot be completed is removed again.
  bool Create(const char16_t* name, const char* programId, int32_t version);
  // Opens an existing file for reading and writing and validates identification and HD.
  bool Open(const char16_t* name);
  // The same validation on a read-only open without a lock (for inspection tools).
  bool OpenForInspection(const char16_t* name);
  // The same validation on a read-only open that keeps writers out (for making a copy).
  bool OpenForCopy(const char16_t* name);
  bool ReadHD();
  void Close();

  mDirectFile& Direct() { return direct_; }
  const mDirectFile& Direct() const { return direct_; }

  M4HDBlock& HD() { return hd_; }
  const uint8_t* IdBlock() const { return idBlock_; }
  uint16_t Version() const;
  // Whether the identification block names programId (blank-padded as Create writes it).
  bool WrittenBy(const char* programId) const;

  CycleCounterTable& Counters() { return counters_; }
  void RegisterCycleCounter(const M4CGBlock& cg, uint64_t key) { counters_.RegisterCycleCounter(cg, key); }
  void AddCycles(uint64_t key, uint64_t n) { counters_.AddCycles(key, n); }
  // Takes every count from the file again, forgetting groups whose count field lies beyond
  // the end of file: for a writer whose last operation was taken back (UndoToMark). False
  // when a count cannot be read.
  bool ReloadCycleCounters();

 private:
  bool Validate();

  mDirectFile direct_;
  uint8_t idBlock_[64] = {};
  M4HDBlock hd_;
  CycleCounterTable counters_;
};
