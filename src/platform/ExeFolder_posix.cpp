// The executable's folder on Linux: the link /proc/self/exe.
#include <sys/auxv.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "rtl/SysUtils.h"

std::string ExeFolder() {
  // The kernel gives the whole path or, beyond what it handles, an error; a buffer the
  // answer fills completely may have cut it, so it is asked again with more room.
  constexpr size_t kMostRoom = 64 * 1024;
  int err = 0;
  for (std::vector<char> buf(4096); buf.size() <= kMostRoom; buf.resize(buf.size() * 2)) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
      err = errno;
      break;
    }
    if (static_cast<size_t>(n) < buf.size())
      return ExeFolderOf(std::string(buf.data(), static_cast<size_t>(n)));
    err = ENAMETOOLONG;
  }
  const char* startedAs = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
  throw Exception(Format("The folder of the program \"%s\" cannot be used: %s",
                         startedAs ? startedAs : "/proc/self/exe", std::strerror(err)));
}
