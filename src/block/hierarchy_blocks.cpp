// Chain operations of the tree blocks: place the new element, link it from the previous one.
#include "block/hierarchy_blocks.h"

#include "block/text_block.h"

namespace {

// Places element behind the chain's newest element (or links it from parent) and makes it
// the newest. Returns the element.
template <class T>
T* AppendToChain(m4Block& parent, uint32_t firstLink, std::unique_ptr<T>& last, T* element) {
  const uint64_t position = element->Place(parent.GetFile(), BlockParts::kAll);
  if (position == 0) {
    // Nothing could be placed: the element is not linked anywhere, but it is still taken
    // over so that ownership stays simple for the caller.
    last.reset(element);
    return element;
  }
  if (last) {
    // The previous element's head is rewritten with its new next link (link 0 of every
    // chained type), together with any link set on it since it was written (a history
    // entry's comment). Fields its writer keeps up to date on disk by other means must be
    // current in the object before this (the API brings a CG's cycle count up to date).
    last->SetLink(0, position);
    last->WriteHead();
  } else {
    parent.SetLink(firstLink, position);
  }
  last.reset(element);
  return element;
}

}  // namespace

bool M4FHBlock::SetComment(M4MDBlock* comment) {
  if (HasLink(qm::fmt::kFhMdComment) || comment == nullptr) return false;
  const uint64_t position = comment->Place(GetFile(), BlockParts::kAll);
  if (position == 0) return false;
  SetLink(qm::fmt::kFhMdComment, position);
  return true;
}

M4CNBlock* M4CGBlock::AddCN(M4CNBlock* cn) {
  if (cn == nullptr) return nullptr;
  return AppendToChain(*this, qm::fmt::kCgCnFirst, lastCN_, cn);
}

uint64_t M4CGBlock::RecordSize() const {
  if ((cg_flags & qm::fmt::kCgFlagVlsd) != 0)
    return (uint64_t{cg_inval_bytes} << 32) | cg_data_bytes;
  return uint64_t{cg_data_bytes} + cg_inval_bytes;
}

M4CGBlock* M4DGBlock::AddCG(M4CGBlock* cg) {
  if (cg == nullptr) return nullptr;
  return AppendToChain(*this, qm::fmt::kDgCgFirst, lastCG_, cg);
}

M4FHBlock* M4HDBlock::AddFH(M4FHBlock* fh) {
  if (fh == nullptr) return nullptr;
  return AppendToChain(*this, qm::fmt::kHdFhFirst, lastFH_, fh);
}

M4DGBlock* M4HDBlock::AddDG(M4DGBlock* dg) {
  if (dg == nullptr) return nullptr;
  return AppendToChain(*this, qm::fmt::kHdDgFirst, lastDG_, dg);
}
