#include "rtl/FileSystem.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

#include "rtl/SysUtils.h"

namespace {

// Bytes of an ill-formed sequence are set apart from every code point, so they match only
// themselves.
constexpr char32_t kRawByte = 0x110000;

// The name in its case-folded form. Simple folding maps one character to one character, as
// the system the names come from compares them: "STRASSE" does not match "straße".
std::u32string Folded(const std::string& name) {
  std::u32string out;
  out.reserve(name.size());
  const auto* s = reinterpret_cast<const uint8_t*>(name.data());
  const auto length = static_cast<int32_t>(name.size());
  int32_t i = 0;
  while (i < length) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      for (int32_t k = start; k < i; ++k) out.push_back(kRawByte + s[k]);
    } else {
      out.push_back(static_cast<char32_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT)));
    }
  }
  return out;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of folder (empty: the current folder) whose name equals name but for letter
// case, the first in byte order when several do.
std::optional<std::string> CaseVariant(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return std::nullopt;
  const std::u32string wanted = Folded(name);
  std::optional<std::string> best;
  while (const dirent* e = ::readdir(dir)) {
    const std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    if (best && entry.compare(*best) >= 0) continue;  // byte order: compare is memcmp-like
    if (Folded(entry) == wanted) best = entry;
  }
  ::closedir(dir);
  return best;
}

}  // namespace

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return a == b || Folded(a) == Folded(b);
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
