#include <cerrno>

#include "rtl/SysUtils.h"

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

// The C library of Windows has no errno values of its own beyond those both systems share.
int IOErrorFromSystemErrno(int err) { return err; }
