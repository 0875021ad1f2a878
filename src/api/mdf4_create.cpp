// MDF4_Create and MDF4_Close: new files with header, history and comment; reopened files.
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "api/file_context.h"
#include "api/group_names.h"
#include "api/handle_errors.h"
#include "api/write_call.h"
#include "file/xml_text.h"
#include "block/block_factory.h"
#include "block/chain_walker.h"
#include "block/text_block.h"
#include "file/start_time.h"
#include "platform/platform.h"
#include "stream/data_repair.h"
#include "quillmark/quillmark.h"

using namespace qm;
using namespace qm::api;

namespace {

struct HeaderTexts {
  std::u16string author, department, project, subject, timeSource, comment;
};

std::u16string ToolVersion() {
  char16_t buffer[kToolVersionCapacity];
  formatWide(buffer, kToolVersionCapacity, kToolVersionFormat,
             {kToolVersionMajor, kToolVersionMinor, kToolVersionPatch, kToolVersionBuild});
  return buffer;
}

// Formats both comments of a new file. False when one does not fit its 1024-unit buffer:
// the create is refused rather than writing cut (broken) XML.
bool BuildComments(const HeaderTexts& t, std::u16string* fh, std::u16string* hd) {
  const std::u16string version = ToolVersion();
  char16_t buffer[kCommentCapacity];
  if (formatWide(buffer, kCommentCapacity, kFHCommentTemplate, {version.c_str()}) < 0) return false;
  *fh = buffer;
  const std::u16string c = escapeXml(t.comment), ts = escapeXml(t.timeSource),
                       a = escapeXml(t.author), d = escapeXml(t.department),
                       p = escapeXml(t.project), s = escapeXml(t.subject),
                       v = escapeXml(version);
  if (formatWide(buffer, kCommentCapacity, kHDCommentTemplate,
                 {c.c_str(), ts.c_str(), a.c_str(), d.c_str(), p.c_str(), s.c_str(), v.c_str()}) < 0)
    return false;
  *hd = buffer;
  return true;
}

void CopyTime(const StartTimeRecord& t, M4FHBlock& fh) {
  fh.fh_time_ns = static_cast<uint64_t>(t.timeNs);
  fh.fh_tz_offset_min = t.tzOffsetMin;
  fh.fh_dst_offset_min = t.dstOffsetMin;
  fh.fh_time_flags = t.timeFlags;
}

void CopyTime(const StartTimeRecord& t, M4HDBlock& hd) {
  hd.hd_start_time_ns = static_cast<uint64_t>(t.timeNs);
  hd.hd_tz_offset_min = t.tzOffsetMin;
  hd.hd_dst_offset_min = t.dstOffsetMin;
  hd.hd_time_flags = t.timeFlags;
}

// New file: ID block, HD, FH, FH comment, HD comment, DG, in this order.
int32_t CreateNew(MDF4FileContext& ctx, const std::u16string& name, const HeaderTexts& texts,
                  const StartTimeRecord& start) {
  std::u16string fhComment, hdComment;
  if (!BuildComments(texts, &fhComment, &hdComment)) return MDF4_ERR_CREATE;
  if (!ctx.file.Create(name.c_str(), fmt::kProgramId, fmt::kVersion)) return MDF4_ERR_CREATE;

  M4MDBlock fhText(fhComment.c_str());
  auto* fh = new M4FHBlock();
  fh->Place(&ctx.file.Direct(), BlockParts::kNone);
  fh->SetComment(&fhText);
  CopyTime(start, *fh);
  M4HDBlock& hd = ctx.file.HD();
  hd.AddFH(fh);

  M4MDBlock hdText(hdComment.c_str());
  if (!hd.HasLink(fmt::kHdMdComment)) hd.SetLink(fmt::kHdMdComment, hdText.Place(&ctx.file.Direct(), BlockParts::kAll));
  CopyTime(start, hd);
  ctx.currentDataGroup = hd.AddDG(new M4DGBlock(fmt::kUnsortedRecordIdSize));
  hd.Write(BlockParts::kAll);
  if (ctx.file.Direct().HadWriteError()) {
    ctx.file.Close();
    mDirectFile::RemoveFile(name.c_str());
    return MDF4_ERR_CREATE;
  }
  return 0;
}

// Existing file: validate, find the last data group and register its channel groups.
int32_t Reopen(MDF4FileContext& ctx, const std::u16string& name, StartTimeRecord* start) {
  if (!ctx.file.Open(name.c_str())) return MDF4_ERR_OPEN;
  mDirectFile& direct = ctx.file.Direct();
  M4HDBlock& hd = ctx.file.HD();
  // The data calls go to the last data group: a chain that cannot be followed to its end
  // (a loop, a link to no data group) leaves no group to continue.
  ChainWalker<M4DGBlock> walk(&direct, hd.GetLink(fmt::kHdDgFirst), fmt::kDG, fmt::kDgNext);
  std::unique_ptr<M4DGBlock> dg = LastOfChain(walk);
  if (!dg || walk.StoppedEarly()) {
    ctx.file.Close();
    return MDF4_ERR_NO_DATA_GROUP;
  }
  ctx.currentDataGroup = dg.get();
  hd.AdoptLastDG(dg.release());
  // A writer that was interrupted in the middle of a data call leaves more data than the
  // cycle counts account for: that partial call is rolled back before anything is appended.
  // A roll-back that cannot be written completely is taken back: the file stays as it was.
  RollBackResult rollBack;
  if (!direct.AllOrNothing([&] { return RollBackInterruptedData(ctx.file, *ctx.currentDataGroup, &rollBack); })) {
    ctx.file.Close();
    return MDF4_ERR_OPEN;
  }
  // With a sync policy the roll-back is durable before anything is appended: appends may
  // write where the cut bytes were, and those must never come back in their place.
  if (rollBack.changed && ctx.sync != SyncPolicy::kOff && !direct.Sync()) {
    ctx.file.Close();
    return MDF4_ERR_OPEN;
  }

  ChainWalker<M4CGBlock> groups(&direct, ctx.currentDataGroup->GetLink(fmt::kDgCgFirst), fmt::kCG, fmt::kCgNext);
  while (std::unique_ptr<M4CGBlock> cg = groups.Next()) {
    // A group without a TX name cannot be addressed by the host: it is skipped.
    std::unique_ptr<M4TXBlock> text = LoadAs<M4TXBlock>(&direct, cg->GetLink(fmt::kCgTxAcqName), fmt::kTX);
    if (!text) continue;
    GroupEntry entry;
    entry.name = GroupNameOf(*text);
    ctx.file.RegisterCycleCounter(*cg, cg->cg_record_id);
    entry.recordId = static_cast<uint16_t>(cg->cg_record_id);
    entry.counterKey = cg->cg_record_id;
    entry.recordSize = cg->RecordSize();
    ctx.groups.emplace(GroupKey(entry.name), std::move(entry));
  }
  start->timeNs = static_cast<int64_t>(hd.hd_start_time_ns);
  start->tzOffsetMin = hd.hd_tz_offset_min;
  start->dstOffsetMin = hd.hd_dst_offset_min;
  start->timeFlags = hd.hd_time_flags;
  return 0;
}

// The sync policy named by QUILLMARK_SYNC: unset, empty or "off", "close", "always", or
// "interval=MS" with MS whole milliseconds. The library otherwise takes no configuration;
// durability is chosen here, by the environment, so that hosts choose it without a change
// of the C interface. False for any other value.
bool ReadSyncPolicy(MDF4FileContext& ctx) {
  const char* value = std::getenv("QUILLMARK_SYNC");
  const std::string v = value != nullptr ? value : "";
  if (v.empty() || v == "off") ctx.sync = SyncPolicy::kOff;
  else if (v == "close") ctx.sync = SyncPolicy::kClose;
  else if (v == "always") ctx.sync = SyncPolicy::kAlways;
  else if (v.rfind("interval=", 0) == 0) {
    const std::string ms = v.substr(9);
    constexpr size_t kMaxDigits = 9;  // up to about 11 days
    if (ms.empty() || ms.size() > kMaxDigits || ms.find_first_not_of("0123456789") != std::string::npos)
      return false;
    ctx.sync = SyncPolicy::kInterval;
    ctx.syncIntervalTicks = static_cast<int64_t>(std::stoll(ms)) * os::MonotonicFrequency() / 1000;
    ctx.lastSyncTicks = os::MonotonicTicks();
  } else {
    return false;
  }
  return true;
}

const char16_t* MessageFor(int32_t code) {
  switch (code) {
    case MDF4_ERR_OPEN: return kMsgOpen;
    case MDF4_ERR_NO_DATA_GROUP: return kMsgNoDataGroup;
    case MDF4_ERR_CREATE: return kMsgCreate;
    case MDF4_ERR_SYNC_POLICY: return kMsgSyncPolicy;
    default: return kMsgInvalid;
  }
}

bool CreateImpl(const char* fileName, MDF4Handle* h, const MDF4HeaderInfo* info, int64_t* startTime) {
  h->file = nullptr;
  h->errorCode = 0;
  h->errorMessage = nullptr;
  if (fileName == nullptr || info == nullptr || startTime == nullptr || info->author == nullptr ||
      info->department == nullptr || info->project == nullptr || info->subject == nullptr ||
      info->timeSource == nullptr || info->comment == nullptr) {
    RecordError(h, MDF4_ERR_INVALID_ARGUMENT, kMsgInvalid);
    return false;
  }
  const std::u16string name = os::NarrowToWide(fileName);
  HeaderTexts texts{os::NarrowToWide(info->author),   os::NarrowToWide(info->department),
                    os::NarrowToWide(info->project),  os::NarrowToWide(info->subject),
                    os::NarrowToWide(info->timeSource), os::NarrowToWide(info->comment)};
  auto* ctx = new MDF4FileContext();
  ctx->reopened = os::FileExists(name.c_str());
  h->file = ctx;

  StartTimeRecord start;
  nowTime(start);
  if (*startTime > 0) fromFileTime(start, static_cast<uint64_t>(*startTime));

  const int32_t code = !ReadSyncPolicy(*ctx) ? MDF4_ERR_SYNC_POLICY
                       : ctx->reopened     ? Reopen(*ctx, name, &start)
                                           : CreateNew(*ctx, name, texts, start);
  if (code != 0) RecordError(h, code, MessageFor(code));
  else ctx->ready = true;
  *startTime = static_cast<int64_t>(toFileTime(start));
  return h->errorCode == 0;
}

}  // namespace

extern "C" QM_API bool MDF4_Create(const char* fileName, MDF4Handle* h, const MDF4HeaderInfo* info,
                                   int64_t* startTime) {
  if (h == nullptr) return false;
  return Guarded(h, [&] { return CreateImpl(fileName, h, info, startTime); });
}

extern "C" QM_API void MDF4_Close(MDF4Handle* h) {
  if (h == nullptr || h->file == nullptr) return;
  MDF4FileContext* ctx = h->file;
  try {
    ctx->groups.clear();
    // A failure of the final writes is recorded in the handle and taken back; a damaged
    // context writes nothing more.
    if (ctx->file.Direct().IsOpen() && !ctx->damaged) {
      WriteCall call(h, *ctx);
      ctx->appender.reset();
      ctx->file.HD().Write(BlockParts::kAll);
      if (ctx->sync != SyncPolicy::kOff) ctx->file.Direct().Sync();  // a refused sync counts as a failed write
      call.Done();
    }
    ctx->file.Close();
  } catch (...) {
    // Nothing to report: closing has no error channel.
  }
  ctx->ready = false;
  delete ctx;
  // The handle no longer refers to the released context: later calls on it are refused, and a
  // second close finds nothing to do.
  h->file = nullptr;
}

extern "C" QM_API uint64_t GetCurrentTimeStamp(void) { return os::CurrentFileTime(); }

extern "C" QM_API void GetTimeChannelValues(double* values, uint32_t count, uint32_t step, uint64_t offset) {
  if (values == nullptr || count == 0) return;
  const uint64_t now = os::CurrentFileTime();
  // Products wrap at 32 bits; hosts keep count x step below 2^32.
  const uint64_t base = now - static_cast<uint32_t>(count * step) - offset;
  for (uint32_t i = 0; i < count; ++i)
    values[i] = static_cast<double>(static_cast<int64_t>(base + static_cast<uint32_t>(i * step))) / 1000.0;
}

extern "C" QM_API void Free1DIntArray(int32_t* array) { delete[] array; }

extern "C" QM_API void MDF4_FreeString(QM_CHAR16* message) {
  os::FreeMessage(reinterpret_cast<char16_t*>(message));
}
