// Block factory: type code to class, then a full load through m4Block::Read.
#include "block/block_factory.h"

#include <new>

#include "block/byte_order.h"
#include "block/descriptive_blocks.h"
#include "block/hierarchy_blocks.h"
#include "block/list_blocks.h"
#include "block/text_block.h"
#include "platform/direct_file.h"
#include "block/data_block.h"

using namespace qm;

namespace {

m4Block* Construct(uint16_t type) {
  switch (type) {
    case fmt::kFH: return new (std::nothrow) M4FHBlock();
    case fmt::kDG: return new (std::nothrow) M4DGBlock(0);
    case fmt::kCG: return new (std::nothrow) M4CGBlock(0);
    case fmt::kCN: return new (std::nothrow) M4CNBlock();
    case fmt::kCC: return new (std::nothrow) M4CCBlock();
    case fmt::kTX: return new (std::nothrow) M4TXBlock();
    case fmt::kMD: return new (std::nothrow) M4MDBlock();
    case fmt::kSI: return new (std::nothrow) M4SIBlock();
    case fmt::kAT: return new (std::nothrow) M4ATBlock();
    case fmt::kEV: return new (std::nothrow) M4EVBlock(0);
    case fmt::kCH: return new (std::nothrow) M4CHBlock();
    case fmt::kCA: return new (std::nothrow) M4CABlock();
    case fmt::kSR: return new (std::nothrow) M4SRBlock();
    case fmt::kDL: return new (std::nothrow) M4DLBlock();
    case fmt::kHL: return new (std::nothrow) M4HLBlock();
    case fmt::kDZ: return new (std::nothrow) M4DZBlock();
    case fmt::kDT: return new (std::nothrow) M4DTBlock(0);
    case fmt::kSD: return new (std::nothrow) M4SDBlock(0);
    case fmt::kRD: return new (std::nothrow) M4RDBlock(0);
    default: return nullptr;
  }
}

}  // namespace

bool ReadHeaderAt(mDirectFile* file, uint64_t position, uint8_t* header) {
  if (file == nullptr || position == 0) return false;
  if (!file->ReadAt(position, fmt::kBlockHeaderSize, header)) return false;
  return LoadLE16(header) == fmt::kHashMark;
}

std::unique_ptr<m4Block> LoadBlock(mDirectFile* file, uint64_t position) {
  uint8_t header[fmt::kBlockHeaderSize];
  if (!ReadHeaderAt(file, position, header)) return nullptr;
  std::unique_ptr<m4Block> block(Construct(LoadLE16(header + 2)));
  if (!block) return nullptr;
  // A block that is too large to hold in memory fails its load; nothing escapes.
  try {
    if (!block->Read(file, position, header)) return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return block;
}

std::unique_ptr<m4Block> LoadLinked(mDirectFile* file, const m4Block& block, int32_t i,
                                    uint16_t expectedType) {
  if (i < 0) return nullptr;
  std::unique_ptr<m4Block> loaded = LoadBlock(file, block.GetLink(static_cast<uint32_t>(i)));
  if (!loaded) return nullptr;
  if (expectedType != 0 && loaded->GetType() != expectedType) return nullptr;
  return loaded;
}
