// ChainWalker: the one walk along a chain of blocks (next links, data lists).
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_set>

#include "block/block_factory.h"
#include "block/byte_order.h"
#include "platform/direct_file.h"

// Why a walk ended.
enum class ChainEnd {
  kComplete,    // a zero link: the chain ends where its last block says it does
  kLoop,        // a link leads back to a block of the chain
  kUnreadable,  // a link points outside the file, or to no readable block of the expected type
  kLimit,       // more blocks than the file has room for (a chain that cannot be this long)
};

// The loop and size guard of a walk: admits each position once, and no more positions than a
// file of `fileEnd` bytes has room for blocks. For walks that read their blocks themselves
// (a reader that takes a torn list apart); every other walk uses ChainWalker.
class ChainGuard {
 public:
  explicit ChainGuard(uint64_t fileEnd) : limit_(fileEnd / qm::fmt::kBlockHeaderSize + 1) {}
  // kComplete when the walk may go on to position, otherwise why it must stop there.
  ChainEnd Admit(uint64_t position) {
    if (visited_.size() >= limit_) return ChainEnd::kLimit;
    return visited_.insert(position).second ? ChainEnd::kComplete : ChainEnd::kLoop;
  }

 private:
  uint64_t limit_;
  std::unordered_set<uint64_t> visited_;
};

// Walks the chain of T blocks (type code `type`) that begins at position `first` and goes on
// along each block's link `nextLink`, one block at a time:
//
//   ChainWalker<M4DGBlock> walk(file, hd.GetLink(fmt::kHdDgFirst), fmt::kDG, fmt::kDgNext);
//   while (std::unique_ptr<M4DGBlock> dg = walk.Next()) ...
//   if (walk.StoppedEarly()) ... walk.StoppedAt() ...
//
// The policy for every chain: the walk stops at the first link that loops back to a block of
// the chain, points outside the file, or does not lead to a readable block of the expected
// type. The blocks before it are the chain; StoppedEarly tells that the chain was cut there,
// so that a caller that must refuse such a file can. Every block lies in the file and takes at
// least a block header, so a walk never visits more blocks than the file has room for: its
// work and memory are bounded by the file's size.
template <class T>
class ChainWalker {
 public:
  ChainWalker(mDirectFile* file, uint64_t first, uint16_t type, uint32_t nextLink)
      : file_(file), next_(first), type_(type), nextLink_(nextLink),
        guard_(file != nullptr ? file->GetEnd() : 0) {}

  // The next block of the chain, or null at its end (see End).
  std::unique_ptr<T> Next() {
    if (next_ == 0 || end_ != ChainEnd::kComplete) return nullptr;
    const uint64_t at = next_;
    const ChainEnd admitted = guard_.Admit(at);
    if (admitted != ChainEnd::kComplete) return Stop(admitted, at);
    std::unique_ptr<T> block = LoadAs<T>(file_, at, type_);
    if (!block) return Stop(ChainEnd::kUnreadable, at);
    next_ = block->GetLink(nextLink_);
    return block;
  }

  ChainEnd End() const { return end_; }
  // The walk ended at a link that did not lead on (not at a zero link).
  bool StoppedEarly() const { return end_ != ChainEnd::kComplete; }
  // The position the link that ended the walk early leads to.
  uint64_t StoppedAt() const { return stoppedAt_; }

 private:
  std::unique_ptr<T> Stop(ChainEnd why, uint64_t at) {
    end_ = why;
    stoppedAt_ = at;
    next_ = 0;
    return nullptr;
  }

  mDirectFile* file_;
  uint64_t next_;
  uint16_t type_;
  uint32_t nextLink_;
  ChainGuard guard_;
  ChainEnd end_ = ChainEnd::kComplete;
  uint64_t stoppedAt_ = 0;
};

// Walks chain from `first` to its last readable block, which it returns (null for an empty
// chain or one whose first link does not lead on); walk tells how the chain ended.
template <class T>
std::unique_ptr<T> LastOfChain(ChainWalker<T>& walk) {
  std::unique_ptr<T> last;
  while (std::unique_ptr<T> block = walk.Next()) last = std::move(block);
  return last;
}

// Calls visit(block) for every block of the chain from `first`, until visit returns false.
// Returns how the walk ended (kComplete also when visit stopped it).
template <class T, class Visit>
ChainEnd ForEachInChain(mDirectFile* file, uint64_t first, uint16_t type, uint32_t nextLink, Visit&& visit) {
  ChainWalker<T> walk(file, first, type, nextLink);
  while (std::unique_ptr<T> block = walk.Next())
    if (!visit(*block)) break;
  return walk.End();
}
