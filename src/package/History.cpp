#include "package/History.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "codec/Convert.h"
#include "platform/files.h"
#include "rtl/Classes.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

namespace {

constexpr size_t kStampLength = 19;  // "YYYY-MM-DD HH-MM-SS"
constexpr const char* kTakeExt = ".WAV";
constexpr const char* kVoxExt = ".vox";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True for "YYYY-MM-DD HH-MM-SS".
bool IsStamp(const std::string& s) {
  static const char kShape[] = "dddd-dd-dd dd-dd-dd";
  if (s.size() != kStampLength) return false;
  for (size_t i = 0; i < kStampLength; ++i)
    if (kShape[i] == 'd' ? !IsDigit(s[i]) : s[i] != kShape[i]) return false;
  return true;
}

std::string StampOf(std::time_t t) {
  const std::tm tm = LocalTime(t);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H-%M-%S", &tm);
  return text;
}

std::time_t StampTime(const std::string& stamp) {
  std::tm tm{};
  tm.tm_isdst = -1;
  std::sscanf(stamp.c_str(), "%d-%d-%d %d-%d-%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
              &tm.tm_min, &tm.tm_sec);
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return std::mktime(&tm);
}

std::string StampAfter(const std::string& stamp) { return StampOf(StampTime(stamp) + 1); }

bool Exists(const std::string& path) {
  osfiles::TInfo info;
  return osfiles::Stat(path, false, info) == 0;
}

void RemoveName(const std::string& path) {
  if (!path.empty() && osfiles::Remove(path) == 0) NoteFolderChanged(FolderOf(path));
}

// How long the WAV file at path sounds, read from its header as the recorder writes it (the
// format chunk first, 18 bytes, the data size at 42); -1 when it is no such file.
int64_t WavMilliseconds(const std::string& path) {
  try {
    TFileStream in(ResolveFileName(path), fmOpenRead);
    uint8_t h[46];
    if (in.Read(h, sizeof h) != static_cast<int32_t>(sizeof h) || std::memcmp(h, "RIFF", 4) ||
        std::memcmp(h + 8, "WAVE", 4))
      return -1;
    auto u32 = [&](int at) {
      return static_cast<uint32_t>(h[at] | h[at + 1] << 8 | h[at + 2] << 16 |
                                   static_cast<uint32_t>(h[at + 3]) << 24);
    };
    const uint32_t bytesPerSecond = u32(28), dataBytes = u32(42);
    if (bytesPerSecond == 0) return -1;
    return static_cast<int64_t>(dataBytes) * 1000 / bytesPerSecond;
  } catch (const Exception&) {
    return -1;
  }
}

// The slot's history folder, made when missing; refused when it would lie outside folder.
std::string MakeHistoryFolder(const std::string& folder, const std::string& slotName) {
  const std::string dir = HistoryFolder(folder, slotName);
  if (!LiesInside(folder, dir + "x"))
    throw Exception("Cannot keep the earlier take of \"" + slotName + "\": \"" +
                    kHistoryFolderName + "\" lies outside the program's folder");
  CreateDirectory(folder + kHistoryFolderName);
  CreateDirectory(dir);
  return ResolveFileName(dir);
}

void Prune(const std::string& folder, const std::string& slotName) {
  const std::vector<THistoryEntry> entries = ListHistory(folder, slotName);
  for (size_t i = kKeptTakes; i < entries.size(); ++i) {
    RemoveName(entries[i].Take);
    RemoveName(entries[i].Vox);
  }
}

// A second name of path beside target, for a rename over target that keeps path's own name
// whatever happens.
std::string LinkBeside(const std::string& path, const std::string& target) {
  const std::string temp = TemporaryNameIn(FolderOf(ResolveFileName(target)));
  if (!LinkFile(path, temp)) throw EFCreateError(target);
  return temp;
}

}  // namespace

std::string HistoryFolder(const std::string& folder, const std::string& slotName) {
  return folder + kHistoryFolderName + "/" + slotName + "/";
}

std::string HistoryNameOf(const std::string& folder, const std::string& take) {
  const std::string at = FolderOf(take);
  if (at != folder) {
    const auto a = osfiles::RealPath(ResolveFileName(at)), b = osfiles::RealPath(folder);
    if (!a || !b || *a != *b) return "";
  }
  const std::string name = ChangeFileExt(NameOf(take), "");
  return IsPlainName(name) ? name : "";
}

bool IsInHistory(const std::string& relative) {
  std::string first = relative.substr(0, relative.find_first_of("/\\"));
  return first.size() < relative.size() && SameNameIgnoringCase(first, kHistoryFolderName);
}

std::string THistoryEntry::Date() const {
  std::string date = Stamp;
  if (date.size() == kStampLength) date[13] = date[16] = ':';
  return date;
}

std::vector<THistoryEntry> ListHistory(const std::string& folder, const std::string& slotName) {
  std::vector<THistoryEntry> entries;
  if (slotName.empty()) return entries;
  const std::string dir = ResolveFileName(HistoryFolder(folder, slotName));
  if (!LiesInside(folder, dir)) return entries;  // a link to elsewhere holds none of ours
  std::vector<osfiles::TEntry> names;
  if (osfiles::ListFolder(dir, names) != 0) return entries;
  const size_t tail = 1 + kStampLength + std::strlen(kTakeExt);  // " STAMP.WAV"
  for (const osfiles::TEntry& e : names) {
    if (e.Kind != osfiles::TKind::Regular || e.Name.size() <= tail ||
        e.Name[e.Name.size() - tail] != ' ' ||
        !SameText(e.Name.substr(e.Name.size() - 4), kTakeExt))
      continue;
    THistoryEntry entry;
    entry.Stamp = e.Name.substr(e.Name.size() - tail + 1, kStampLength);
    if (!IsStamp(entry.Stamp)) continue;
    entry.Take = dir + e.Name;
    const std::string vox = ChangeFileExt(entry.Take, kVoxExt);
    if (FileExists(vox)) entry.Vox = ResolveFileName(vox);
    entry.Milliseconds = WavMilliseconds(entry.Take);
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const THistoryEntry& a, const THistoryEntry& b) {
    return a.Stamp != b.Stamp ? a.Stamp > b.Stamp : a.Take > b.Take;
  });
  return entries;
}

TKeptTake::TKeptTake(const std::string& folder, const std::string& slotName,
                     const std::string& take)
    : FFolder(folder), FSlotName(slotName) {
  if (slotName.empty() || !FileExists(take)) return;
  const std::string dir = MakeHistoryFolder(folder, slotName);
  // The time the take leaves its slot, or the first second after it that no entry has, so
  // the newest entry has the latest stamp.
  std::string stamp = StampOf(std::time(nullptr));
  const std::vector<THistoryEntry> entries = ListHistory(folder, slotName);
  if (!entries.empty() && entries.front().Stamp >= stamp) stamp = StampAfter(entries.front().Stamp);
  std::string base = dir + slotName + " " + stamp;
  for (std::time_t when = StampTime(stamp); Exists(base + kTakeExt) || Exists(base + kVoxExt);)
    base = dir + slotName + " " + StampOf(++when);
  if (!LinkFile(take, base + kTakeExt)) throw EFCreateError(base + kTakeExt);
  FEntry.Take = base + kTakeExt;
  const std::string vox = ChangeFileExt(take, kVoxExt);
  if (FileExists(vox)) {
    if (!LinkFile(vox, base + kVoxExt)) {
      RemoveName(std::exchange(FEntry.Take, std::string()));
      throw EFCreateError(base + kVoxExt);
    }
    FEntry.Vox = base + kVoxExt;
  }
}

TKeptTake::~TKeptTake() {
  if (FKept) return;
  RemoveName(FEntry.Take);
  RemoveName(FEntry.Vox);
}

void TKeptTake::Keep() {
  if (FKept || FEntry.Take.empty()) return;
  FKept = true;
  Prune(FFolder, FSlotName);
}

std::string MoveIntoHistory(const std::string& folder, const std::string& slotName,
                            const std::string& take) {
  TKeptTake kept(folder, slotName, take);
  if (kept.Entry().empty()) return "";
  RemoveName(ResolveFileName(take));
  const std::string vox = ChangeFileExt(take, kVoxExt);
  if (FileExists(vox)) RemoveName(ResolveFileName(vox));
  kept.Keep();
  return kept.Entry();
}

std::string RestoreTake(const std::string& folder, const std::string& slotName,
                        const std::string& take, const std::string& entry) {
  if (slotName.empty() || !FileExists(entry) || !LiesInside(HistoryFolder(folder, slotName), entry))
    throw EInOutError(ioFileNotFound);
  const std::string entryVox = ChangeFileExt(entry, kVoxExt), vox = ChangeFileExt(take, kVoxExt);
  TKeptTake current(folder, slotName, take);
  // Both files of the entry get a name beside the take first, so the entry itself stays
  // whole until the take has been replaced.
  const std::string tempTake = LinkBeside(entry, take);
  std::string tempVox;
  try {
    if (FileExists(entryVox)) tempVox = LinkBeside(entryVox, vox);
  } catch (...) {
    RemoveName(tempTake);
    throw;
  }
  try {
    ReplaceByRename(tempTake, take);
  } catch (...) {
    RemoveName(tempVox);
    throw;
  }
  const std::string kept = current.Entry();
  RemoveName(ResolveFileName(entry));
  if (!tempVox.empty()) RemoveName(ResolveFileName(entryVox));
  current.Keep();
  // The take is back; a ".vox" that cannot follow it is said after the rest is in order.
  if (!tempVox.empty())
    ReplaceByRename(tempVox, vox);
  else if (FileExists(vox))
    RemoveName(ResolveFileName(vox));
  return kept;
}

void RenameHistory(const std::string& folder, const std::string& oldName,
                   const std::string& newName) {
  const std::string from = ResolveFileName(HistoryFolder(folder, oldName));
  osfiles::TInfo info;
  if (oldName.empty() || newName.empty() || osfiles::Stat(from, false, info) != 0 ||
      info.Kind != osfiles::TKind::Folder)
    return;
  const std::string to = MakeHistoryFolder(folder, newName);
  std::vector<osfiles::TEntry> names;
  osfiles::ListFolder(from, names);
  for (const osfiles::TEntry& e : names)
    if (!Exists(to + e.Name) && osfiles::Rename(from + e.Name, to + e.Name) == 0)
      NoteFolderChanged(to);
  std::error_code ec;
  std::filesystem::remove(FsPath(from), ec);  // only when it is empty now
  NoteFolderChanged(folder + kHistoryFolderName + "/");
  Prune(folder, newName);
}
