#include "rtl/SysUtils.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

std::string EInOutError::TextFor(int code) {
  switch (code) {
    case ioFileNotFound: return "File not found";
    case ioInvalidFilename: return "Invalid filename";
    case ioTooManyOpenFiles: return "Too many open files";
    case ioAccessDenied: return "File access denied";
    case ioReadBeyondEnd: return "Read beyond end of file";
    case ioDiskFull: return "Disk full";
    case ioInvalidNumericInput: return "Invalid numeric input";
    default: return Format("I/O error %d", code);
  }
}

int IOErrorFromErrno(int err) {
  switch (err) {
    case ENOENT: return ioFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL: return ioInvalidFilename;
    case EMFILE:
    case ENFILE: return ioTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ioAccessDenied;
    case ENOSPC:
    case EFBIG: return ioDiskFull;
    case EWOULDBLOCK:
      return ioSharingViolation;  // held by an open that keeps writers out
    default: return IOErrorFromSystemErrno(err);
  }
}

EFOpenError::EFOpenError(const std::string& fileName)
    : EStreamError(Format("Cannot open file %s", fileName.c_str())) {}

EFCreateError::EFCreateError(const std::string& fileName)
    : EStreamError(Format("Cannot create file %s", fileName.c_str())) {}

std::string FormatV(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), fmt, args);
  return std::string(big.data(), n);
}

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = FormatV(fmt, args);
  va_end(args);
  return s;
}

TFormatSettings& FormatSettings() {
  static TFormatSettings settings;
  return settings;
}

std::string PrintableText(const std::string& text) {
  std::string out = text;
  for (size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<uint8_t>(out[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      out[i] = '?';
    } else if (c == 0xC2 && i + 1 < out.size() && static_cast<uint8_t>(out[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(out[i + 1]) <= 0x9F) {
      out.replace(i, 2, "?");  // U+0080 to U+009F
    } else if (c >= 0xC2 && c <= 0xF4) {
      // A lead byte: the continuation bytes of a well-formed character are part of it.
      const size_t len = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      const uint8_t lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
      const uint8_t hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
      size_t k = 1;
      for (; k < len && i + k < out.size(); ++k) {
        const auto b = static_cast<uint8_t>(out[i + k]);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) break;
      }
      if (k == len) i += len - 1;
    } else if (c >= 0x80 && c <= 0x9F) {
      out[i] = '?';  // a C1 control as an 8-bit terminal reads it
    }
  }
  return out;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}
