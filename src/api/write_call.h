// WriteCall: an exported function's writes either all reach the file or are all taken back.
#pragma once

#include <cstdint>

#include "api/file_context.h"
#include "quillmark/quillmark.h"

namespace qm::api {

// Brackets the writes of one exported call on an open context. From construction on, the
// file keeps what the call's writes replace (mDirectFile::MarkUndo), and the newest group
// and channel and the next record ID are noted. Done ends a call that ran to its end: when
// one of its writes or size changes failed, the file is put back exactly as the previous
// call left it, the context is brought back to it (the newest group and channel, the
// data group's links, the cycle counts, the next record ID; a kept appending stream is
// dropped), and -8007 is recorded. A call that ends without Done (an early return, an
// exception) is taken back the same way, without recording an error. When the file cannot
// be put back, the context is marked damaged: the file is then as an interrupted call
// leaves it, which reopening rolls back.
class WriteCall {
 public:
  WriteCall(MDF4Handle* h, MDF4FileContext& ctx);
  WriteCall(const WriteCall&) = delete;
  WriteCall& operator=(const WriteCall&) = delete;
  ~WriteCall();

  // True when every write of the call succeeded; they then stay. False after taking the
  // call back and recording -8007.
  bool Done();

 private:
  void TakeBack() noexcept;
  // The data group, its newest group and that group's newest channel as the file holds them.
  bool ReloadNewest();

  MDF4Handle* h_;
  MDF4FileContext& ctx_;
  bool open_ = true;
  uint64_t nextRecordId_;
  uint64_t newestGroup_ = 0;    // position of the newest CG, 0: none
  uint64_t newestChannel_ = 0;  // position of that CG's newest CN, 0: none
};

}  // namespace qm::api
