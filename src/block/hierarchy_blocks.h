// The tree of a file: HD, FH, DG, CG and CN blocks and the chain operations that grow it.
#pragma once

#include <memory>

#include "block/block.h"
#include "block/records.h"

class M4MDBlock;

// History entry. Link 0 fh_fh_next, link 1 fh_md_comment.
class M4FHBlock : public m4BlockImpl<m4FHRecord, uint8_t, qm::fmt::kFH> {
 public:
  M4FHBlock() : m4BlockImpl(2) {}
  // Places comment (kept by the caller) behind this already placed entry and links it.
  // False when a comment is linked already or placing fails.
  bool SetComment(M4MDBlock* comment);
};

// Channel. Links: next, composition, name, source, conversion, data, unit, comment.
class M4CNBlock : public m4BlockImpl<m4CNRecord, uint8_t, qm::fmt::kCN> {
 public:
  M4CNBlock() : m4BlockImpl(8) {}
};

// Channel group; owns its newest channel while the group is being declared.
class M4CGBlock : public m4BlockImpl<m4CGRecord, uint8_t, qm::fmt::kCG> {
 public:
  explicit M4CGBlock(uint64_t recordId = 0) : m4BlockImpl(6) { cg_record_id = recordId; }
  // Places cn at the end of the file and links it behind the newest channel (ownership passes).
  M4CNBlock* AddCN(M4CNBlock* cn);
  M4CNBlock* LastCN() const { return lastCN_.get(); }
  // Takes cn (or none) as the newest channel without placing it: one loaded from the file.
  void AdoptLastCN(M4CNBlock* cn) { lastCN_.reset(cn); }
  // Record length: data plus invalidation bytes, or the 64-bit size of a VLSD group.
  uint64_t RecordSize() const;

 private:
  std::unique_ptr<M4CNBlock> lastCN_;
};

// Data group; owns its newest channel group.
class M4DGBlock : public m4BlockImpl<m4DGRecord, uint8_t, qm::fmt::kDG> {
 public:
  explicit M4DGBlock(uint8_t recordIdSize = 0) : m4BlockImpl(4) { dg_rec_id_size = recordIdSize; }
  // Places cg and links it behind the newest group (ownership passes); a null cg does nothing.
  M4CGBlock* AddCG(M4CGBlock* cg);
  M4CGBlock* LastCG() const { return lastCG_.get(); }
  // Takes cg (or none) as the newest group without placing it: one loaded from the file.
  void AdoptLastCG(M4CGBlock* cg) { lastCG_.reset(cg); }

 private:
  std::unique_ptr<M4CGBlock> lastCG_;
};

// Header block at offset 64; owns the newest history entry and the newest data group.
class M4HDBlock : public m4BlockImpl<m4HDRecord, uint8_t, qm::fmt::kHD> {
 public:
  M4HDBlock() : m4BlockImpl(6) {}
  // Place the element and link it behind the newest one of its chain (ownership passes); a
  // null element does nothing.
  M4FHBlock* AddFH(M4FHBlock* fh);
  M4DGBlock* AddDG(M4DGBlock* dg);
  // Destroys the newest data group object and forgets it (the group stays on disk).
  void ReleaseLastDG() { lastDG_.reset(); }
  M4FHBlock* LastFH() const { return lastFH_.get(); }
  M4DGBlock* LastDG() const { return lastDG_.get(); }
  // Takes dg as the newest data group without placing it (a reopened file's last group).
  void AdoptLastDG(M4DGBlock* dg) { lastDG_.reset(dg); }

 private:
  std::unique_ptr<M4FHBlock> lastFH_;
  std::unique_ptr<M4DGBlock> lastDG_;
};
