// Taking back an exported call whose writes failed: the file first, then what memory holds of it.
#include "api/write_call.h"

#include <memory>

#include "api/handle_errors.h"
#include "block/block_factory.h"
#include "block/hierarchy_blocks.h"

namespace qm::api {

WriteCall::WriteCall(MDF4Handle* h, MDF4FileContext& ctx) : h_(h), ctx_(ctx), nextRecordId_(ctx.nextRecordId) {
  if (const M4DGBlock* dg = ctx.currentDataGroup; dg != nullptr && dg->LastCG() != nullptr) {
    newestGroup_ = dg->LastCG()->GetPosition();
    if (const M4CNBlock* cn = dg->LastCG()->LastCN()) newestChannel_ = cn->GetPosition();
  }
  ctx.file.Direct().MarkUndo();
}

WriteCall::~WriteCall() {
  if (open_) TakeBack();
}

bool WriteCall::Done() {
  open_ = false;
  if (!ctx_.file.Direct().HadWriteError()) {
    ctx_.file.Direct().DropUndoMark();
    return true;
  }
  TakeBack();
  RecordError(h_, MDF4_ERR_WRITE, kMsgWrite);
  return false;
}

void WriteCall::TakeBack() noexcept {
  open_ = false;
  // The stream's state describes what was appended; it is not finished, only dropped. The
  // next data call opens a new one on the data as the file holds it.
  if (ctx_.appender) {
    ctx_.appender->Abandon();
    ctx_.appender.reset();
  }
  ctx_.nextRecordId = nextRecordId_;
  bool restored = ctx_.file.Direct().UndoToMark();
  try {
    restored = restored && ReloadNewest() && ctx_.file.ReloadCycleCounters();
  } catch (...) {
    restored = false;
  }
  if (!restored) ctx_.damaged = true;
}

bool WriteCall::ReloadNewest() {
  M4DGBlock* dg = ctx_.currentDataGroup;
  if (dg == nullptr) return true;
  // The block objects the call changed are read again from the file (in place for the data
  // group, which others point to); earlier ones were released and are not needed.
  mDirectFile* direct = &ctx_.file.Direct();
  uint8_t header[fmt::kBlockHeaderSize];
  if (!ReadHeaderAt(direct, dg->GetPosition(), header) || !dg->Read(direct, dg->GetPosition(), header)) return false;
  std::unique_ptr<M4CGBlock> cg;
  std::unique_ptr<M4CNBlock> cn;
  if (newestGroup_ != 0 && !(cg = LoadAs<M4CGBlock>(direct, newestGroup_, fmt::kCG))) return false;
  if (newestChannel_ != 0 && !(cn = LoadAs<M4CNBlock>(direct, newestChannel_, fmt::kCN))) return false;
  if (cg) cg->AdoptLastCN(cn.release());
  dg->AdoptLastCG(cg.release());
  return true;
}

}  // namespace qm::api
