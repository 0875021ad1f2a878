// Win32 text: host narrow text through the C runtime's locale, messages as BSTRs.
#include "platform/win32_windows.h"
#include <oleauto.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/platform.h"

namespace qm::os {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t is a UTF-16 code unit here");

// Converts what mbstowcs refused, piece by piece: a byte that begins no character of the
// current locale stands for the code unit of its value, as it does in the default locale.
std::u16string NarrowPiecewise(const char* s) {
  std::u16string out;
  std::mbstate_t state{};
  const size_t length = std::strlen(s);
  size_t i = 0;
  while (i < length) {
    wchar_t unit = 0;
    const size_t used = std::mbrtowc(&unit, s + i, length - i, &state);
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || used == 0) {
      out.push_back(static_cast<char16_t>(static_cast<unsigned char>(s[i])));
      state = std::mbstate_t{};
      ++i;
      continue;
    }
    out.push_back(static_cast<char16_t>(unit));
    i += used;
  }
  return out;
}

// Converts what wcstombs refused, unit by unit: a unit the current locale cannot express
// becomes '?'.
std::string WidePiecewise(const wchar_t* s) {
  std::string out;
  std::mbstate_t state{};
  for (size_t i = 0; s[i] != 0; ++i) {
    char bytes[MB_LEN_MAX];
    const size_t made = std::wcrtomb(bytes, s[i], &state);
    if (made == static_cast<size_t>(-1)) {
      out.push_back('?');
      state = std::mbstate_t{};
      continue;
    }
    out.append(bytes, made);
  }
  return out;
}

}  // namespace

std::u16string NarrowToWide(const char* s) {
  std::u16string out;
  if (s == nullptr) return out;
  // In the default "C" locale every byte becomes the code unit of the same value.
  // Some runtimes only count when given no destination, so both calls are checked.
  const size_t needed = std::mbstowcs(nullptr, s, 0);
  if (needed == static_cast<size_t>(-1)) return NarrowPiecewise(s);
  out.resize(needed);
  if (needed == 0) return out;
  const size_t made = std::mbstowcs(reinterpret_cast<wchar_t*>(out.data()), s, needed);
  if (made == static_cast<size_t>(-1)) return NarrowPiecewise(s);
  out.resize(made);
  return out;
}

std::string WideToNarrow(const char16_t* s) {
  std::string out;
  if (s == nullptr) return out;
  const auto* wide = reinterpret_cast<const wchar_t*>(s);
  const size_t needed = std::wcstombs(nullptr, wide, 0);
  if (needed == static_cast<size_t>(-1)) return WidePiecewise(wide);
  out.resize(needed);
  if (needed == 0) return out;
  const size_t made = std::wcstombs(out.data(), wide, needed);
  if (made == static_cast<size_t>(-1)) return WidePiecewise(wide);
  out.resize(made);
  return out;
}

char16_t* AllocMessage(const char16_t* text) {
  if (text == nullptr) return nullptr;
  // A BSTR: hosts release it with SysFreeString, and its byte count sits in front of it.
  BSTR message = SysAllocString(reinterpret_cast<const OLECHAR*>(text));
  return reinterpret_cast<char16_t*>(message);
}

void FreeMessage(char16_t* message) {
  if (message != nullptr) SysFreeString(reinterpret_cast<BSTR>(message));
}

}  // namespace qm::os
