// Fuzz target: reopen an arbitrary file with MDF4_Create and append to every group.
#include "fuzz_common.h"
#include "quillmark/quillmark.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::fuzz::InputFile input(data, size);
  MDF4Handle h{};
  MDF4HeaderInfo info{"", "", "", "", "", ""};
  int64_t start = 0;
  if (MDF4_Create(input.Path().c_str(), &h, &info, &start)) {
    int32_t count = 0;
    int32_t* ids = MDF4_LTT_GetLimitIDs(&h, &count);
    Free1DIntArray(ids);
    static const double values[64] = {1.0, 2.0, 3.0};
    // Names of the usual groups of the seed files; unknown names are refused cleanly.
    for (const char* name : {"Engine", "Ambient", "[12]Coolant", "A", "B", ""})
      MDF4_AddChannelData1D(&h, name, values, 1);
  }
  MDF4_FreeString(h.errorMessage);
  MDF4_Close(&h);
  return 0;
}
