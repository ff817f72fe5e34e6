#include <cerrno>

#include "rtl/SysUtils.h"

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

// The C library's errno values on Windows; it has no quota, link loop or busy-text errors.
int IOErrorFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return ioFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
      return ioInvalidFilename;
    case EMFILE:
    case ENFILE:
      return ioTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ioAccessDenied;
    case ENOSPC:
    case EFBIG:
      return ioDiskFull;
    default:
      return err;
  }
}
