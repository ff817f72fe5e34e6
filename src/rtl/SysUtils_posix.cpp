#include <cerrno>

#include "rtl/SysUtils.h"

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

int IOErrorFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return ioFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
    case ELOOP:
      return ioInvalidFilename;
    case EMFILE:
    case ENFILE:
      return ioTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return ioAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ioDiskFull;
    default:
      return err;
  }
}
