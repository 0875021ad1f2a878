// The compressing block queue and the writer of a compressed sorted group.
#include "sort/dz_writer.h"

#include <algorithm>
#include <new>

#include "block/hierarchy_blocks.h"
#include "platform/direct_file.h"

namespace qm {

// ---- The queue ---------------------------------------------------------------------------

DZBlockQueue::DZBlockQueue(mDirectFile* destination, const CompressSettings& settings)
    : file_(destination), settings_(settings), pool_(settings.workers) {
  maxInFlight_ = 2 * std::max<size_t>(pool_.Workers(), 1) + 1;
}

DZBlockQueue::~DZBlockQueue() { Discard(); }

std::vector<uint8_t> DZBlockQueue::TakeBuffer(uint64_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Only a buffer of about the size asked for: a small group must not keep a large one.
  for (size_t i = buffers_.size(); i-- > 0;) {
    const uint64_t capacity = buffers_[i].capacity();
    if (capacity >= size && capacity / 2 <= size) {
      std::vector<uint8_t> buffer = std::move(buffers_[i]);
      buffers_.erase(buffers_.begin() + static_cast<std::ptrdiff_t>(i));
      return buffer;
    }
  }
  return {};
}

void DZBlockQueue::Compress(Job* job) {
  std::unique_ptr<BlockDeflater> deflater;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!deflaters_.empty()) {
      deflater = std::move(deflaters_.back());
      deflaters_.pop_back();
    }
  }
  if (!deflater) deflater.reset(new (std::nothrow) BlockDeflater(settings_.level));
  const bool ok = deflater != nullptr &&
                  deflater->Encode(job->data.data(), static_cast<uint32_t>(job->data.size()),
                                   job->zipType, job->columns, &job->block);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      if (deflater) deflaters_.push_back(std::move(deflater));
      job->data.clear();
      // No more free buffers are kept than blocks can be in flight.
      if (buffers_.size() < maxInFlight_) buffers_.push_back(std::move(job->data));
      job->data = {};
    } catch (...) {
      // The free lists could not grow: the deflater and the buffer are simply freed.
    }
    job->ok = ok;
    job->done = true;
  }
  finished_.notify_all();
}

void DZBlockQueue::Submit(std::vector<uint8_t> data, uint8_t zipType, uint32_t columns,
                          std::vector<uint64_t>* positions) {
  while (jobs_.size() >= maxInFlight_) WriteOldest();
  try {
    auto job = std::make_unique<Job>();
    job->data = std::move(data);
    job->zipType = zipType;
    job->columns = columns;
    job->positions = positions;
    jobs_.push_back(std::move(job));
  } catch (...) {
    failed_ = true;  // the block is lost: the copy fails
    return;
  }
  Job* job = jobs_.back().get();
  try {
    pool_.Submit([this, job] { Compress(job); });
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    job->done = true;  // never made: WriteOldest fails the copy
  }
}

void DZBlockQueue::WriteOldest() {
  Job* job = jobs_.front().get();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [job] { return job->done; });
  }
  if (!job->ok || job->block.size() > UINT32_MAX) {
    failed_ = true;
  } else if (!failed_) {
    const uint64_t position = file_->AllocateAtEnd(job->block.size());
    try {
      if (!file_->WriteAt(position, static_cast<uint32_t>(job->block.size()), job->block.data()))
        failed_ = true;
      else
        job->positions->push_back(position);
    } catch (...) {
      failed_ = true;
    }
  }
  jobs_.pop_front();
}

bool DZBlockQueue::Drain() {
  while (!jobs_.empty()) WriteOldest();
  return !failed_;
}

void DZBlockQueue::Discard() {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] {
    return std::all_of(jobs_.begin(), jobs_.end(), [](const auto& job) { return job->done; });
  });
  jobs_.clear();
  failed_ = false;
}

// ---- One group ---------------------------------------------------------------------------

uint64_t BufferShare(uint64_t budget, uint64_t part, uint64_t all, uint64_t least, uint64_t most) {
  const double share = static_cast<double>(budget) * static_cast<double>(part) /
                       static_cast<double>(std::max<uint64_t>(all, 1));
  return std::clamp<uint64_t>(static_cast<uint64_t>(share), least, most);
}

uint64_t CompressedBlockShare(uint64_t groupBytes, uint64_t allBytes, uint64_t recordLength,
                              uint64_t budget, uint64_t minimum, uint64_t blockLimit) {
  uint64_t bytes = BufferShare(budget, groupBytes, allBytes, minimum, blockLimit);
  // Never more than the group's data needs.
  bytes = std::min(bytes, std::max<uint64_t>(groupBytes, 1));
  return std::max(bytes, recordLength);
}

DZGroupWriter::DZGroupWriter(DZBlockQueue* queue, uint64_t recordLength, uint64_t blockShare)
    : queue_(queue), recordLength_(recordLength) {
  const uint64_t limit = queue->Settings().blockLimit;
  zipType_ = ZipTypeFor(recordLength, limit);
  if (recordLength == 0 || recordLength > limit) {
    blockSize_ = limit;  // records are cut wherever a block ends
  } else {
    // Whole records only, so that every block's rows line up with the records.
    const uint64_t records = std::max<uint64_t>(std::min(blockShare, limit) / recordLength, 1);
    blockSize_ = records * recordLength;
  }
  ready_ = true;
  writing_ = true;
}

uint64_t DZGroupWriter::ReserveListHead(mDirectFile* file) {
  listHead_ = std::make_unique<M4HLBlock>();
  return listHead_->Place(file, BlockParts::kNone);
}

bool DZGroupWriter::AppendSlow(const uint8_t* p, uint64_t n) {
  while (n > 0) {
    if (room_ == 0) {
      if (filled_ != 0) SubmitRest();
      buffer_ = queue_->TakeBuffer(blockSize_);
      try {
        buffer_.resize(blockSize_);
      } catch (const std::bad_alloc&) {
        noMemory_ = true;
        return false;
      }
      filled_ = 0;
      room_ = blockSize_;
    }
    const uint64_t k = std::min(n, room_);
    std::memcpy(buffer_.data() + filled_, p, k);
    filled_ += k;
    room_ -= k;
    p += k;
    n -= k;
  }
  return true;
}

void DZGroupWriter::SubmitRest() {
  if (filled_ == 0) return;
  buffer_.resize(filled_);
  const uint32_t columns = zipType_ == fmt::kZipTransposeDeflate ? static_cast<uint32_t>(recordLength_) : 0;
  queue_->Submit(std::move(buffer_), zipType_, columns, &positions_);
  buffer_ = {};
  filled_ = 0;
  room_ = 0;
}

uint64_t DZGroupWriter::WriteLists(mDirectFile* file) {
  const uint32_t entries = std::max<uint32_t>(queue_->Settings().listEntries, 1);
  uint64_t first = 0;
  std::unique_ptr<M4DLBlock> previous;
  for (size_t i = 0; i < positions_.size(); i += entries) {
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(entries, positions_.size() - i));
    auto list = std::make_unique<M4DLBlock>(count, blockSize_);
    for (uint32_t k = 0; k < count; ++k) list->AddDataBlock(positions_[i + k]);
    const uint64_t position = list->Place(file, BlockParts::kNone);
    if (position == 0) return 0;
    if (previous) {
      previous->SetLink(fmt::kDlNext, position);
      if (previous->Place(nullptr, BlockParts::kAll) == 0) return 0;
    } else {
      first = position;
    }
    previous = std::move(list);
  }
  if (previous && previous->Place(nullptr, BlockParts::kAll) == 0) return 0;
  return first;
}

bool DZGroupWriter::Complete() {
  SubmitRest();
  if (!queue_->Drain()) return false;
  // No records and no list head reserved for them: the group has no data.
  if (positions_.empty() && !listHead_) return !noMemory_;
  mDirectFile* file = target_ != nullptr ? target_->GetFile() : listHead_ ? listHead_->GetFile() : nullptr;
  if (file == nullptr) return false;
  uint64_t lists = 0;  // a reserved head without blocks leads to no data
  if (!positions_.empty() && (lists = WriteLists(file)) == 0) return false;
  if (!listHead_) listHead_ = std::make_unique<M4HLBlock>();
  listHead_->SetLink(fmt::kHlDlFirst, lists);
  listHead_->hl_flags = fmt::kHlFlagEqualLength;
  listHead_->hl_zip_type = zipType_;
  const uint64_t head = listHead_->Place(file, BlockParts::kAll);
  if (head == 0) return false;
  if (target_ != nullptr) target_->SetLink(fmt::kDgData, head);
  return !noMemory_;
}

}  // namespace qm
