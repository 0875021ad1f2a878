// RecordSplitter: the one split of a data group's bytes into records, handed out group by group.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "block/byte_order.h"

namespace qm {

inline constexpr uint8_t kMaxRecordIdSize = 8;
// The length in front of the bytes of a variable-length (VLSD) record.
inline constexpr uint32_t kVariableLengthSize = 4;
// Every piece of data handed to the splitter must have this many readable bytes behind its end
// (their values do not matter): a record ID is loaded as 8 bytes and masked.
inline constexpr uint32_t kSplitSlack = 8;

// Splits the bytes of an unsorted data group into records: a record ID of idSize bytes (0, 1,
// 2, 4 or 8; little-endian), then the record's bytes: a fixed length for the ID's group, or
// for a VLSD group a 4-byte length and that many bytes, which are stepped over. The data is
// fed in pieces of any size; a record may run across pieces.
//
// The Sink decides what the records are (all calls are inlined: the inner loop makes no
// indirect call and allocates nothing):
//   Target* Take(uint64_t id)   the target of a record with this ID, or null to stop the split
//                               (an ID no group declares, a group that has all its records).
//                               Target has `bool variable` and `uint64_t length` (fixed ones).
//   bool Data(Target* t, const uint8_t* p, uint64_t n, bool complete)
//                               n bytes of a fixed-length record of t, in one call when the
//                               record lies in one piece, otherwise in several; complete on
//                               its last. False stops the split behind these bytes.
// A split that Data stopped goes on behind the record when Feed is called again; one that Take
// stopped ends there (Offset is where the record begins).
template <class Sink>
class RecordSplitter {
 public:
  using Target = typename Sink::Target;
  enum class Stop {
    kFed,         // every byte fed was split (a record may go on in the next piece)
    kStopped,     // the sink stopped the split
    kNoProgress,  // records of no bytes without IDs: the split would never move
  };

  RecordSplitter(uint32_t idSize, Sink& sink)
      : idSize_(idSize),
        mask_(idSize >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * idSize)) - 1),
        sink_(sink) {}

  // Splits the piece [p, end), which has kSplitSlack readable bytes behind end, or what is left
  // of the last piece when p is null.
  Stop Feed(const uint8_t* p, const uint8_t* end);

  // Stream offset of the next byte not split yet.
  uint64_t Offset() const { return base_ + static_cast<uint64_t>(p_ - chunk_); }
  // Stream offset at which the record taken last (or being taken) begins.
  uint64_t RecordStart() const {
    return mark_ != nullptr ? base_ + static_cast<uint64_t>(mark_ - chunk_) : markOffset_;
  }
  // At the end of the data: bytes of a record ID were split but not all of them.
  bool InId() const { return idHave_ != 0; }
  // At the end of the data: a record (or a VLSD length) was begun and not completed.
  bool InRecord() const { return open_ != nullptr || sized_ != nullptr; }
  // ... and it was the length in front of a VLSD record's bytes.
  bool InLength() const { return sized_ != nullptr; }

 private:
  // Adds the next bytes of the piece to a field of `need` bytes that may run across pieces;
  // true once the field is complete.
  bool Gather(uint8_t* field, uint32_t& have, uint32_t need, const uint8_t* end) {
    const uint64_t left = static_cast<uint64_t>(end - p_);
    const uint32_t k = static_cast<uint32_t>(need - have < left ? need - have : left);
    std::memcpy(field + have, p_, k);
    have += k;
    p_ += k;
    return have == need;
  }
  // Starts the record of target t behind its ID.
  void Begin(Target* t) {
    if (t->variable) {
      sized_ = t;
    } else {
      open_ = t;
      openLeft_ = t->length;
    }
  }

  const uint32_t idSize_;
  const uint64_t mask_;
  Sink& sink_;
  const uint8_t* chunk_ = nullptr;  // the current piece ...
  const uint8_t* end_ = nullptr;
  const uint8_t* p_ = nullptr;      // ... and the next byte of it to split
  uint64_t base_ = 0;               // stream offset of chunk_
  const uint8_t* mark_ = nullptr;   // where the current record begins in the piece, or null ...
  uint64_t markOffset_ = 0;         // ... and then its stream offset
  uint8_t idBytes_[kMaxRecordIdSize] = {};
  uint32_t idHave_ = 0;             // bytes of an ID that began in an earlier piece
  Target* open_ = nullptr;          // a record that goes on in the next piece ...
  uint64_t openLeft_ = 0;           // ... with this many bytes still to come
  Target* sized_ = nullptr;         // a VLSD record whose length is being read ...
  uint8_t sizeBytes_[kVariableLengthSize] = {};
  uint32_t sizeHave_ = 0;           // ... with this many of its bytes read
};

template <class Sink>
typename RecordSplitter<Sink>::Stop RecordSplitter<Sink>::Feed(const uint8_t* piece, const uint8_t* pieceEnd) {
  if (piece != nullptr) {
    if (mark_ != nullptr) markOffset_ = RecordStart();
    mark_ = nullptr;
    base_ += static_cast<uint64_t>(end_ - chunk_);
    chunk_ = p_ = piece;
    end_ = pieceEnd;
  }
  const uint8_t* const end = end_;
  for (;;) {
    if (open_ != nullptr) {
      // The rest of a record begun earlier (a VLSD record's bytes are stepped over).
      const uint64_t k = openLeft_ < static_cast<uint64_t>(end - p_) ? openLeft_ : static_cast<uint64_t>(end - p_);
      const uint8_t* at = p_;
      p_ += k;
      openLeft_ -= k;
      Target* t = open_;
      const bool complete = openLeft_ == 0;
      if (complete) open_ = nullptr;
      if (!t->variable && (k != 0 || complete) && !sink_.Data(t, at, k, complete)) return Stop::kStopped;
      if (!complete) return Stop::kFed;  // the record goes on in the next piece
    }
    if (idHave_ != 0) {
      if (!Gather(idBytes_, idHave_, idSize_, end)) return Stop::kFed;
      idHave_ = 0;
      Target* t = sink_.Take(LoadLE64(idBytes_) & mask_);
      if (t == nullptr) return Stop::kStopped;
      Begin(t);
      continue;
    }
    if (sized_ != nullptr) {
      // The length in front of a VLSD record's bytes, which are then stepped over.
      if (!Gather(sizeBytes_, sizeHave_, kVariableLengthSize, end)) return Stop::kFed;
      sizeHave_ = 0;
      open_ = sized_;
      openLeft_ = LoadLE32(sizeBytes_);
      sized_ = nullptr;
      continue;
    }
    // Whole records inside the piece: the common case, kept tight. The piece's slack lets an
    // ID be loaded as 8 bytes and masked.
    while (p_ < end && static_cast<uint64_t>(end - p_) >= idSize_) {
      mark_ = p_;
      Target* t = sink_.Take(LoadLE64(p_) & mask_);
      if (t == nullptr) return Stop::kStopped;
      p_ += idSize_;
      if (t->variable) {
        sized_ = t;  // rare: handled above, also when the record runs across pieces
        break;
      }
      const uint64_t length = t->length;
      if (length > static_cast<uint64_t>(end - p_)) {
        open_ = t;
        openLeft_ = length;
        break;
      }
      if (length == 0 && idSize_ == 0) return Stop::kNoProgress;
      const uint8_t* at = p_;
      p_ += length;
      if (!sink_.Data(t, at, length, true)) return Stop::kStopped;
    }
    if (open_ != nullptr || sized_ != nullptr) continue;
    if (p_ == end) return Stop::kFed;
    // Fewer bytes than an ID: it ends in the next piece.
    mark_ = p_;
    idHave_ = static_cast<uint32_t>(end - p_);
    std::memcpy(idBytes_, p_, idHave_);
    p_ = end;
    return Stop::kFed;
  }
}

// Collects the pieces of one fixed-length record for a sink that needs each record in one
// place: a record that lies in one piece is handed out where it is.
class RecordAssembler {
 public:
  // The record once its last piece is added (valid until the next Add), null before.
  const uint8_t* Add(const uint8_t* p, uint64_t n, bool complete) {
    if (complete && collected_ == 0) return p;
    if (collected_ == 0) bytes_.clear();
    bytes_.insert(bytes_.end(), p, p + n);
    collected_ += n;
    if (!complete) return nullptr;
    collected_ = 0;
    return bytes_.data();
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t collected_ = 0;
};

}  // namespace qm
