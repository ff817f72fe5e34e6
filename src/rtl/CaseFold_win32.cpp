// Case folding on Windows: each character of the Basic Multilingual Plane through the
// system's upper-case mapping (CharUpperBuffW), which is how its file system matches names;
// characters beyond it have no case there.
#include <windows.h>

#include <cstdint>

#include "rtl/CaseFold.h"

namespace {

constexpr char32_t kRawByte = 0x110000;  // see the header: ill-formed bytes stand apart

// The code point of the well-formed UTF-8 sequence at s[i] (moving i past it), or -1 (i left
// as it was) when the bytes there do not form one.
int32_t NextCodePoint(const uint8_t* s, size_t length, size_t& i) {
  const uint8_t lead = s[i];
  size_t extra;
  int32_t c, least;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, c = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, c = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, c = lead & 0x07, least = 0x10000;
  } else {
    return -1;
  }
  for (size_t k = 1; k <= extra; ++k) {
    if (i + k >= length || (s[i + k] & 0xC0) != 0x80) return -1;
    c = (c << 6) | (s[i + k] & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
  i += extra + 1;
  return c;
}

}  // namespace

std::u32string CaseFolded(const std::string& name) {
  std::u32string out;
  out.reserve(name.size());
  const auto* s = reinterpret_cast<const uint8_t*>(name.data());
  for (size_t i = 0; i < name.size();) {
    const int32_t c = NextCodePoint(s, name.size(), i);
    if (c < 0) {
      out.push_back(kRawByte + s[i++]);
    } else if (c < 0x10000) {
      WCHAR unit = static_cast<WCHAR>(c);
      CharUpperBuffW(&unit, 1);
      out.push_back(unit);
    } else {
      out.push_back(static_cast<char32_t>(c));
    }
  }
  return out;
}
