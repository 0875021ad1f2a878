// Group names between the host, the registry and the file: registry keys and names read back.
#pragma once

#include <string>

class M4TXBlock;

namespace qm::api {

// The registry key of a group name the host passes: the name as the platform's text rule reads
// it (os::NarrowToWide), turned back into host text (os::WideToNarrow). A name stored in a file
// gives the same key when the file is reopened, so the host finds every group by the string it
// created the group with. Host strings that read as the same characters name the same group
// (on Linux a byte that is not UTF-8, such as "\xB0", and its UTF-8 form "\xC2\xB0").
std::string GroupKey(const char* hostName);
// The registry key of a name already in UTF-16.
std::string GroupKey(const std::u16string& name);

// The name a group's acquisition-name block holds, up to its first zero byte. Well-formed UTF-8
// is decoded exactly (line feeds stay line feeds, characters above 0xFFFF become surrogate
// pairs). Other bytes come from files that stored the host's bytes unconverted: they are read as
// host text, so that the host finds such a group by the same bytes as before.
std::u16string GroupNameOf(const M4TXBlock& text);

}  // namespace qm::api
