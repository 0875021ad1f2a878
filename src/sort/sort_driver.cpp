// The sort driver: copies header, history, groups, channels and records into a sorted file.
#include "sort/sort_driver.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "file/xml_text.h"
#include "block/block_factory.h"
#include "block/chain_walker.h"
#include "block/byte_order.h"
#include "block/descriptive_blocks.h"
#include "block/format.h"
#include "block/hierarchy_blocks.h"
#include "block/text_block.h"
#include "file/mdf4_file.h"
#include "file/start_time.h"
#include "platform/platform.h"
#include "sort/dz_writer.h"
#include "sort/one_pass.h"
#include "sort/record_pass.h"

using namespace qm;

namespace {

// Walks the chain of T blocks that starts at parent's link `first` and continues along each
// element's link 0, one element in memory at a time. visit returns false to stop. A link that
// loops back or does not lead to a readable T ends the walk: the chain is taken as ending there.
template <class T, class Visit>
void WalkChain(mDirectFile* file, const m4Block& parent, int first, uint16_t type, Visit&& visit) {
  ForEachInChain<T>(file, parent.GetLink(first), type, 0, visit);
}

// The text of the ##TX or ##MD block at block's link, decoded up to its first zero byte (line
// feeds become CR LF). False when the link is empty, unreadable or names another block type.
bool LinkedText(mDirectFile* file, const m4Block& block, int link, std::u16string* text) {
  std::unique_ptr<m4Block> loaded = LoadLinked(file, block, link, 0);
  if (!loaded || (loaded->GetType() != fmt::kTX && loaded->GetType() != fmt::kMD)) return false;
  *text = static_cast<const M4TXBlock&>(*loaded).Decode();
  return true;
}

// The name a channel group is announced by: the text of its ##TX acquisition name, or empty.
std::u16string GroupName(mDirectFile* file, const M4CGBlock& cg) {
  auto tx = LoadAs<M4TXBlock>(file, cg.GetLink(fmt::kCgTxAcqName), fmt::kTX);
  return tx ? tx->Decode() : std::u16string();
}

bool IsVariableGroup(const M4CGBlock& cg) { return (cg.cg_flags & fmt::kCgFlagVlsd) != 0; }

// A channel whose values live in the records of a VLSD channel group (its data link leads to
// that group): the copy does not carry such groups, so the channel is not copied either.
bool ValuesInVariableGroup(mDirectFile* file, const M4CNBlock& cn) {
  uint8_t header[fmt::kBlockHeaderSize];
  return cn.GetLink(fmt::kCnData) != 0 && ReadHeaderAt(file, cn.GetLink(fmt::kCnData), header) &&
         LoadLE16(header + 2) == fmt::kCG;
}

// "'text'" for a line of standard error.
std::string Quoted(const std::u16string& text) { return "'" + os::WideToNarrow(text.c_str()) + "'"; }

void PrintGroupLine(const std::u16string& name) {
#ifdef _WIN32
  std::printf("copy channel group '%S' ...\n", reinterpret_cast<const wchar_t*>(name.c_str()));
#else
  std::printf("copy channel group '%s' ...\n", os::WideToNarrow(name.c_str()).c_str());
#endif
  std::fflush(stdout);
}

void PrintDoneLine(double seconds) {
  std::printf("... done (%f s)\n", seconds);
  std::fflush(stdout);
}

// One sort from start to end; all of its state lives here.
class SortJob {
 public:
  explicit SortJob(const SortOptions& options) : options_(options) {}
  bool Run(const char16_t* source, const char16_t* destination);

 private:
  // Reports where the sort stopped; returns false.
  bool Failed(SortFailure where) {
    if (options_.failure != nullptr) *options_.failure = where;
    return false;
  }
  // Copies the text at source's link into a new ##TX (or ##MD) block of the destination and
  // links it as target's link, which must still be empty. Nothing happens when there is no text.
  void CopyText(const m4Block& source, int sourceLink, m4Block& target, int targetLink, bool md);
  void CopyHistory();
  void AddSortEntry();
  // False when the sort must stop at once.
  bool CopyDataGroup(const M4DGBlock& dg);
  // One line on standard error per VLSD group of dg, which the copy leaves out.
  void NoteVariableGroups(const M4DGBlock& dg);
  bool CopyChannelGroup(const M4DGBlock& sourceDg, const M4CGBlock& sourceCg,
                        const RecordLengthMap& map);
  // The new data group and channel group of one source channel group, placed with everything
  // but their records. False when a conversion cannot be copied (the sort must stop).
  bool StartGroup(const M4CGBlock& sourceCg, M4DGBlock** dg, M4CGBlock** cg);
  // Writes the new groups with their final fields and links.
  void EndGroup(M4DGBlock* dg, M4CGBlock* cg);
  bool CopyChannels(const M4CGBlock& sourceCg, M4CGBlock& cg);
  bool CopyConversion(const M4CNBlock& sourceCn, M4CNBlock& cn);
  bool ConversionsCopyable(const M4CGBlock& sourceCg);

  // The one-pass copy of a data group.
  enum class OnePass { kDone, kNotPossible, kFailed };
  OnePass CopyDataGroupInOnePass(const M4DGBlock& dg, const RecordLengthMap& map);
  // The source's channel groups for the one pass, in chain order; false when the data group
  // must be copied group by group.
  bool PlanOnePass(const M4DGBlock& dg, const RecordLengthMap& map,
                   std::vector<SplitGroup>* groups);
  // What the one pass changes in the destination and the job, so that it can be undone.
  struct Snapshot {
    uint64_t end = 0;
    uint64_t lastDg = 0;  // position of the newest data group, 0: none yet
    uint64_t nextRecordId = 0;
    std::map<uint64_t, CycleCounterTable::Entry> counters;
  };
  Snapshot TakeSnapshot();
  // Cuts everything placed since the snapshot off the destination and unlinks it. False when
  // the file cannot be cut or the newest data group of the snapshot cannot be read back.
  bool Restore(const Snapshot& snapshot);

  // The writer of a compressed group's records, or null for an uncompressed copy.
  std::unique_ptr<DZGroupWriter> MakeSink(uint64_t recordLength, uint64_t blockShare);

  const SortOptions options_;
  MDF4File srcFile_;
  MDF4File dstFile_;
  // The positioned files of both: what blocks are read from and placed in.
  mDirectFile& src_ = srcFile_.Direct();
  mDirectFile& dst_ = dstFile_.Direct();
  std::unique_ptr<DZBlockQueue> dz_;  // compresses the records of a compressed copy
  bool copyOk_ = true;   // cleared when a group's records cannot be copied; never set again
  bool stopped_ = false; // a conversion that cannot be copied ended the sort at once
  bool dataEndNoted_ = false;  // the current data group's early end was reported
  uint64_t nextRecordId_ = 1;
  int64_t frequency_ = 1;
};

void SortJob::CopyText(const m4Block& source, int sourceLink, m4Block& target, int targetLink,
                       bool md) {
  if (target.HasLink(targetLink)) return;
  std::u16string text;
  if (!LinkedText(&src_, source, sourceLink, &text)) return;
  std::unique_ptr<M4TXBlock> block = md ? std::make_unique<M4MDBlock>() : std::make_unique<M4TXBlock>();
  block->appendWide(text);
  // A block that cannot be written leaves a link to zeros; like every single text, it is not
  // reported.
  const uint64_t position = block->Place(&dst_, BlockParts::kAll);
  if (position != 0) target.SetLink(targetLink, position);
}

void SortJob::CopyHistory() {
  WalkChain<M4FHBlock>(&src_, srcFile_.HD(), fmt::kHdFhFirst, fmt::kFH, [&](const M4FHBlock& source) {
    auto owned = std::make_unique<M4FHBlock>();
    owned->Place(&dst_, BlockParts::kNone);  // reserved first, so that the entry stands before its comment
    owned->fh_time_ns = source.fh_time_ns;
    owned->fh_tz_offset_min = source.fh_tz_offset_min;
    owned->fh_dst_offset_min = source.fh_dst_offset_min;
    owned->fh_time_flags = source.fh_time_flags;
    M4FHBlock* fh = dstFile_.HD().AddFH(owned.release());
    std::u16string text;
    if (LinkedText(&src_, source, fmt::kFhMdComment, &text)) {
      M4MDBlock comment;
      comment.appendWide(text);
      // Appending the next entry rewrites only this entry's next link, so the comment link is
      // written here.
      if (fh->SetComment(&comment)) fh->WriteHead();
    }
    return true;
  });
}

void SortJob::AddSortEntry() {
  char16_t text[kCommentCapacity];
  formatWide(text, kCommentCapacity, kSortedCommentTemplate,
             {kToolVersionMajor, kToolVersionMinor, kToolVersionPatch, kToolVersionBuild});
  StartTimeRecord now;
  nowTime(now);
  auto fh = std::make_unique<M4FHBlock>();
  fh->Place(&dst_, BlockParts::kNone);
  M4MDBlock comment(text);
  fh->SetComment(&comment);
  fh->fh_time_ns = static_cast<uint64_t>(now.timeNs);
  fh->fh_tz_offset_min = now.tzOffsetMin;
  fh->fh_dst_offset_min = now.dstOffsetMin;
  fh->fh_time_flags = now.timeFlags;
  dstFile_.HD().AddFH(fh.release());
}

bool SortJob::Run(const char16_t* source, const char16_t* destination) {
  // The source is opened read-only, keeping writers out: a destination naming the same file
  // then cannot be created, and the source stays untouched.
  if (!srcFile_.OpenForCopy(source)) return Failed(SortFailure::kSource);
  // Nobody writes the source meanwhile, so its many small block reads may be cached.
  src_.CacheSmallReads();
  const bool compress = options_.compressLevel != 0;
  // ##DZ blocks first appear in version 4.10: only a compressed copy claims it.
  if (!dstFile_.Create(destination, fmt::kProgramId, compress ? fmt::kVersionCompressed : fmt::kVersion))
    return Failed(SortFailure::kDestination);
  if (compress) {
    CompressSettings settings;
    settings.level = options_.compressLevel;
    if (options_.compressBlock != 0) settings.blockLimit = options_.compressBlock;
    if (options_.compressList != 0) settings.listEntries = options_.compressList;
    dz_ = std::make_unique<DZBlockQueue>(&dst_, settings);
  }
  // The copy is complete only at the end, so its many small block writes may be gathered.
  dst_.CombineSmallWrites();

  CopyText(srcFile_.HD(), fmt::kHdMdComment, dstFile_.HD(), fmt::kHdMdComment, true);
  CopyHistory();
  AddSortEntry();
  M4HDBlock& hd = dstFile_.HD();
  hd.hd_start_time_ns = srcFile_.HD().hd_start_time_ns;
  hd.hd_tz_offset_min = srcFile_.HD().hd_tz_offset_min;
  hd.hd_dst_offset_min = srcFile_.HD().hd_dst_offset_min;
  hd.hd_time_flags = srcFile_.HD().hd_time_flags;
  hd.Write(BlockParts::kAll);

  frequency_ = os::MonotonicFrequency();
  if (frequency_ <= 0) frequency_ = 1;
  nextRecordId_ = 1;
  WalkChain<M4DGBlock>(&src_, srcFile_.HD(), fmt::kHdDgFirst, fmt::kDG,
                       [&](const M4DGBlock& dg) { return CopyDataGroup(dg); });
  if (stopped_) return Failed(SortFailure::kCopy);  // stopped at once: no final header write
  const bool written = hd.Write(BlockParts::kAll);
  // Any write the system refused on the way, including gathered ones, fails the copy.
  return (written && dst_.FlushWrites() && !dst_.HadWriteError() && copyOk_ && (!dz_ || dz_->Ok())) ||
         Failed(SortFailure::kCopy);
}

std::unique_ptr<DZGroupWriter> SortJob::MakeSink(uint64_t recordLength, uint64_t blockShare) {
  if (!dz_) return nullptr;
  return std::make_unique<DZGroupWriter>(dz_.get(), recordLength, blockShare);
}

void SortJob::NoteVariableGroups(const M4DGBlock& dg) {
  // Each VLSD group of the data group, with the channels whose values it holds.
  std::map<uint64_t, std::string> notes;
  WalkChain<M4CGBlock>(&src_, dg, fmt::kDgCgFirst, fmt::kCG, [&](const M4CGBlock& cg) {
    if (IsVariableGroup(cg))
      notes[cg.GetPosition()] = "note: channel group " + Quoted(GroupName(&src_, cg)) +
                                " holds variable-length signal data and is not copied";
    return true;
  });
  if (notes.empty()) return;
  std::map<uint64_t, std::string> channels;
  WalkChain<M4CGBlock>(&src_, dg, fmt::kDgCgFirst, fmt::kCG, [&](const M4CGBlock& cg) {
    WalkChain<M4CNBlock>(&src_, cg, fmt::kCgCnFirst, fmt::kCN, [&](const M4CNBlock& cn) {
      const auto it = notes.find(cn.GetLink(fmt::kCnData));
      if (it != notes.end() && ValuesInVariableGroup(&src_, cn)) {
        std::string& list = channels[it->first];
        std::u16string name;
        LinkedText(&src_, cn, fmt::kCnTxName, &name);
        list += (list.empty() ? "" : ", ") + Quoted(name) + " of group " + Quoted(GroupName(&src_, cg));
      }
      return true;
    });
    return true;
  });
  for (const auto& [position, note] : notes) {
    const auto it = channels.find(position);
    const std::string values =
        it == channels.end() ? "" : " (nor the channels whose values it holds: " + it->second + ")";
    std::fprintf(stderr, "%s%s\n", note.c_str(), values.c_str());
  }
  std::fflush(stderr);
}

bool SortJob::CopyDataGroup(const M4DGBlock& dg) {
  dataEndNoted_ = false;
  RecordLengthMap map;
  if (!BuildRecordLengthMap(dg, &map)) {
    copyOk_ = false;
    return false;
  }
  // VLSD groups are not copied and not counted.
  int groups = 0;
  for (const auto& [id, group] : map.groups) groups += group.length != kVariableLength ? 1 : 0;
  std::printf("processing %d channel groups ...\n", groups);
  std::fflush(stdout);
  NoteVariableGroups(dg);
  if (options_.onePass) {
    const OnePass outcome = CopyDataGroupInOnePass(dg, map);
    if (outcome == OnePass::kDone) {
      if (options_.counts != nullptr) ++options_.counts->onePass;
      return true;
    }
    if (outcome == OnePass::kFailed) {
      copyOk_ = false;
      return false;
    }
  }
  if (options_.counts != nullptr) ++options_.counts->perGroup;
  WalkChain<M4CGBlock>(&src_, dg, fmt::kDgCgFirst, fmt::kCG, [&](const M4CGBlock& cg) {
    if (IsVariableGroup(cg)) return true;  // its records are stepped over
    if (!CopyChannelGroup(dg, cg, map)) {
      stopped_ = true;
      return false;
    }
    return copyOk_;  // no further group is started once a group's records failed
  });
  return copyOk_ && !stopped_;
}

bool SortJob::StartGroup(const M4CGBlock& sourceCg, M4DGBlock** dgOut, M4CGBlock** cgOut) {
  M4DGBlock* dg = dstFile_.HD().AddDG(std::make_unique<M4DGBlock>(0).release());
  dstFile_.HD().Write(BlockParts::kAll);
  M4CGBlock* cg = dg->AddCG(std::make_unique<M4CGBlock>(0).release());
  cg->cg_cycle_count = sourceCg.cg_cycle_count;
  // The invalidation bytes stay the last bytes of each record; the copy has none of its own.
  const bool vlsd = (sourceCg.cg_flags & fmt::kCgFlagVlsd) != 0;
  cg->cg_data_bytes = vlsd ? sourceCg.cg_data_bytes : sourceCg.cg_data_bytes + sourceCg.cg_inval_bytes;
  cg->cg_inval_bytes = 0;
  cg->cg_record_id = nextRecordId_++;
  CopyText(sourceCg, fmt::kCgTxAcqName, *cg, fmt::kCgTxAcqName, false);
  CopyText(sourceCg, fmt::kCgMdComment, *cg, fmt::kCgMdComment, true);
  *dgOut = dg;
  *cgOut = cg;
  return CopyChannels(sourceCg, *cg);
}

void SortJob::EndGroup(M4DGBlock* dg, M4CGBlock* cg) {
  cg->Write(BlockParts::kAll);
  dg->Write(BlockParts::kAll);
  // Every group uses key 0: the table keeps only the newest group, whose count the next group's
  // stream writes once more, unchanged.
  dstFile_.RegisterCycleCounter(*cg, 0);
}

bool SortJob::CopyChannelGroup(const M4DGBlock& sourceDg, const M4CGBlock& sourceCg,
                               const RecordLengthMap& map) {
  const int64_t start = os::MonotonicTicks();
  PrintGroupLine(GroupName(&src_, sourceCg));
  M4DGBlock* dg = nullptr;
  M4CGBlock* cg = nullptr;
  if (!StartGroup(sourceCg, &dg, &cg)) return false;

  // A compressed group's blocks are as large as the block limit allows.
  const std::unique_ptr<DZGroupWriter> sink = MakeSink(cg->cg_data_bytes, ~uint64_t{0});
  if (sink) sink->SetTarget(dg);
  const PassOutcome pass = CopyGroupRecords(sourceDg, map, sourceCg.cg_record_id, dg, dstFile_.Counters(), sink.get());
  if (pass.end == PassEnd::kUnreadableTail) {
    // Taken as the end of the data, but records may have been lost: say so.
    std::fprintf(stderr,
                 "warning: compressed data could not be read; records after offset %llu were not "
                 "copied\n",
                 static_cast<unsigned long long>(pass.offset));
    std::fflush(stderr);
  }
  // With record IDs, the written data ends at the first record that does not validate as
  // written data (zeros that never reached the disk, a record cut off, records of a call that
  // did not complete): the records before it are the data group's last consistent state, as a
  // writer interrupted at any point leaves it. It is said once per data group. Any other
  // record ID that no group declares is damage, and the copy fails.
  const char* dataEnd = nullptr;
  if (sourceDg.dg_rec_id_size != 0) {
    if (pass.end == PassEnd::kUnwrittenRecord) dataEnd = "bytes that were never written (record ID 0)";
    else if (pass.end == PassEnd::kShortRecord) dataEnd = "a record cut off by the end of the data";
    else if (pass.end == PassEnd::kBeyondCount) dataEnd = "a record behind its group's cycle count";
  }
  if (dataEnd != nullptr && !dataEndNoted_) {
    std::fprintf(stderr, "warning: the data ends at offset %llu, at %s; the records before it were copied\n",
                 static_cast<unsigned long long>(pass.offset), dataEnd);
    std::fflush(stderr);
    dataEndNoted_ = true;
  }
  if (!pass.Ok() && dataEnd == nullptr) copyOk_ = false;
  // A count is trusted only as far as the records it counts are there. A failed pass lowers it
  // too, so that even the copy of a failed sort never counts records it does not hold.
  if (pass.recordsCopied < cg->cg_cycle_count) cg->cg_cycle_count = pass.recordsCopied;

  EndGroup(dg, cg);
  const int64_t end = os::MonotonicTicks();
  PrintDoneLine(static_cast<double>(end - start) / static_cast<double>(frequency_));
  return true;
}

bool SortJob::PlanOnePass(const M4DGBlock& dg, const RecordLengthMap& map,
                          std::vector<SplitGroup>* groups) {
  if (dg.dg_rec_id_size == 0) return false;  // already sorted: every pass fails, as it should
  bool possible = true;
  std::unordered_set<uint64_t> ids;
  WalkChain<M4CGBlock>(&src_, dg, fmt::kDgCgFirst, fmt::kCG, [&](const M4CGBlock& cg) {
    const bool variable = IsVariableGroup(cg);
    const uint64_t length = cg.RecordSize();  // a VLSD group's: all its bytes
    const auto it = map.groups.find(cg.cg_record_id);
    // Two groups sharing an ID both receive every record of it: such data groups, and those
    // whose copy stops at a conversion, are left to the group-by-group copy.
    possible = ids.insert(cg.cg_record_id).second && it != map.groups.end() &&
               it->second.length == (variable ? kVariableLength : length) &&
               (variable || ConversionsCopyable(cg));
    if (possible) {
      SplitGroup g;
      g.variable = variable;
      g.recordId = cg.cg_record_id;
      g.recordLength = length;
      g.declaredCount = cg.cg_cycle_count;
      groups->push_back(g);
    }
    return possible;
  });
  return possible && !groups->empty();
}

SortJob::Snapshot SortJob::TakeSnapshot() {
  Snapshot s;
  s.end = dst_.GetEnd();
  s.lastDg = dstFile_.HD().LastDG() != nullptr ? dstFile_.HD().LastDG()->GetPosition() : 0;
  s.nextRecordId = nextRecordId_;
  s.counters = dstFile_.Counters().Entries();
  return s;
}

bool SortJob::Restore(const Snapshot& s) {
  const int64_t cut = static_cast<int64_t>(s.end) - static_cast<int64_t>(dst_.GetEnd());
  if (!dst_.ResizeFromEnd(cut)) return false;
  if (s.lastDg != 0) {
    // The newest data group before the one pass, read back, takes its place at the end of the
    // chain again, with an empty next link.
    std::unique_ptr<M4DGBlock> last = LoadAs<M4DGBlock>(&dst_, s.lastDg, fmt::kDG);
    if (!last) return false;
    last->SetLink(fmt::kDgNext, 0);
    last->WriteHead();
    dstFile_.HD().AdoptLastDG(last.release());
  } else {
    dstFile_.HD().ReleaseLastDG();
    dstFile_.HD().SetLink(fmt::kHdDgFirst, 0);
  }
  dstFile_.HD().Write(BlockParts::kAll);
  nextRecordId_ = s.nextRecordId;
  dstFile_.Counters().Entries() = s.counters;
  return true;
}

SortJob::OnePass SortJob::CopyDataGroupInOnePass(const M4DGBlock& dg, const RecordLengthMap& map) {
  std::vector<SplitGroup> groups;
  if (!PlanOnePass(dg, map, &groups)) return OnePass::kNotPossible;
  SplitSettings settings;
  if (options_.readChunk != 0) settings.readChunk = options_.readChunk;
  settings.fixedBuffer = options_.groupBuffer;
  DataGroupSplitter splitter;
  if (!splitter.Open(dg, std::move(groups), settings)) return OnePass::kNotPossible;

  // Every group's data group, channel group, texts and channels are placed as the group-by-group
  // copy places them; where that copy's stream would put the records, the room they take is
  // reserved: its size follows from the declared counts.
  const Snapshot snapshot = TakeSnapshot();
  struct Line {
    std::u16string name;
    int64_t ticks = 0;
  };
  std::vector<Line> lines;
  std::vector<SplitGroup>& planned = splitter.Groups();
  bool placed = true;
  size_t index = 0;  // of the source group in planned
  std::vector<size_t> copied;  // the planned groups that are copied, in order
  // A compressed copy's groups share a budget of block buffers in proportion to their data.
  std::vector<std::unique_ptr<DZGroupWriter>> sinks;
  uint64_t allData = 0;
  for (const SplitGroup& g : planned) allData += g.variable ? 0 : g.declaredCount * g.recordLength;
  WalkChain<M4CGBlock>(&src_, dg, fmt::kDgCgFirst, fmt::kCG, [&](const M4CGBlock& sourceCg) {
    const int64_t start = os::MonotonicTicks();
    if (index < planned.size() && planned[index].variable) {
      ++index;  // not copied: its records are stepped over
      return true;
    }
    M4DGBlock* newDg = nullptr;
    M4CGBlock* newCg = nullptr;
    if (index >= planned.size() || !StartGroup(sourceCg, &newDg, &newCg)) {
      placed = false;
      return false;
    }
    DataRegion& region = planned[index].region;
    region.start = (dst_.GetEnd() + fmt::kBlockAlignment - 1) & ~(fmt::kBlockAlignment - 1);
    region.dataBytes = planned[index].declaredCount * planned[index].recordLength;
    if (dz_) {
      // The records go to the group's writer; the list head is reserved here, so that the
      // data group links it now and the blocks and lists follow wherever they end up.
      sinks.push_back(MakeSink(planned[index].recordLength,
                               CompressedBlockShare(region.dataBytes, allData, planned[index].recordLength,
                                                    settings.bufferBudget, settings.minBuffer,
                                                    dz_->Settings().blockLimit)));
      planned[index].sink = sinks.back().get();
      if (region.dataBytes != 0) newDg->SetLink(fmt::kDgData, sinks.back()->ReserveListHead(&dst_));
    } else {
      // Storage for the records is asked for before the file is extended over it, so that
      // filling the region allocates nothing while the records arrive.
      const bool fits = region.Fits();
      if (fits) dst_.ReserveStorage(region.start, region.End() - region.start);
      if (!fits || !dst_.ResizeFromEnd(static_cast<int64_t>(region.End() - dst_.GetEnd()))) {
        placed = false;
        return false;
      }
      newDg->SetLink(fmt::kDgData, region.start);
    }
    EndGroup(newDg, newCg);
    lines.push_back({GroupName(&src_, sourceCg), os::MonotonicTicks() - start});
    copied.push_back(index++);
    return true;
  });

  SplitEnd end = SplitEnd::kUnreadable;
  const int64_t passStart = os::MonotonicTicks();
  if (placed && index == planned.size()) end = splitter.Run(&dst_);
  const int64_t passTicks = os::MonotonicTicks() - passStart;
  if (end != SplitEnd::kDone) {
    if (dz_) dz_->Discard();  // blocks still in flight are dropped before the cut
    // The data does not match its declaration (or could not be read or written): what was
    // placed is cut off again and the data group goes the way that handles every source.
    return Restore(snapshot) ? OnePass::kNotPossible : OnePass::kFailed;
  }

  // The progress lines of the copy, now that it is complete: each group's time is its own
  // placement plus its share of the one pass, by the size of its data.
  for (size_t i = 0; i < lines.size(); ++i) {
    const double bytes = static_cast<double>(planned[copied[i]].region.dataBytes);
    const double share = allData == 0 ? 1.0 / static_cast<double>(lines.size())
                                      : bytes / static_cast<double>(allData);
    PrintGroupLine(lines[i].name);
    PrintDoneLine((static_cast<double>(lines[i].ticks) + share * static_cast<double>(passTicks)) /
                  static_cast<double>(frequency_));
  }
  return OnePass::kDone;
}

bool SortJob::CopyChannels(const M4CGBlock& sourceCg, M4CGBlock& cg) {
  bool stop = false;
  WalkChain<M4CNBlock>(&src_, sourceCg, fmt::kCgCnFirst, fmt::kCN, [&](const M4CNBlock& source) {
    if (ValuesInVariableGroup(&src_, source)) return true;  // its group is not copied
    auto owned = std::make_unique<M4CNBlock>();
    owned->cn_type = source.cn_type;
    owned->cn_sync_type = source.cn_sync_type;
    M4CNBlock* cn = cg.AddCN(owned.release());
    CopyText(source, fmt::kCnTxName, *cn, fmt::kCnTxName, false);
    CopyText(source, fmt::kCnMdComment, *cn, fmt::kCnMdComment, true);
    CopyText(source, fmt::kCnMdUnit, *cn, fmt::kCnMdUnit, false);  // a ##TX even from an ##MD
    if (!CopyConversion(source, *cn)) {
      stop = true;
      return false;
    }
    cn->cn_data_type = source.cn_data_type;
    cn->cn_byte_offset = source.cn_byte_offset;
    cn->cn_bit_count = source.cn_bit_count;
    cn->cn_bit_offset = source.cn_bit_offset & 7;
    cn->Write(BlockParts::kAll);
    return true;
  });
  return !stop;
}

bool SortJob::ConversionsCopyable(const M4CGBlock& sourceCg) {
  bool copyable = true;
  WalkChain<M4CNBlock>(&src_, sourceCg, fmt::kCgCnFirst, fmt::kCN, [&](const M4CNBlock& cn) {
    if (ValuesInVariableGroup(&src_, cn)) return true;
    std::unique_ptr<M4CCBlock> cc =
        LoadAs<M4CCBlock>(&src_, cn.GetLink(fmt::kCnCcConversion), fmt::kCC);
    copyable = !cc || cc->cc_type == fmt::kCcTypeIdentity || cc->cc_type == fmt::kCcTypeLinear;
    return copyable;
  });
  return copyable;
}

bool SortJob::CopyConversion(const M4CNBlock& sourceCn, M4CNBlock& cn) {
  std::unique_ptr<M4CCBlock> cc = LoadAs<M4CCBlock>(&src_, sourceCn.GetLink(fmt::kCnCcConversion), fmt::kCC);
  if (!cc || cc->cc_type == fmt::kCcTypeIdentity) return true;  // the copy has no conversion
  if (cc->cc_type != fmt::kCcTypeLinear) return false;           // cannot be carried over
  // A parameter the block does not hold reads as 0, as the fields of a short record do.
  const double offset = cc->var.size() > 0 ? cc->var[0] : 0.0;
  const double factor = cc->var.size() > 1 ? cc->var[1] : 0.0;
  M4CCLinear linear(factor, offset);
  CopyText(*cc, fmt::kCcTxName, linear, fmt::kCcTxName, false);
  const uint64_t position = linear.Place(&dst_, BlockParts::kAll);
  if (position != 0) cn.SetLink(fmt::kCnCcConversion, position);
  return true;
}

}  // namespace

bool SortFile(const char16_t* source, const char16_t* destination, const SortOptions& options) {
  if (source == nullptr || destination == nullptr) return false;
  // Nothing escapes: memory running out anywhere in the copy ends it as a failure, and the
  // files are closed as the job goes out of scope.
  if (options.failure != nullptr) *options.failure = SortFailure::kNone;
  try {
    SortJob job(options);
    return job.Run(source, destination);
  } catch (...) {
    if (options.failure != nullptr) *options.failure = SortFailure::kCopy;
    return false;
  }
}
