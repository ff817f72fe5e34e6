#include "platform/files.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "rtl/ByteFile.h"
#include "rtl/Classes.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

std::string ExeFolderOf(const std::string& exePath) {
  size_t slash = exePath.rfind('/');
  return slash == std::string::npos ? std::string() : exePath.substr(0, slash + 1);
}

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

bool FileExists(const std::string& path) {
  osfiles::TInfo info;
  return osfiles::Stat(ResolveFileName(path), true, info) == 0 &&
         info.Kind != osfiles::TKind::Folder;
}

bool CreateDirectory(const std::string& path) {
  return osfiles::MakeFolder(ResolveFileName(path)) == 0;
}

bool CopyFile(const std::string& srcName, const std::string& dstName, bool failIfExists) {
  const std::string src = ResolveFileName(srcName), dst = ResolveFileName(dstName);
  if (!NonRegularKind(src).empty()) return false;
  osfiles::TInfo from, to;
  if (osfiles::Stat(src, true, from) != 0) return false;
  if (osfiles::Stat(dst, true, to) == 0) {
    // Replacing a file by itself would lose it.
    const bool same = to.Device == from.Device && to.Inode == from.Inode;
    if (failIfExists || same) return false;
  }
  try {
    // Read as the copy only reads: a source nobody may write is copied all the same.
    TFileStream in(src, fmOpenRead);
    TByteFile out(dst);
    out.Rewrite();
    std::vector<char> buf(kCopyBlockBytes);
    for (;;) {
      const int32_t n = in.Read(buf.data(), static_cast<int32_t>(buf.size()));
      if (n < 0) return false;
      if (n == 0) break;
      out.BlockWrite(buf.data(), static_cast<size_t>(n));
    }
    // A name that appeared meanwhile is not replaced when the copy must not replace one.
    if (failIfExists && osfiles::Stat(dst, false, to) == 0) return false;
    out.Close();
    return true;
  } catch (const Exception&) {
    return false;
  }
}
