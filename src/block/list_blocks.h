// DL (data list), HL (list of lists) and DZ (compressed data block).
#pragma once

#include "block/block.h"
#include "block/records.h"

// Data list. Link 0 is the next list, links 1..dl_count the listed data blocks. A list made
// for writing has dl_flags 1 and one variable value, the equal length of its blocks.
class M4DLBlock : public m4BlockImpl<m4DLRecord, uint64_t, qm::fmt::kDL> {
 public:
  // Read side (factory): everything comes from the file.
  M4DLBlock() : m4BlockImpl(1) {}
  // Write side: room for maxEntries blocks of equalLength data bytes each.
  M4DLBlock(uint32_t maxEntries, uint64_t equalLength);

  void AddDataBlock(uint64_t position);
  bool IsFull() const { return dl_count >= maxEntries_; }
  void SetMaxEntries(uint32_t n) { maxEntries_ = n; }
  uint32_t GetMaxEntries() const { return maxEntries_; }
  // The equal length when dl_flags bit 0 is set and a value is present.
  bool EqualLength(uint64_t* length) const;
  // Size of the area reserved for a list of maxEntries blocks.
  uint64_t ReservedSize() const;
  // Starts this object as a new, empty list at the aligned end of file (null: its own
  // file), reserving the list's full area there. Nothing is
  // written: the appending stream writes a list only once every block it lists is written,
  // and links the list from its predecessor after that. Returns the new position.
  uint64_t ReserveAtEnd(mDirectFile* file);

 private:
  uint32_t maxEntries_ = 0;
};

class M4HLBlock : public m4BlockImpl<m4HLRecord, uint64_t, qm::fmt::kHL> {
 public:
  M4HLBlock() : m4BlockImpl(1) {}
};

class M4DZBlock : public m4BlockImpl<m4DZRecord, uint8_t, qm::fmt::kDZ> {
 public:
  M4DZBlock() : m4BlockImpl(0) {}
};
