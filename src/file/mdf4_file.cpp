// MDF4File: creating and validating files, and keeping the channel groups' cycle counts.
#include "file/mdf4_file.h"

#include <cstdio>
#include <cstring>

#include "block/byte_order.h"
#include "block/format.h"

using namespace qm;

namespace {

// Copies text into a fixed-width field, filling the rest with blanks; no terminator.
void FillField(uint8_t* field, const char* text) {
  size_t i = 0;
  for (; text != nullptr && text[i] != '\0' && i < fmt::kIdTextFieldSize; ++i)
    field[i] = static_cast<uint8_t>(text[i]);
  for (; i < fmt::kIdTextFieldSize; ++i) field[i] = ' ';
}

}  // namespace

void CycleCounterTable::RegisterCycleCounter(const M4CGBlock& cg, uint64_t key) {
  Entry e;
  e.key = key;
  e.countPosition = cg.GetPosition() + fmt::kBlockHeaderSize +
                    uint64_t{fmt::kLinkSize} * cg.GetLinkCount() + offsetof(m4CGRecord, cg_cycle_count);
  e.count = cg.cg_cycle_count;
  // A group registered before it is written (count 0 in memory and, soon, on disk) and a
  // group read from the file both hold this count on disk.
  e.written = cg.cg_cycle_count;
  entries_[key] = e;
}

void CycleCounterTable::AddCycles(uint64_t key, uint64_t n) {
  auto it = entries_.find(key);
  if (it != entries_.end()) it->second.count += n;
}

const CycleCounterTable::Entry* CycleCounterTable::Find(uint64_t key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

void CycleCounterTable::FlushCycleCounters(mDirectFile& file) {
  for (auto& [key, e] : entries_) {
    if (e.count == 0 || e.count == e.written) continue;
    uint8_t bytes[sizeof e.count];
    StoreLE64(bytes, e.count);
    if (file.WriteAt(e.countPosition, sizeof bytes, bytes)) e.written = e.count;
  }
}

MDF4File::~MDF4File() { Close(); }

void MDF4File::Close() { direct_.Close(); }

bool MDF4File::WrittenBy(const char* programId) const {
  uint8_t field[fmt::kIdTextFieldSize];
  FillField(field, programId);
  return std::memcmp(idBlock_ + fmt::kIdProgOffset, field, sizeof field) == 0;
}

uint16_t MDF4File::Version() const { return LoadLE16(idBlock_ + fmt::kIdVerOffset); }

bool MDF4File::Create(const char16_t* name, const char* programId, int32_t version) {
  std::memset(idBlock_, 0, sizeof idBlock_);
  if (!direct_.CreateTruncate(name)) return false;
  FillField(idBlock_ + fmt::kIdFileOffset, fmt::kIdFile);
  char vers[20];
  std::snprintf(vers, sizeof vers, "%d.%02d", version / 100, version % 100);
  FillField(idBlock_ + fmt::kIdVersOffset, vers);
  FillField(idBlock_ + fmt::kIdProgOffset, programId != nullptr ? programId : fmt::kProgramId);
  StoreLE16(idBlock_ + fmt::kIdVerOffset, static_cast<uint16_t>(version));
  const bool ok = direct_.WriteAt(0, fmt::kIdBlockSize, idBlock_) &&
                  hd_.Place(&direct_, BlockParts::kAll) != 0 && hd_.GetPosition() == fmt::kHDPosition &&
                  direct_.GetEnd() >= fmt::kHDPosition;
  if (ok) return true;
  Close();
  mDirectFile::RemoveFile(name);
  return false;
}

bool MDF4File::Validate() {
  if (!direct_.ReadAt(0, fmt::kIdBlockSize, idBlock_) ||
      std::memcmp(idBlock_ + fmt::kIdFileOffset, fmt::kIdFile, fmt::kIdTextFieldSize) != 0 ||
      Version() < fmt::kMinVersion || !ReadHD()) {
    Close();
    return false;
  }
  return true;
}

bool MDF4File::Open(const char16_t* name) { return direct_.OpenReadWrite(name) && Validate(); }

bool MDF4File::OpenForInspection(const char16_t* name) { return direct_.OpenReadOnly(name) && Validate(); }

bool MDF4File::OpenForCopy(const char16_t* name) { return direct_.OpenReadOnlyLocked(name) && Validate(); }

bool MDF4File::ReadHD() {
  uint8_t header[fmt::kBlockHeaderSize];
  if (!direct_.ReadAt(fmt::kHDPosition, fmt::kBlockHeaderSize, header)) return false;
  if (LoadLE16(header) != fmt::kHashMark || LoadLE16(header + fmt::kHeaderTypeOffset) != fmt::kHD) return false;
  return hd_.Read(&direct_, fmt::kHDPosition, header);
}

bool MDF4File::ReloadCycleCounters() {
  auto& entries = counters_.Entries();
  for (auto it = entries.begin(); it != entries.end();) {
    CycleCounterTable::Entry& e = it->second;
    const uint64_t end = direct_.GetEnd();
    if (e.countPosition > end || end - e.countPosition < sizeof e.count) {
      it = entries.erase(it);
      continue;
    }
    uint8_t bytes[sizeof e.count];
    if (!direct_.ReadAt(e.countPosition, sizeof bytes, bytes)) return false;
    e.count = e.written = LoadLE64(bytes);
    ++it;
  }
  return true;
}
