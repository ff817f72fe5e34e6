#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rtl/SysUtils.h"

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(ResolveFileName(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool CreateDirectory(const std::string& path) {
  return ::mkdir(ResolveFileName(path).c_str(), 0755) == 0;
}

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool CopyFile(const std::string& srcName, const std::string& dstName, bool failIfExists) {
  const std::string src = ResolveFileName(srcName), dst = ResolveFileName(dstName);
  int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat sst;
  if (::fstat(in, &sst) != 0 || S_ISDIR(sst.st_mode)) {
    ::close(in);
    return false;
  }
  struct stat dstSt;
  if (::stat(dst.c_str(), &dstSt) == 0) {
    // Replacing a file by itself would empty it before the first byte was read.
    bool same = dstSt.st_dev == sst.st_dev && dstSt.st_ino == sst.st_ino;
    if (failIfExists || same || IsReadOnlyMode(dstSt.st_mode) || S_ISDIR(dstSt.st_mode)) {
      ::close(in);
      return false;
    }
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
  int out = ::open(dst.c_str(), flags, sst.st_mode & 0777);
  if (out < 0) {
    ::close(in);
    return false;
  }
  std::vector<char> buf(64 * 1024);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  ::close(in);
  ok = (::close(out) == 0) && ok;
  if (!ok) ::unlink(dst.c_str());
  return ok;
}

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

bool StaysInFolder(const std::string& relative) {
  if (relative.empty() || relative[0] == '/' || relative[0] == '\\') return false;
  // A drive ("C:\Temp") makes a name from Windows absolute.
  if (relative.size() >= 2 && relative[1] == ':' && std::isalpha(static_cast<uint8_t>(relative[0])))
    return false;
  for (size_t start = 0; start <= relative.size();) {
    size_t end = std::min(relative.find_first_of("/\\", start), relative.size());
    if (relative.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}
