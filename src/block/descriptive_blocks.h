// Conversion, source, attachment, event, hierarchy, array and sample-reduction blocks.
#pragma once

#include "block/block.h"
#include "block/records.h"

// Conversion; variable part cc_val. Links: name, unit, comment, inverse (+ cc_ref read from files).
class M4CCBlock : public m4BlockImpl<m4CCRecord, double, qm::fmt::kCC> {
 public:
  M4CCBlock() : m4BlockImpl(4) {}
};

// Linear conversion: physical = cc_val[0] + cc_val[1] x raw.
class M4CCLinear : public M4CCBlock {
 public:
  M4CCLinear(double factor, double offset) {
    cc_type = qm::fmt::kCcTypeLinear;
    cc_val_count = 2;
    var = {offset, factor};
  }
};

class M4SIBlock : public m4BlockImpl<m4SIRecord, uint8_t, qm::fmt::kSI> {
 public:
  M4SIBlock() : m4BlockImpl(3) {}
};

// Attachment: the embedded size is what the record states, and nothing of it is rewritten.
class M4ATBlock : public m4BlockImpl<m4ATRecord, uint8_t, qm::fmt::kAT> {
 public:
  M4ATBlock() : m4BlockImpl(4) {}
  uint64_t GetVarSize() const override { return at_embedded_size; }
  const uint8_t* GetVarChunk(uint32_t, uint64_t&) override { return nullptr; }
};

class M4EVBlock : public m4BlockImpl<m4EVRecord, uint8_t, qm::fmt::kEV> {
 public:
  explicit M4EVBlock(uint8_t type = 0) : m4BlockImpl(5) { ev_type = type; }
};

class M4CHBlock : public m4BlockImpl<m4CHRecord, uint8_t, qm::fmt::kCH> {
 public:
  M4CHBlock() : m4BlockImpl(4) {}
};

class M4CABlock : public m4BlockImpl<m4CARecord, uint64_t, qm::fmt::kCA> {
 public:
  M4CABlock() : m4BlockImpl(1) {}
};

class M4SRBlock : public m4BlockImpl<m4SRRecord, uint8_t, qm::fmt::kSR> {
 public:
  M4SRBlock() : m4BlockImpl(2) {}
};
