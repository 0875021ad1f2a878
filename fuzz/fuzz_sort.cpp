// Fuzz target: sort an arbitrary file.
#include <cstdio>

#include "fuzz_common.h"
#include "quillmark/quillmark.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::fuzz::InputFile input(data, size, ".sorted");
  // The progress lines are not of interest here.
  static FILE* quiet = freopen("/dev/null", "w", stdout);
  (void)quiet;
  MDF4_Sort(input.Path().c_str(), input.Extra().c_str());
  return 0;
}
