// Group names: registry keys of host strings and names read back from acquisition-name blocks.
#include "api/group_names.h"

#include <cstring>

#include "block/text_block.h"
#include "block/utf8_decoder.h"
#include "platform/platform.h"

namespace qm::api {

std::string GroupKey(const char* hostName) {
  // ASCII reads as itself under every text rule: the common case needs no conversion.
  const size_t length = std::strlen(hostName);
  bool ascii = true;
  for (size_t i = 0; i < length && ascii; ++i) ascii = static_cast<unsigned char>(hostName[i]) < 0x80;
  if (ascii) return std::string(hostName, length);
  return GroupKey(os::NarrowToWide(hostName));
}

std::string GroupKey(const std::u16string& name) { return os::WideToNarrow(name.c_str()); }

std::u16string GroupNameOf(const M4TXBlock& text) {
  const auto* bytes = text.Text();
  if (bytes == nullptr) return {};
  size_t length = static_cast<size_t>(text.GetLength());
  if (const auto* zero = static_cast<const uint8_t*>(std::memchr(bytes, 0, length)))
    length = static_cast<size_t>(zero - bytes);
  std::u16string name;
  if (DecodeWellFormedUtf8(bytes, length, &name)) return name;
  return os::NarrowToWide(std::string(reinterpret_cast<const char*>(bytes), length).c_str());
}

}  // namespace qm::api
