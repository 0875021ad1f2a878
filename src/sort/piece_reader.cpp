// PieceReader: two buffers, a reading thread one piece ahead, and a fallback on the caller's thread.
#include "sort/piece_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "stream/data_stream.h"

namespace qm {

PieceReader::~PieceReader() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool PieceReader::Start(m4DataStream* stream, uint64_t total, uint32_t pieceSize, uint32_t slack) {
  stream_ = stream;
  total_ = total;
  pieceSize_ = std::max<uint32_t>(pieceSize, 1);
  pieces_ = (total + pieceSize_ - 1) / pieceSize_;
  const size_t pieceBytes = static_cast<size_t>(std::min<uint64_t>(pieceSize_, std::max<uint64_t>(total, 1)));
  // A single piece needs one buffer and no thread. Reads fill the pieces; the slack behind
  // the longest piece starts as zeros.
  for (int b = 0; b < (pieces_ > 1 ? 2 : 1); ++b) {
    buffers_[b].reset(new (std::nothrow) uint8_t[pieceBytes + slack]);
    if (!buffers_[b]) return false;
    std::memset(buffers_[b].get() + pieceBytes, 0, slack);
  }
  if (pieces_ > 1) {
    try {
      thread_ = std::thread([this] { Work(); });
      threaded_ = true;
    } catch (const std::system_error&) {
      threaded_ = false;  // read on the caller's thread
    }
  }
  return true;
}

uint32_t PieceReader::PieceLength(uint64_t piece) const {
  return static_cast<uint32_t>(std::min<uint64_t>(pieceSize_, total_ - piece * pieceSize_));
}

bool PieceReader::ReadPiece(uint64_t piece) {
  // Nothing may escape the reading thread: memory running out while a block is inflated
  // fails the piece like any other failed read.
  try {
    const uint32_t want = PieceLength(piece);
    const int32_t got = stream_->ReadBytes(want, buffers_[piece % 2].get());
    return got >= 0 && static_cast<uint32_t>(got) == want;
  } catch (...) {
    return false;
  }
}

void PieceReader::Work() {
  for (uint64_t piece = 0; piece < pieces_; ++piece) {
    const size_t b = piece % 2;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || state_[b] == State::kFree; });
      if (stop_) return;
    }
    const bool ok = ReadPiece(piece);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_[b] = ok ? State::kReady : State::kFailed;
    }
    changed_.notify_all();
    if (!ok) return;
  }
}

const uint8_t* PieceReader::Next(uint32_t* length) {
  *length = 0;
  if (!threaded_) {
    if (next_ >= pieces_ || !ReadPiece(next_)) return nullptr;
    *length = PieceLength(next_);
    return buffers_[next_++ % 2].get();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (handedOut_) {
    // The piece the user had is done with: its buffer may take the piece after next.
    state_[(next_ - 1) % 2] = State::kFree;
    handedOut_ = false;
    changed_.notify_all();
  }
  if (next_ >= pieces_) return nullptr;
  const size_t b = next_ % 2;
  changed_.wait(lock, [&] { return state_[b] != State::kFree; });
  if (state_[b] == State::kFailed) return nullptr;
  *length = PieceLength(next_);
  ++next_;
  handedOut_ = true;
  return buffers_[b].get();
}

}  // namespace qm
