// Record-length map of a data group and the pass that copies one channel group's records out of it.
#include "sort/record_pass.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_set>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "platform/direct_file.h"
#include "stream/dz_inflate.h"
#include "stream/data_stream.h"

using namespace qm;

namespace {

constexpr uint8_t kMaxRecordIdSize = 8;

// Hands out the reader's bytes from pieces of up to a mebibyte, so that small records do not
// cost a file read each. After a piece comes up short nothing more is read: the reader delivers
// nothing behind the end of its data, a failed read or a failed inflation.
class PieceReader {
 public:
  static constexpr uint64_t kPieceSize = 1 << 20;

  explicit PieceReader(m4DataStream& reader)
      : reader_(reader), size_(std::clamp<uint64_t>(reader.TotalLength(), 1, kPieceSize)) {}

  bool Allocate() {
    piece_.reset(new (std::nothrow) uint8_t[size_]);
    return piece_ != nullptr;
  }

  // Copies up to n bytes to destination; fewer only at the end of what can be read.
  uint64_t Read(uint64_t n, uint8_t* destination) {
    uint64_t done = 0;
    while (done < n && Available()) {
      const uint64_t k = std::min(n - done, filled_ - next_);
      std::memcpy(destination + done, piece_.get() + next_, k);
      next_ += k;
      done += k;
    }
    return done;
  }

  // Passes over n bytes; false when fewer are left.
  bool Skip(uint64_t n) {
    while (n > 0 && Available()) {
      const uint64_t k = std::min(n, filled_ - next_);
      next_ += k;
      n -= k;
    }
    return n == 0;
  }

  // Stream offset of the next byte not handed out yet.
  uint64_t Offset() const { return reader_.Offset() - (filled_ - next_); }
  // Everything readable was handed out, but the data goes on behind it.
  bool StoppedEarly() const { return Offset() < reader_.TotalLength(); }

 private:
  // True when bytes are left in the piece, reading the next piece when it is used up.
  bool Available() {
    if (next_ < filled_) return true;
    if (ended_) return false;
    const int32_t got = reader_.ReadBytes(static_cast<uint32_t>(size_), piece_.get());
    filled_ = got > 0 ? static_cast<uint64_t>(got) : 0;
    next_ = 0;
    ended_ = filled_ < size_;
    return filled_ > 0;
  }

  m4DataStream& reader_;
  const uint64_t size_;
  std::unique_ptr<uint8_t[]> piece_;
  uint64_t filled_ = 0;
  uint64_t next_ = 0;
  bool ended_ = false;
};

// The records loop: reads ID and record until the data ends or a record cannot be taken.
PassEnd ReadRecords(PieceReader& reader, m4DataStream& writer, uint8_t idSize,
                    const RecordLengthMap& map, uint64_t targetId, uint8_t* buffer,
                    uint64_t bufferSize, uint64_t* copied) {
  uint64_t id = 0;
  for (;;) {
    if (idSize > 0) {
      uint8_t idBytes[kMaxRecordIdSize] = {};
      if (reader.Read(idSize, idBytes) < idSize) {
        // Fewer bytes than an ID: the end of the data. When data is left that could not be read
        // (a ##DZ block that does not inflate), that still ends the pass as the end of the data,
        // but the caller is told, so that the loss is not silent.
        return reader.StoppedEarly() ? PassEnd::kUnreadableTail : PassEnd::kExhausted;
      }
      // The ID's low idSize bytes, little-endian; the higher bytes stay 0.
      id = 0;
      for (uint8_t i = 0; i < idSize; ++i) id |= uint64_t{idBytes[i]} << (8 * i);
    }
    const auto it = map.lengths.find(id);
    if (it == map.lengths.end()) return PassEnd::kUnknownRecordId;
    const uint64_t length = it->second;
    if (length == kVariableLength) {
      // A VLSD record: a 4-byte length and that many bytes, stepped over.
      uint8_t size[4];
      if (reader.Read(sizeof size, size) != sizeof size || !reader.Skip(LoadLE32(size)))
        return PassEnd::kShortRecord;
      continue;
    }
    // Without IDs, empty records would be read forever without moving: the pass ends here as
    // failed, as any pass over data without record IDs does when it reaches the end.
    if (idSize == 0 && length == 0) return PassEnd::kNoProgress;
    // Longer than all the data there is: the record can only end short. Records are moved with
    // 32-bit lengths, so one of 4 GiB or more cannot be copied whole either.
    if (length > bufferSize || length > std::numeric_limits<uint32_t>::max())
      return PassEnd::kRecordTooLarge;
    if (reader.Read(length, buffer) != length) return PassEnd::kShortRecord;
    if (id == targetId) {
      // The new group's stream refuses bytes only when it could not be set up; lost records are
      // a failed pass, never a silent one.
      if (!writer.WriteBytes(static_cast<uint32_t>(length), buffer)) return PassEnd::kWriterFailed;
      ++*copied;
    }
  }
}

}  // namespace

uint64_t DeliverableBytes(mDirectFile* file, const m4DataStream& reader) {
  uint64_t total = 0;
  for (const Fragment& f : reader.Fragments()) {
    uint64_t n = f.length;
    if (f.type == fmt::kDZ && n != 0) {
      uint8_t header[fmt::kBlockHeaderSize];
      if (!ReadHeaderAt(file, f.position - fmt::kBlockHeaderSize, header)) continue;
      const uint64_t length = LoadLE64(header + fmt::kHeaderLengthOffset);
      const uint64_t links = LoadLE64(header + fmt::kHeaderLinkCountOffset);
      const uint64_t overhead = fmt::kBlockHeaderSize + sizeof(m4DZRecord);
      if (length < overhead || (length - overhead) / fmt::kLinkSize < links) continue;
      const uint64_t stored = length - overhead - fmt::kLinkSize * links;
      const uint64_t limit = stored > (std::numeric_limits<uint64_t>::max() - kInflateSlack) / kMaxInflateRatio
                                 ? std::numeric_limits<uint64_t>::max()
                                 : stored * kMaxInflateRatio + kInflateSlack;
      // Fragments are inflated in one piece with 32-bit lengths: a larger one delivers nothing.
      n = n > std::numeric_limits<uint32_t>::max() ? 0 : std::min(n, limit);
    }
    total = n > std::numeric_limits<uint64_t>::max() - total ? std::numeric_limits<uint64_t>::max()
                                                              : total + n;
  }
  return total;
}

bool BuildRecordLengthMap(const M4DGBlock& dg, RecordLengthMap* map) {
  map->lengths.clear();
  map->largest = 0;
  mDirectFile* file = dg.GetFile();
  try {
    // A chain that leads back to a group already seen ends the walk instead of looping.
    std::unordered_set<uint64_t> visited;
    std::unique_ptr<M4CGBlock> cg = LoadAs<M4CGBlock>(file, dg.GetLink(fmt::kDgCgFirst), fmt::kCG);
    while (cg && visited.insert(cg->GetPosition()).second) {
      const bool variable = (cg->cg_flags & fmt::kCgFlagVlsd) != 0;
      const uint64_t length = variable ? kVariableLength : cg->RecordSize();
      if (!variable) map->largest = std::max(map->largest, length);
      map->lengths.emplace(cg->cg_record_id, length);  // the first group with an ID keeps it
      cg = LoadAs<M4CGBlock>(file, cg->GetLink(fmt::kCgNext), fmt::kCG);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

PassOutcome CopyGroupRecords(const M4DGBlock& source, const RecordLengthMap& map, uint64_t targetId,
                             M4DGBlock* target, m4DataStream* sink) {
  PassOutcome out;
  std::unique_ptr<m4DataStream> ownWriter;
  m4DataStream* writer = sink;
  std::unique_ptr<m4DataStream> reader;
  try {
    if (writer == nullptr) {
      ownWriter.reset(new m4DataStreamEx(target, fmt::kDataBlockCapacity, fmt::kListEntries, fmt::kDT));
      writer = ownWriter.get();
    }
    reader.reset(new m4DataStream());
    // A reader that cannot be opened (a list holding a block of another type, mixed types, an
    // equal-length violation, an unreadable block header) fails the pass like a record buffer
    // that cannot be allocated.
    if (!reader->OpenForRead(source.GetFile(), source.GetLink(fmt::kDgData))) {
      out.end = PassEnd::kUnreadableSource;
      reader.reset();
    } else if (!writer->IsReady()) {
      out.end = PassEnd::kNoMemory;
    } else if (source.dg_rec_id_size > kMaxRecordIdSize) {
      // Record IDs wider than 8 bytes cannot be told apart: the data group is refused.
      out.end = PassEnd::kBadRecordIdSize;
    } else {
      reader->Seek(0);
      // No record can be longer than the data the group can deliver, so the buffer never needs
      // to be larger: a hostile length (a VLSD group declaring gigabytes in a small file) is not
      // allocated, and a record that long fails the pass when it is met.
      const uint64_t bufferSize = std::min(map.largest, DeliverableBytes(source.GetFile(), *reader));
      std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[std::max<uint64_t>(bufferSize, 1)]);
      PieceReader pieces(*reader);
      if (!buffer || !pieces.Allocate()) {
        out.end = PassEnd::kNoMemory;
      } else {
        out.end = ReadRecords(pieces, *writer, source.dg_rec_id_size, map, targetId, buffer.get(),
                              bufferSize, &out.recordsCopied);
        out.offset = pieces.Offset();
      }
    }
  } catch (const std::bad_alloc&) {
    out.end = PassEnd::kNoMemory;
  }
  if (writer) writer->Finish();
  if (reader) reader->Release();
  if (writer) writer->Release();
  return out;
}
