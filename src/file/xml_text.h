// Wide text for comments and messages: XML escaping, bounded formatting and the comment templates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// ---- Comment templates -------------------------------------------------------------------

// Tool version numbers; formatted with kToolVersionFormat they give "1.6.0.0".
constexpr int32_t kToolVersionMajor = 1;
constexpr int32_t kToolVersionMinor = 6;
constexpr int32_t kToolVersionPatch = 0;
constexpr int32_t kToolVersionBuild = 0;
constexpr char16_t kToolVersionFormat[] = u"%d.%d.%d.%d";

// History comment of a new file; %s is the tool version.
constexpr char16_t kFHCommentTemplate[] =
    u"<FHcomment><TX>Created</TX><tool_id>Quillmark</tool_id><tool_vendor>Karvoll GmbH"
    u"</tool_vendor><tool_version>%s</tool_version></FHcomment>";

// History comment added by the sort; the four %d are the tool version numbers.
constexpr char16_t kSortedCommentTemplate[] =
    u"<FHcomment><TX>Sorted</TX><tool_id>Quillmark</tool_id><tool_vendor>Karvoll GmbH"
    u"</tool_vendor><tool_version>%d.%d.%d.%d</tool_version></FHcomment>";

// Header comment; the seven %s take, escaped, comment, time source, author, department,
// project, subject and the tool version.
constexpr char16_t kHDCommentTemplate[] =
    u"<HDcomment><TX>%s</TX><time_source>%s</time_source><common_properties>"
    u"<e name=\"author\">%s</e><e name=\"department\">%s</e><e name=\"project\">%s</e>"
    u"<e name=\"subject\">%s</e><e name=\"version\">%s</e></common_properties></HDcomment>";

// Buffer sizes in code units, terminator included.
constexpr size_t kToolVersionCapacity = 100;
constexpr size_t kCommentCapacity = 1024;

// ---- XML escaping ------------------------------------------------------------------------

// Escapes count code units of in for use as XML character data. The five markup characters
// become &quot; &apos; &amp; &lt; &gt;; code units 0x20..0x7E are copied; a surrogate pair
// becomes "&#x%06X;" of its code point; everything else (control characters, units above 0x7E,
// unpaired surrogates) becomes "&#x%04X;". The result is pure printable ASCII.
//
// With out null, only counts. With out given, writes at most capacity units (no terminator);
// each piece of output is stored only while it still fits whole.
// Returns the number of units of the escaped text, or 0 when out was given and the text did not
// fit in capacity (or the count would not fit in 32 bits).
int32_t escapeXml(const char16_t* in, size_t count, char16_t* out, int32_t capacity);

// The escaped form of text.
std::u16string EscapeXml(const std::u16string& text);

// ---- Bounded formatting ------------------------------------------------------------------

// One argument of formatWide: a wide string for %s, a narrow host string for %S (converted as
// host text), or a 32-bit integer for %d and %02d. A null string formats as empty text.
// Strings are referenced, not copied: they must outlive the call.
struct FormatArg {
  enum class Kind { kWide, kNarrow, kInt };

  FormatArg(const char16_t* s) : kind(Kind::kWide), wide(s) {}
  FormatArg(const char* s) : kind(Kind::kNarrow), narrow(s) {}
  FormatArg(int32_t v) : kind(Kind::kInt), number(v) {}
  // The string's text up to its first zero unit; it must outlive the call.
  FormatArg(const std::u16string& s) : FormatArg(s.c_str()) {}
  FormatArg(const std::string& s) : FormatArg(s.c_str()) {}

  Kind kind;
  const char16_t* wide = nullptr;
  const char* narrow = nullptr;
  int32_t number = 0;
};

// Formats format with args into out, which holds capacity code units. Directives: %s, %S, %d,
// %02d and %%. The arguments are taken in order and must match their directives in kind.
// On success writes the result and a zero terminator and returns the number of units written,
// terminator not counted (so a result of capacity - 1 units fits). Returns -1 when the result
// and its terminator do not fit, or when format has an unknown directive or an argument is
// missing or of the wrong kind; out then holds an empty string (when capacity > 0).
int32_t formatWide(char16_t* out, size_t capacity, std::u16string_view format,
                   std::initializer_list<FormatArg> args);

// Formats like formatWide and cuts the result to at most capacity - 1 code units, never between
// the two halves of a surrogate pair: for messages that must keep what fits rather than be
// dropped. Returns an empty string for a bad format or argument list, or capacity 0.
std::u16string FormatTruncated(size_t capacity, std::u16string_view format,
                               std::initializer_list<FormatArg> args);
