// Fuzz target: the reading stream over every data group's data link of an arbitrary file.
#include <memory>
#include <unordered_set>
#include <vector>

#include "block/block_factory.h"
#include "block/hierarchy_blocks.h"
#include "file/mdf4_file.h"
#include "fuzz_common.h"
#include "platform/platform.h"
#include "stream/data_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::fuzz::InputFile input(data, size);
  MDF4File file;
  const std::u16string name = qm::os::NarrowToWide(input.Path().c_str());
  if (!file.OpenForInspection(name.c_str())) return 0;
  std::unordered_set<uint64_t> seen;
  std::vector<uint8_t> buffer(4096);
  for (uint64_t pos = file.HD().GetLink(qm::fmt::kHdDgFirst); pos != 0 && seen.insert(pos).second;) {
    std::unique_ptr<M4DGBlock> dg = LoadAs<M4DGBlock>(&file.Direct(), pos, qm::fmt::kDG);
    if (!dg) break;
    m4DataStream reader;
    if (reader.OpenForRead(&file.Direct(), dg->GetLink(qm::fmt::kDgData))) {
      while (reader.ReadBytes(static_cast<uint32_t>(buffer.size()), buffer.data()) > 0) {
      }
      reader.Seek(reader.TotalLength() / 2);
      reader.ReadBytes(17, buffer.data());
    }
    pos = dg->GetLink(qm::fmt::kDgNext);
  }
  return 0;
}
