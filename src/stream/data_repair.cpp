// Roll-back of interrupted appends: cycle counts say how much data was completed.
#include "stream/data_repair.h"

#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "block/hierarchy_blocks.h"
#include "block/list_blocks.h"
#include "file/mdf4_file.h"
#include "stream/data_stream.h"

using namespace qm;

namespace {

bool WrittenByThisLibrary(MDF4File& file) {
  char prog[fmt::kIdTextFieldSize + 1] = {};
  std::memcpy(prog, file.IdBlock() + fmt::kIdProgOffset, fmt::kIdTextFieldSize);
  return std::memcmp(prog, "Brenik  ", fmt::kIdTextFieldSize) == 0;
}

// Bytes the channel groups' counts account for; false when a group rules the check out.
bool CountedLength(MDF4File& file, const M4DGBlock& dg, uint64_t* total) {
  *total = 0;
  std::unordered_set<uint64_t> seen;
  for (uint64_t pos = dg.GetLink(fmt::kDgCgFirst); pos != 0;) {
    if (!seen.insert(pos).second) return false;
    std::unique_ptr<M4CGBlock> cg = LoadAs<M4CGBlock>(&file, pos, fmt::kCG);
    if (!cg || (cg->cg_flags & fmt::kCgFlagVlsd) != 0) return false;
    const uint64_t record = fmt::kUnsortedRecordIdSize + cg->RecordSize();
    if (cg->cg_cycle_count != 0 && record > UINT64_MAX / cg->cg_cycle_count) return false;
    const uint64_t bytes = record * cg->cg_cycle_count;
    if (bytes > UINT64_MAX - *total) return false;
    *total += bytes;
    pos = cg->GetLink(fmt::kCgNext);
  }
  return true;
}

bool SetBlockLength(MDF4File& file, uint64_t blockPos, uint64_t dataLength) {
  uint8_t bytes[8];
  StoreLE64(bytes, fmt::kBlockHeaderSize + dataLength);
  return file.WriteAt(blockPos + fmt::kHeaderLengthOffset, sizeof bytes, bytes);
}

}  // namespace

bool RollBackInterruptedData(MDF4File& file, M4DGBlock& dg, RollBackResult* result) {
  *result = RollBackResult{};
  if (!WrittenByThisLibrary(file) || dg.dg_rec_id_size != fmt::kUnsortedRecordIdSize) return true;
  uint64_t keep = 0;
  if (!CountedLength(file, dg, &keep)) return true;
  m4DataStream reader;
  if (!reader.OpenForRead(&file, dg.GetLink(fmt::kDgData))) return true;
  result->dataLength = reader.TotalLength();
  result->keptLength = keep;
  for (const Fragment& f : reader.Fragments())
    if (f.length != 0 && f.type != fmt::kDT) return true;
  result->applicable = true;
  if (reader.TotalLength() <= keep) return true;

  const uint64_t link = dg.GetLink(fmt::kDgData);
  std::unique_ptr<m4Block> first = LoadBlock(&file, link);
  if (!first) return false;
  result->changed = true;
  if (first->GetType() == fmt::kDT) return SetBlockLength(file, link, keep);

  // Find the block in which the kept bytes end (the first block for an empty keep).
  std::unordered_set<uint64_t> seen;
  uint64_t before = 0;
  for (uint64_t pos = link; pos != 0;) {
    if (!seen.insert(pos).second) return false;
    std::unique_ptr<M4DLBlock> list = LoadAs<M4DLBlock>(&file, pos, fmt::kDL);
    if (!list || list->dl_count + 1 > list->GetLinkCount()) return false;
    for (uint32_t i = 0; i < list->dl_count; ++i) {
      const uint64_t blockPos = list->GetLink(1 + i);
      uint8_t header[fmt::kBlockHeaderSize];
      if (!ReadHeaderAt(&file, blockPos, header)) return false;
      const uint64_t length = LoadLE64(header + fmt::kHeaderLengthOffset) - fmt::kBlockHeaderSize;
      if (before + length < keep) {
        before += length;
        continue;
      }
      // Unlink what follows first, then shorten the block: an interruption in between
      // leaves data that is still longer than the counts, and the next reopen cuts again.
      const uint64_t oldLength = list->GetHeaderLength();
      list->dl_count = i + 1;
      list->ResizeLinks(i + 2);
      list->SetLink(fmt::kDlNext, 0);
      if (!list->Write(true, true)) return false;
      // The dropped links are cleared, so the list's reserved area reads as free again.
      const uint64_t newLength = list->GetHeaderLength();
      if (oldLength > newLength) {
        const std::vector<uint8_t> zeros(oldLength - newLength, 0);
        if (!file.WriteAt(pos + newLength, static_cast<uint32_t>(zeros.size()), zeros.data())) return false;
      }
      return SetBlockLength(file, blockPos, keep - before);
    }
    pos = list->GetLink(fmt::kDlNext);
  }
  return false;
}
