#include "rtl/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "rtl/CaseFold.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

// --- naming ---

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) { return path.substr(FolderOf(path).size()); }

std::filesystem::path FsPath(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

bool IsAbsolutePath(const std::string& path) { return FsPath(path).is_absolute(); }

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(FsPath(path), ec);
  return ec ? path : PathText(absolute.lexically_normal());
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

namespace {

bool Exists(const std::string& path) {
  osfiles::TInfo info;
  return osfiles::Stat(path, false, info) == 0;
}

// The entry of folder (empty: the current folder) whose name equals name but for letter
// case, the first in byte order when several do.
bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool SameAsciiIgnoringCase(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<std::string> CaseVariant(const std::string& folder, const std::string& name) {
  std::vector<osfiles::TEntry> entries;
  if (osfiles::ListFolder(folder, entries) != 0) return std::nullopt;
  const std::u32string wanted = CaseFolded(name);
  // Between two names of ASCII letters alone folding only lowers A to Z: most entries are
  // compared without the full folding. A name with any other character is folded whole (it
  // may fold to ASCII: the Kelvin sign to 'k').
  const bool asciiWanted = IsAscii(name);
  std::optional<std::string> best;
  for (const osfiles::TEntry& e : entries) {
    if (best && e.Name.compare(*best) >= 0) continue;  // byte order: compare is memcmp-like
    const bool same = asciiWanted && IsAscii(e.Name) ? SameAsciiIgnoringCase(e.Name, name)
                                                     : CaseFolded(e.Name) == wanted;
    if (same) best = e.Name;
  }
  return best;
}

}  // namespace

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return a == b || CaseFolded(a) == CaseFolded(b);
}

// --- resolving ---

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

namespace {

// ResolveFileName(path) into resolved and the entry there, not followed, into info; false
// when nothing is there. A path there as spelt is its own resolution: one look on disk.
bool StatFound(const std::string& path, std::string& resolved, osfiles::TInfo& info) {
  if (osfiles::Stat(path, false, info) == 0) {
    resolved = path;
    return true;
  }
  resolved = ResolveFileName(path);
  return osfiles::Stat(resolved, false, info) == 0;
}

}  // namespace

bool LiesInside(const std::string& folder, const std::string& path) {
  // A name of the folder's own that is there and no link lies in the folder wherever the
  // folder's path leads: nothing to follow on disk.
  if (!folder.empty() && folder.back() == '/' && path.size() > folder.size() &&
      path.compare(0, folder.size(), folder) == 0) {
    const std::string_view name = std::string_view(path).substr(folder.size());
    osfiles::TInfo info;
    // No separator of any system, nor a drive's colon.
    if (name.find_first_of("/\\:") == std::string_view::npos && name != "." && name != ".." &&
        osfiles::Stat(path, false, info) == 0 && info.Kind != osfiles::TKind::Link)
      return true;
  }
  const std::optional<std::string> base = osfiles::RealPath(ResolveFileName(folder));
  if (!base) return false;
  // The part of the path that exists is resolved on disk (links, ".."); what follows it is
  // not there yet, holds no link, and is followed by its spelling.
  std::string existing = ResolveFileName(path);
  std::vector<std::string> rest;
  std::optional<std::string> real;
  while (!(real = osfiles::RealPath(existing))) {
    if (existing == "." || existing == "/") return false;
    while (existing.size() > 1 && existing.back() == '/') existing.pop_back();
    const size_t slash = existing.rfind('/');
    rest.push_back(slash == std::string::npos ? existing : existing.substr(slash + 1));
    if (slash == std::string::npos) {
      existing = ".";
    } else {
      existing.resize(slash == 0 ? 1 : slash);
    }
  }
  std::string where = *real;
  for (auto part = rest.rbegin(); part != rest.rend(); ++part) {
    if (part->empty() || *part == ".") continue;
    if (*part == "..") {
      where = FolderOf(where);
      while (where.size() > 1 && where.back() == '/') where.pop_back();
    } else {
      where += (where.back() == '/' ? "" : "/") + *part;
    }
  }
  const std::string prefix = *base == "/" ? *base : *base + "/";
  return where.compare(0, prefix.size(), prefix) == 0 && where.size() > prefix.size();
}

bool IsReadOnlyMode(uint32_t mode) { return (mode & 0222) == 0; }

bool ReadIfSized(const std::string& path, size_t size, std::vector<uint8_t>& data) {
  data.clear();
  std::string resolved;
  osfiles::TInfo info;
  if (!StatFound(path, resolved, info) || info.Kind != osfiles::TKind::Regular ||
      info.Size != static_cast<int64_t>(size))
    return false;
  int fd = -1;
  if (osfiles::OpenToRead(resolved, fd) != 0) return false;
  // One byte more than the file should hold: what is read past its end shows that it grew
  // meanwhile.
  data.resize(size + 1);
  size_t got = 0;
  const bool whole = osfiles::ReadAt(fd, data.data(), size + 1, 0, got) == 0 && got == size;
  osfiles::Close(fd);
  data.resize(whole ? size : 0);
  return whole;
}

bool IsLink(const std::string& path) {
  std::string resolved;
  osfiles::TInfo info;
  return StatFound(path, resolved, info) && info.Kind == osfiles::TKind::Link;
}

std::string NonRegularKind(const std::string& path) {
  osfiles::TInfo info;
  if (osfiles::Stat(ResolveFileName(path), true, info) != 0) return std::string();
  switch (info.Kind) {
    case osfiles::TKind::Folder:
      return "a folder";
    case osfiles::TKind::Fifo:
      return "a FIFO";
    case osfiles::TKind::CharDevice:
      return "a character device";
    case osfiles::TKind::BlockDevice:
      return "a block device";
    case osfiles::TKind::Socket:
      return "a socket";
    default:
      return std::string();
  }
}

// --- safe writing ---

namespace {

constexpr const char* kTempPrefix = ".zelvor-";
constexpr const char* kTempSuffix = ".tmp";

// The folders that received a file since they were last handed to the disk.
std::mutex gChangedMutex;
std::set<std::string> gChanged;

void NoteChanged(const std::string& folder) {
  std::lock_guard<std::mutex> hold(gChangedMutex);
  gChanged.insert(folder);
}

[[noreturn]] void Raise(int err) { throw EInOutError(IOErrorFromErrno(err)); }

// A fresh name for a temporary file in folder: ".zelvor-<process>-<n>.tmp".
std::string NextTemporaryName(const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  return folder + kTempPrefix + std::to_string(osfiles::CurrentProcess()) + "-" +
         std::to_string(counter++) + kTempSuffix;
}

// A new file in folder, without a name where the system makes one (name empty then).
// scratch: it never gets a name; a named one is unlinked at once.
int MakeTemporary(const std::string& folder, bool scratch, int& fd, std::string& name) {
  name.clear();
  int err = osfiles::CreateUnnamed(folder, !scratch, fd);
  if (err != EOPNOTSUPP) return err;
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = NextTemporaryName(folder);
    err = osfiles::CreateNew(name, fd);
    if (err != EEXIST) break;
  }
  if (err != 0 || scratch) {
    if (err == 0) osfiles::Remove(name);
    name.clear();
  }
  return err;
}

// A folder without any write permission bit takes no new file, root included, as a file
// without one takes no writes.
int FolderRefuses(const std::string& folder) {
  osfiles::TInfo info;
  if (const int err = osfiles::Stat(folder.empty() ? "." : folder, true, info)) return err;
  if (info.Kind != osfiles::TKind::Folder) return ENOTDIR;
  return IsReadOnlyMode(info.Mode) ? EACCES : 0;
}

}  // namespace

void TSafeFile::Begin(const std::string& target, TWriteKind kind) {
  Discard();
  FKind = kind;
  FPrepared = false;
  osfiles::TInfo replaced;
  FTarget = CheckTarget(target, kind, replaced);
  FHadTarget = replaced.Kind == osfiles::TKind::Regular;
  FMode = replaced.Mode;
  FOwner = replaced.Owner;
  FGroup = replaced.Group;
  int fd = -1;
  if (const int err = MakeTemporary(FolderOf(FTarget), kind == TWriteKind::Scratch, fd, FTempName))
    Raise(err);
  FFd = fd;
}

void TSafeFile::Check(const std::string& target, TWriteKind kind) {
  osfiles::TInfo replaced;
  CheckTarget(target, kind, replaced);
}

std::string TSafeFile::CheckTarget(const std::string& target, TWriteKind kind,
                                   osfiles::TInfo& replaced) {
  std::string resolved;
  osfiles::TInfo info;
  const bool found = kind != TWriteKind::Scratch && StatFound(target, resolved, info);
  if (kind == TWriteKind::Scratch) resolved = ResolveFileName(target);
  replaced = osfiles::TInfo{};
  if (resolved.empty() || NameOf(resolved).empty()) Raise(ENOENT);
  if (kind != TWriteKind::Scratch) {
    if (found) {
      // A link is replaced by the rename, never written through; anything else that is no
      // regular file is no file to replace.
      if (info.Kind == osfiles::TKind::Regular) {
        if (IsReadOnlyMode(info.Mode)) Raise(EACCES);
        if (osfiles::HeldWithWritersDenied(resolved)) throw EInOutError(ioSharingViolation);
        replaced = info;
      } else if (info.Kind != osfiles::TKind::Link) {
        Raise(info.Kind == osfiles::TKind::Folder ? EISDIR : EACCES);
      }
    }
  }
  if (const int err = FolderRefuses(FolderOf(resolved))) Raise(err);
  return resolved;
}

void TSafeFile::Write(const void* data, size_t size) {
  if (FFd < 0) throw EInOutError(103);
  if (const int err = osfiles::Write(FFd, data, size)) Fail(err);
}

void TSafeFile::Fail(int err) {
  Discard();
  Raise(err);
}

void TSafeFile::StartPrepare() {
  // A start that fails changes nothing: Prepare hands the file over all the same, and says
  // what went wrong.
  if (FFd >= 0 && !FPrepared && FKind == TWriteKind::UserFile) (void)osfiles::StartSync(FFd);
}

void TSafeFile::Prepare() {
  if (FFd < 0) throw EInOutError(103);  // the runtime's code for a file that is not open
  if (FPrepared || FKind == TWriteKind::Scratch) return;
  if (FKind == TWriteKind::UserFile)
    if (const int err = osfiles::SyncOpen(FFd)) Fail(err);
  if (FHadTarget) {
    osfiles::TInfo keep;
    keep.Mode = FMode;
    keep.Owner = FOwner;
    keep.Group = FGroup;
    if (const int err = osfiles::TakeAttributes(FFd, keep)) Fail(err);
  }
  FPrepared = true;
}

void TSafeFile::Commit() {
  Prepare();
  if (FKind == TWriteKind::Scratch) {
    Discard();
    return;
  }
  // A target made read-only while it was being written stays as it is.
  osfiles::TInfo now;
  if (osfiles::Stat(FTarget, false, now) == 0 && now.Kind == osfiles::TKind::Regular &&
      IsReadOnlyMode(now.Mode))
    Fail(EACCES);
  if (FTempName.empty()) {
    // A file without a name is named first (a fresh temporary name): a name given to a file
    // cannot replace another.
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
      FTempName = NextTemporaryName(FolderOf(FTarget));
      err = osfiles::LinkOpen(FFd, FTempName);
    }
    if (err != 0) {
      FTempName.clear();
      Fail(err);
    }
  }
  if (const int err = osfiles::Rename(FTempName, FTarget)) Fail(err);
  FTempName.clear();
  const int err = osfiles::Close(FFd);
  FFd = -1;
  NoteChanged(FolderOf(FTarget));
  if (err != 0) Raise(err);
}

void TSafeFile::Discard() noexcept {
  if (FFd >= 0) osfiles::Close(FFd);
  FFd = -1;
  if (!FTempName.empty()) osfiles::Remove(FTempName);
  FTempName.clear();
}

void ReplaceByRename(const std::string& finished, const std::string& target) {
  const std::string path = ResolveFileName(target);
  int err = 0;
  osfiles::TInfo info;
  if (osfiles::Stat(path, false, info) == 0 && info.Kind == osfiles::TKind::Regular) {
    // The finished file takes over what the old one had: its permission bits and owner.
    err = IsReadOnlyMode(info.Mode) ? EACCES : osfiles::TakeAttributes(finished, info);
  }
  if (err == 0) err = osfiles::Rename(finished, path);
  if (err != 0) {
    osfiles::Remove(finished);
    Raise(err);
  }
  NoteChanged(FolderOf(path));
}

std::string TemporaryNameIn(const std::string& folder) { return NextTemporaryName(folder); }

void NoteFolderChanged(const std::string& folder) { NoteChanged(folder); }

void SyncChangedFolders() {
  std::set<std::string> folders;
  {
    std::lock_guard<std::mutex> hold(gChangedMutex);
    folders.swap(gChanged);
  }
  for (const std::string& folder : folders) osfiles::SyncFolder(folder);
}

// --- temporaries left behind ---

namespace {

// The names of temporary files, this version's and those of earlier ones: a prefix, the
// number of the process that made it (and, for this version's, a serial number after a '-'),
// a suffix.
struct TTemporaryPattern {
  const char* Prefix;
  bool Serial;
  const char* Suffix;
};
constexpr TTemporaryPattern kTemporaries[] = {
    {kTempPrefix, true, kTempSuffix}, {".import-", false, ".f32"},  {".import-", false, ".tmp"},
    {".take-", false, ".tmp"},        {".report-", false, ".part"},
};

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool IsTemporaryName(const std::string& name, int& pid) {
  pid = 0;
  // A package built by an earlier version under this name, always under the folder's lock.
  if (name == "Sounds.zvd.building") return true;
  for (const TTemporaryPattern& p : kTemporaries) {
    const std::string prefix = p.Prefix, suffix = p.Suffix;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix))
      continue;
    std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (p.Serial) {
      const size_t dash = digits.find('-');
      if (dash == std::string::npos || !AllDigits(digits.substr(dash + 1))) continue;
      digits.resize(dash);
    }
    if (!AllDigits(digits) || digits.size() > 9) continue;
    pid = std::stoi(digits);
    return true;
  }
  return false;
}

int RemoveStrayTemporaries(const std::string& folder) {
  // A few levels suffice for the program's own folders (sub-folders of takes and sources,
  // "WAV Export"); a folder tree of a different kind is not searched through.
  constexpr int kDeepest = 6;
  int removed = 0;
  std::vector<std::pair<std::string, int>> todo{{folder, 0}};
  while (!todo.empty()) {
    auto [dir, depth] = todo.back();
    todo.pop_back();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    std::vector<osfiles::TEntry> entries;
    if (osfiles::ListFolder(dir, entries) != 0) continue;
    for (const osfiles::TEntry& e : entries) {
      int pid = 0;
      if (e.Kind == osfiles::TKind::Folder) {
        if (depth < kDeepest) todo.push_back({dir + e.Name, depth + 1});
      } else if (e.Kind == osfiles::TKind::Regular && IsTemporaryName(e.Name, pid) &&
                 (pid == 0 ? depth == 0 : !osfiles::ProcessRuns(pid))) {
        if (osfiles::Remove(dir + e.Name) == 0) ++removed;
      }
    }
  }
  return removed;
}
