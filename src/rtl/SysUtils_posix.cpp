#include <cerrno>

#include "rtl/SysUtils.h"

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

int IOErrorFromSystemErrno(int err) {
  switch (err) {
    case ELOOP:
      return ioInvalidFilename;
    case ETXTBSY:
      return ioAccessDenied;
    case EDQUOT:
      return ioDiskFull;
    default:
      return err;
  }
}
