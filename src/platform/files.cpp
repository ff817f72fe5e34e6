#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "rtl/ByteFile.h"
#include "rtl/Classes.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

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

bool LinkFile(const std::string& srcName, const std::string& dstName) {
  const std::string src = ResolveFileName(srcName);
  if (!NonRegularKind(src).empty()) return false;
  const int err = osfiles::Link(src, dstName);
  if (err == 0) {
    NoteFolderChanged(FolderOf(dstName));
    return true;
  }
  return err != EEXIST && CopyFile(src, dstName, true);
}
