// Case folding on Linux: ICU's simple case folding. ICU is opened only when a name holds more
// than ASCII, whose folding is A-Z to a-z alone.
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/uvernum.h>

#include "rtl/CaseFold.h"
#include "rtl/LateLibrary.h"

namespace {

// Bytes of an ill-formed sequence are set apart from every code point, so they match only
// themselves.
constexpr char32_t kRawByte = 0x110000;

constexpr const char* kIcu = "libicuuc.so." U_ICU_VERSION_SHORT;

}  // namespace

std::u32string CaseFolded(const std::string& name) {
  std::u32string out;
  out.reserve(name.size());
  const auto* s = reinterpret_cast<const uint8_t*>(name.data());
  const auto length = static_cast<int32_t>(name.size());
  int32_t i = 0;
  while (i < length) {
    if (s[i] < 0x80) {
      const char32_t c = s[i++];
      out.push_back(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
      continue;
    }
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      for (int32_t k = start; k < i; ++k) out.push_back(kRawByte + s[k]);
    } else {
      out.push_back(static_cast<char32_t>(ZS_LATE_CALL(kIcu, u_foldCase)(c, U_FOLD_CASE_DEFAULT)));
    }
  }
  return out;
}
