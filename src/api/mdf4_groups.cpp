// MDF4_AddChannelGroup and MDF4_AddChannel: CG, CN, name, unit and conversion blocks.
#include <string>

#include "api/file_context.h"
#include "api/group_names.h"
#include "api/handle_errors.h"
#include "api/write_call.h"
#include "block/descriptive_blocks.h"
#include "block/text_block.h"
#include "platform/platform.h"
#include "quillmark/quillmark.h"

using namespace qm;
using namespace qm::api;

namespace {

constexpr uint64_t kMaxRecordId = 0xFFFF;  // record IDs are written as 2 bytes

// Appends one double channel to cg, the entry's group (the newest one): CN, TX name, CC, TX unit.
void createChannel(MDF4FileContext& ctx, GroupEntry& entry, M4CGBlock* cg, uint8_t type, uint8_t sync,
                   std::u16string_view name, std::u16string_view unit, M4CCBlock& conversion) {
  mDirectFile* direct = &ctx.file.Direct();
  M4CNBlock* cn = cg->AddCN(new M4CNBlock());
  cn->cn_type = type;
  cn->cn_sync_type = sync;
  M4TXBlock nameText;
  nameText.appendWide(name);
  if (!cn->HasLink(fmt::kCnTxName)) cn->SetLink(fmt::kCnTxName, nameText.Place(direct, BlockParts::kAll));
  if (!cn->HasLink(fmt::kCnCcConversion))
    cn->SetLink(fmt::kCnCcConversion, conversion.Place(direct, BlockParts::kAll));
  cn->cn_data_type = fmt::kCnDataTypeFloatLE;
  cn->cn_bit_offset = 0;
  cn->cn_byte_offset = cg->cg_data_bytes;
  cn->cn_bit_count = fmt::kCnBitCountDouble;
  M4TXBlock unitText;
  unitText.appendWide(unit);
  if (!cn->HasLink(fmt::kCnMdUnit)) cn->SetLink(fmt::kCnMdUnit, unitText.Place(direct, BlockParts::kAll));
  cn->Write(BlockParts::kAll);
  // The file's cycle counter is the authority on the count: the CG in memory may be older.
  if (const auto* counter = ctx.file.Counters().Find(entry.counterKey)) cg->cg_cycle_count = counter->count;
  cg->cg_data_bytes += 8;
  cg->Write(BlockParts::kAll);
  entry.recordSize = cg->RecordSize();
}

bool AddGroupImpl(MDF4Handle* h, const char* groupName, bool withTime) {
  MDF4FileContext* ctx = UsableContext(h);
  if (ctx == nullptr) return false;
  if (groupName == nullptr) {
    RecordError(h, MDF4_ERR_INVALID_ARGUMENT, kMsgInvalid);
    return false;
  }
  if (ctx->reopened) return true;  // a reopened file keeps the groups it has
  const std::string key = GroupKey(groupName);
  if (ctx->groups.count(key) != 0) {
    RecordError(h, MDF4_ERR_GROUP, kMsgGroupExists);
    return false;
  }
  if (ctx->nextRecordId > kMaxRecordId) {
    RecordError(h, MDF4_ERR_TOO_MANY_GROUPS, kMsgTooManyGroups);
    return false;
  }
  GroupEntry entry;
  entry.name = os::NarrowToWide(groupName);
  // A group whose blocks cannot all be written is taken back: nothing links to it.
  WriteCall call(h, *ctx);
  M4DGBlock* dg = ctx->currentDataGroup;
  // The previous group's head is rewritten with its next link: its cycle count in memory
  // must be the one on disk, which data calls keep up to date there.
  if (M4CGBlock* previous = dg->LastCG()) {
    if (const auto* counter = ctx->file.Counters().Find(previous->cg_record_id)) previous->cg_cycle_count = counter->count;
  }
  M4CGBlock* cg = dg->AddCG(new M4CGBlock(ctx->nextRecordId++));
  entry.recordId = static_cast<uint16_t>(cg->cg_record_id);
  entry.counterKey = cg->cg_record_id;
  // The group name is stored as UTF-8 of the text the host's string stands for, like every
  // other name: readers that insist on UTF-8 accept it, and a reopen reads it back to the key.
  M4TXBlock nameText;
  nameText.appendWide(entry.name);
  if (!cg->HasLink(fmt::kCgTxAcqName)) cg->SetLink(fmt::kCgTxAcqName, nameText.Place(&ctx->file.Direct(), BlockParts::kAll));
  cg->cg_cycle_count = 0;
  cg->cg_data_bytes = cg->cg_inval_bytes = 0;
  cg->Write(BlockParts::kAll);
  dg->Write(BlockParts::kAll);
  ctx->file.RegisterCycleCounter(*cg, cg->cg_record_id);
  if (withTime) {
    M4CCLinear identity(1.0, 0.0);
    createChannel(*ctx, entry, cg, fmt::kCnTypeMaster, fmt::kCnSyncTime, u"Time", u"s", identity);
  }
  if (!call.Done()) return false;
  ctx->groups.emplace(key, std::move(entry));
  return h->errorCode == 0;
}

bool AddChannelImpl(MDF4Handle* h, const char* groupName, const char* channelName, const char* unit,
                    double factor, double offset) {
  MDF4FileContext* ctx = UsableContext(h);
  if (ctx == nullptr) return false;
  if (groupName == nullptr || channelName == nullptr) {
    RecordError(h, MDF4_ERR_INVALID_ARGUMENT, kMsgInvalid);
    return false;
  }
  if (ctx->reopened) return true;
  auto it = ctx->groups.find(GroupKey(groupName));
  if (it == ctx->groups.end()) {
    RecordGroupNotFound(h, groupName);
    return false;
  }
  // Only the newest group is still open for channels: its CG is the only one in memory,
  // recognised by its record ID, which is unique in a file this library creates.
  M4CGBlock* newest = ctx->currentDataGroup->LastCG();
  if (newest == nullptr || newest->cg_record_id != it->second.counterKey) {
    RecordError(h, MDF4_ERR_NOT_NEWEST_GROUP, kMsgNotNewest);
    return false;
  }
  // Records already written have the group's present size: a wider record would misread them
  // all, so the group's layout is fixed from its first record on.
  const auto* counter = ctx->file.Counters().Find(it->second.counterKey);
  if (counter != nullptr && counter->count != 0) {
    RecordError(h, MDF4_ERR_RECORDS_EXIST, kMsgRecordsExist);
    return false;
  }
  M4CCLinear conversion(factor, offset);
  // A channel whose blocks cannot all be written is taken back, and the group's record with it.
  const GroupEntry before = it->second;
  WriteCall call(h, *ctx);
  createChannel(*ctx, it->second, newest, fmt::kCnTypeValue, fmt::kCnSyncNone, os::NarrowToWide(channelName),
                unit != nullptr ? os::NarrowToWide(unit) : std::u16string(), conversion);
  if (!call.Done()) {
    it->second = before;
    return false;
  }
  return h->errorCode == 0;
}

}  // namespace

extern "C" QM_API bool MDF4_AddChannelGroup(MDF4Handle* h, const char* groupName, bool withTimeChannel) {
  return Guarded(h, [&] { return AddGroupImpl(h, groupName, withTimeChannel); });
}

extern "C" QM_API bool MDF4_AddChannel(MDF4Handle* h, const char* groupName, const char* channelName,
                                       const char* unit, double factor, double offset) {
  return Guarded(h, [&] { return AddChannelImpl(h, groupName, channelName, unit, factor, offset); });
}
