#include "rtl/SysUtils.h"

#include <cerrno>
#include <cstdio>
#include <strings.h>
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

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}
