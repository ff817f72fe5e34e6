#include "rtl/FileSystem.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

#include "rtl/CaseFold.h"
#include "rtl/SysUtils.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of folder (empty: the current folder) whose name equals name but for letter
// case, the first in byte order when several do.
std::optional<std::string> CaseVariant(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return std::nullopt;
  const std::u32string wanted = CaseFolded(name);
  std::optional<std::string> best;
  while (const dirent* e = ::readdir(dir)) {
    const std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    if (best && entry.compare(*best) >= 0) continue;  // byte order: compare is memcmp-like
    if (CaseFolded(entry) == wanted) best = entry;
  }
  ::closedir(dir);
  return best;
}

}  // namespace

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return a == b || CaseFolded(a) == CaseFolded(b);
}

std::string ResolveFileName(const std::string& path) {
  if (path.empty() || Exists(path)) return path;
  std::string resolved;  // the components found so far, each with its '/'
  size_t pos = 0;
  for (;;) {
    const size_t slash = path.find('/', pos);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    std::string name = path.substr(pos, end - pos);
    if (!name.empty() && name != "." && name != ".." && !Exists(resolved + name)) {
      std::optional<std::string> variant = CaseVariant(resolved, name);
      if (!variant) return resolved + path.substr(pos);
      name = std::move(*variant);
    }
    resolved += name;
    if (slash == std::string::npos) return resolved;
    resolved += '/';
    pos = slash + 1;
  }
}

bool IsReadOnlyMode(mode_t mode) {
  return !S_ISDIR(mode) && (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

void ReplaceByRename(const std::string& finished, const std::string& target) {
  const std::string path = ResolveFileName(target);
  int err = 0;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (IsReadOnlyMode(st.st_mode))
      err = EACCES;
    else if (::chmod(finished.c_str(), st.st_mode & 07777) != 0)
      err = errno;
  }
  if (err == 0 && std::rename(finished.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    std::remove(finished.c_str());
    throw EInOutError(IOErrorFromErrno(err));
  }
}
