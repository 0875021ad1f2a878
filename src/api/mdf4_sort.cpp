// MDF4_Sort: converts the names and runs the sort driver.
#include <string>

#include "platform/platform.h"
#include "quillmark/quillmark.h"
#include "sort/sort_driver.h"

extern "C" QM_API bool MDF4_Sort(const char* source, const char* destination) {
  if (source == nullptr || destination == nullptr) return false;
  try {
    const std::u16string from = qm::os::NarrowToWide(source);
    const std::u16string to = qm::os::NarrowToWide(destination);
    return SortFile(from.c_str(), to.c_str());
  } catch (...) {
    return false;
  }
}
