// Rolling a data group back to its last completed write after the writer was interrupted.
#pragma once

#include <cstdint>

class MDF4File;
class M4DGBlock;

struct RollBackResult {
  bool applicable = false;   // the group has the layout this library writes
  bool changed = false;      // data was cut back
  uint64_t dataLength = 0;   // bytes of data found
  uint64_t keptLength = 0;   // bytes the cycle counts account for
};

// For a data group written by this library (program identifier "Brenik", 2-byte record IDs,
// no VLSD group, a DL chain of DT blocks or a single DT): when the data holds more bytes
// than the channel groups' cycle counts and record sizes account for, the bytes of the
// interrupted write are cut off: the block holding the last counted byte gets that length,
// the entries behind it leave its list, and the list's next link is cleared. A data group
// whose counts match its data is left untouched. Returns false when the data could not be
// read or rewritten.
bool RollBackInterruptedData(MDF4File& file, M4DGBlock& dg, RollBackResult* result);
