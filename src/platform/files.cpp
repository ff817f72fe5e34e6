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
  // A path there as spelt is its own resolution.
  if (osfiles::Stat(path, true, info) != 0 && osfiles::Stat(ResolveFileName(path), true, info) != 0)
    return false;
  return info.Kind != osfiles::TKind::Folder;
}

bool CreateDirectory(const std::string& path) {
  return osfiles::MakeFolder(ResolveFileName(path)) == 0;
}

namespace {

// The copy's checks and its bytes, into out (made here); true when every byte was written.
bool WriteCopy(const std::string& src, const std::string& dst, bool failIfExists, TByteFile& out) {
  if (!NonRegularKind(src).empty()) return false;
  osfiles::TInfo from, to;
  if (osfiles::Stat(src, true, from) != 0) return false;
  if (osfiles::Stat(dst, true, to) == 0) {
    // Replacing a file by itself would lose it.
    const bool same = to.Device == from.Device && to.Inode == from.Inode;
    if (failIfExists || same) return false;
  }
  // Read as the copy only reads: a source nobody may write is copied all the same.
  TFileStream in(src, fmOpenRead);
  out.Assign(dst);
  out.Rewrite();
  std::vector<char> buf(kCopyBlockBytes);
  for (;;) {
    const int32_t n = in.Read(buf.data(), static_cast<int32_t>(buf.size()));
    if (n < 0) return false;
    if (n == 0) return true;
    out.BlockWrite(buf.data(), static_cast<size_t>(n));
  }
}

}  // namespace

std::unique_ptr<TByteFile> CopyFileUnclosed(const std::string& srcName,
                                            const std::string& dstName) {
  // A copy that fails is dropped unclosed: the name keeps its file.
  auto out = std::make_unique<TByteFile>();
  try {
    if (WriteCopy(ResolveFileName(srcName), ResolveFileName(dstName), false, *out)) return out;
  } catch (const Exception&) {
  }
  return nullptr;
}

bool CopyFile(const std::string& srcName, const std::string& dstName, bool failIfExists) {
  const std::string dst = ResolveFileName(dstName);
  try {
    TByteFile out;
    if (!WriteCopy(ResolveFileName(srcName), dst, failIfExists, out)) return false;
    // A name that appeared meanwhile is not replaced when the copy must not replace one.
    osfiles::TInfo to;
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
