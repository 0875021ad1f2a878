// Text helpers of the command-line tool: block text to UTF-8, XML comment fields, time stamps, CSV cells.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qm::cli {

// Decoded block text (UTF-16, line feeds as CR LF) to UTF-8 with plain line feeds.
std::string BlockTextToUtf8(const std::u16string& text);

// The unescaped content of the first <tag>...</tag> (or <tag .../>: empty) in xml; found
// tells whether the element exists.
std::string XmlElement(const std::string& xml, const std::string& tag, bool* found = nullptr);
// The <e name="...">value</e> elements of xml in order, names and values unescaped.
std::vector<std::pair<std::string, std::string>> XmlProperties(const std::string& xml);
// Replaces the five named entities and numeric character references by their characters.
std::string XmlUnescape(const std::string& text);

// "2024-05-01 12:00:00.123456789" for nanoseconds since 1970 (proleptic Gregorian calendar).
std::string FormatTimeNs(uint64_t ns);
// "+01:00" for 60 minutes, "-03:30" for -210.
std::string FormatOffset(int32_t minutes);

// The text as one CSV field: quoted (with doubled quotes) when it holds a comma, quote or
// line break.
std::string CsvField(const std::string& text);

// A file name made from a group name: characters outside letters, digits and "-_.[]()+" become
// "_"; an empty or dot-only result becomes fallback.
std::string SafeFileName(const std::string& name, const std::string& fallback);

}  // namespace qm::cli
