// Fuzz target: reopen an arbitrary file with MDF4_Create and append to every group it registered.
#include <string>
#include <vector>

#include "api/file_context.h"
#include "fuzz_common.h"
#include "quillmark/quillmark.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::fuzz::InputFile input(data, size);
  MDF4Handle h{};
  MDF4HeaderInfo info{"", "", "", "", "", ""};
  int64_t start = 0;
  if (MDF4_Create(input.Path().c_str(), &h, &info, &start)) {
    int32_t count = 0;
    Free1DIntArray(MDF4_LTT_GetLimitIDs(&h, &count));
    // A host passes as many values as its group's record holds; the registry tells the size
    // the reopened file declares. Larger records get a call with no samples.
    static const std::vector<double> values(8192, 1.5);
    std::vector<std::pair<std::string, uint64_t>> groups;
    for (const auto& [name, entry] : h.file->groups) groups.emplace_back(name, entry.recordSize);
    groups.emplace_back("no such group", 0);
    for (const auto& [name, recordSize] : groups) {
      const uint32_t samples = recordSize <= values.size() * sizeof(double) ? 1 : 0;
      MDF4_AddChannelData1D(&h, name.c_str(), values.data(), samples);
      // A host that goes on after an error frees the message and clears the code.
      MDF4_FreeString(h.errorMessage);
      h.errorMessage = nullptr;
      h.errorCode = 0;
    }
  }
  MDF4_FreeString(h.errorMessage);
  MDF4_Close(&h);
  return 0;
}
