// PieceReader: reads a data stream from its start in fixed pieces, one piece ahead of its user.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class m4DataStream;

namespace qm {

// While the user works on one piece, a second thread reads the next into the other of two
// buffers, so that reading the source overlaps splitting and writing its records. Where no
// thread can be started the pieces are read on the calling thread instead. The stream belongs
// to the reading thread from Start until this object is destroyed.
class PieceReader {
 public:
  PieceReader() = default;
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;
  // Stops the reading thread (after the read it is in, if any).
  ~PieceReader();

  // Reads `total` bytes from the stream's current position in pieces of pieceSize (the last
  // one shorter); each buffer has `slack` readable bytes behind its piece. False when the
  // buffers cannot be allocated.
  bool Start(m4DataStream* stream, uint64_t total, uint32_t pieceSize, uint32_t slack);

  // The next piece and its length; the piece handed out before becomes invalid. Null when the
  // stream could not deliver the piece in full, or all pieces were handed out.
  const uint8_t* Next(uint32_t* length);

 private:
  enum class State { kFree, kReady, kFailed };
  uint32_t PieceLength(uint64_t piece) const;
  bool ReadPiece(uint64_t piece);  // into buffer piece % 2; false when it failed
  void Work();

  m4DataStream* stream_ = nullptr;
  uint64_t total_ = 0;
  uint64_t pieces_ = 0;
  uint32_t pieceSize_ = 0;
  std::unique_ptr<uint8_t[]> buffers_[2];
  State state_[2] = {State::kFree, State::kFree};
  uint64_t next_ = 0;     // the piece Next hands out next
  bool handedOut_ = false;  // a piece is with the user (buffer (next_ - 1) % 2)
  bool threaded_ = false;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
};

}  // namespace qm
