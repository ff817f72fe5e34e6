#include "package/SlotActions.h"

#include <utility>
#include <vector>

#include "codec/Convert.h"
#include "package/Builder.h"
#include "package/History.h"
#include "package/Package.h"
#include "package/TakeOrigin.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

std::string SlotKey(int slot) { return "Name" + std::to_string(slot); }

std::string SlotName(const TIniFile& ini, int slot) {
  return ini.ReadString("SoundFiles", SlotKey(slot), "Sound " + std::to_string(slot + 1));
}

std::string TakeName(const std::string& name) { return name + ".WAV"; }

bool SlotHasTake(const TIniFile& ini, int slot, const std::string& name) {
  const std::string source =
      NormaliseConfiguredName(ini.ReadString("SourceFileNames", SlotKey(slot), ""));
  return SameText(SlotName(ini, slot), name) || SameText(source, TakeName(name));
}

std::string UnstorableNameText(const std::string& name) {
  bool storable = IsPlainName(name);
  for (unsigned char c : name) storable = storable && c >= 0x20 && c != 0x7f;
  if (storable) return "";
  return "The name \"" + name +
         "\" cannot name a take: it must not be empty, hold \"/\", \"\\\" or a line break, or "
         "be \".\" or \"..\"";
}

std::string NameTakenText(const TIniFile& ini, int slot, const std::string& name,
                          const std::string& folder) {
  for (int other = 0; other < kSlotCount; ++other)
    if (other != slot && SlotHasTake(ini, other, name))
      return Format("The name \"%s\" belongs to slot %d already (its take \"%s\")", name.c_str(),
                    other, TakeName(name).c_str());
  const std::string take = folder + TakeName(name);
  if (FileExists(take) && !SlotHasTake(ini, slot, name))
    return "\"" + take + "\" is there already and no slot names it";
  return "";
}

namespace {

std::string RefusedSlot(int slot) {
  return slot < 0 || slot >= kSlotCount
             ? Format("There is no slot %d: the slots are 0 to %d", slot, kSlotCount - 1)
             : "";
}

bool SameFileOnDisk(const std::string& a, const std::string& b) {
  osfiles::TInfo x, y;
  return osfiles::Stat(a, false, x) == 0 && osfiles::Stat(b, false, y) == 0 &&
         x.Device == y.Device && x.Inode == y.Inode;
}

// Renames made for one action, taken back when a later step fails.
class TRenames {
 public:
  ~TRenames() {
    for (auto it = FDone.rbegin(); it != FDone.rend(); ++it) osfiles::Rename(it->second, it->first);
  }
  // Renames from (when it is there) to to; raises the runtime's error.
  void Add(const std::string& fromName, const std::string& to) {
    const std::string from = ResolveFileName(fromName);
    osfiles::TInfo info;
    if (osfiles::Stat(from, false, info) != 0) return;
    if (const int err = osfiles::Rename(from, to)) throw EInOutError(IOErrorFromErrno(err));
    FDone.emplace_back(from, to);
    NoteFolderChanged(FolderOf(to));
  }
  void Keep() { FDone.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> FDone;
};

}  // namespace

std::string RenameSlot(const std::string& folder, int slot, const std::string& name) {
  if (std::string refused = RefusedSlot(slot); !refused.empty()) return refused;
  TIniFile ini(folder + kIniName);
  const std::string old = SlotName(ini, slot);
  if (old == name) return "";
  if (std::string refused = UnstorableNameText(name); !refused.empty()) return refused;
  if (std::string refused = NameTakenText(ini, slot, name, folder); !refused.empty())
    return refused;
  const std::string key = SlotKey(slot);
  const std::string source = ini.ReadString("SourceFileNames", key, "");
  ini.WriteString("SoundFiles", key, name);
  if (SameText(NormaliseConfiguredName(source), TakeName(old)))
    ini.WriteString("SourceFileNames", key, TakeName(name));
  TSafeFile out;
  ini.PrepareUpdate(out);

  const std::string oldTake = folder + TakeName(old), newTake = folder + TakeName(name);
  const bool oldIsPlain = !HistoryNameOf(folder, oldTake).empty();
  TRenames renames;
  if (oldIsPlain && FileExists(newTake) &&
      !SameFileOnDisk(ResolveFileName(oldTake), ResolveFileName(newTake))) {
    // The new name's take is the slot's source already: that one stays the take.
    out.Commit();
    MoveIntoHistory(folder, name, oldTake);
    RenameHistory(folder, old, name);
    return "";
  }
  if (oldIsPlain) {
    renames.Add(oldTake, newTake);
    renames.Add(ChangeFileExt(oldTake, ".vox"), ChangeFileExt(newTake, ".vox"));
  }
  out.Commit();
  renames.Keep();
  if (oldIsPlain) RenameHistory(folder, old, name);
  return "";
}

std::string ClearSlot(const std::string& folder, int slot) {
  if (std::string refused = RefusedSlot(slot); !refused.empty()) return refused;
  TIniFile ini(folder + kIniName);
  ini.WriteString("SourceFileNames", SlotKey(slot), "NONE");
  ini.UpdateFile();
  return "";
}

std::string MoveSlot(const std::string& folder, int slot, int direction) {
  const int other = slot + direction;
  if (std::string refused = RefusedSlot(slot); !refused.empty()) return refused;
  if ((direction != -1 && direction != 1) || other < 0 || other >= kSlotCount)
    return Format("Slot %d cannot move %s", slot, direction < 0 ? "up" : "down");
  TIniFile ini(folder + kIniName);
  const std::string a = SlotKey(slot), b = SlotKey(other);
  // The names as the list shows them move, defaults too: a row keeps the name it showed.
  const std::string nameA = SlotName(ini, slot), nameB = SlotName(ini, other);
  ini.WriteString("SoundFiles", a, nameB);
  ini.WriteString("SoundFiles", b, nameA);
  for (const char* section :
       {"SourceFileNames", "DestinationFileNames", static_cast<const char*>(kTakeOriginsSection)}) {
    if (!ini.ValueExists(section, a) && !ini.ValueExists(section, b)) continue;
    const std::string valueA = ini.ReadString(section, a, ""),
                      valueB = ini.ReadString(section, b, "");
    ini.WriteString(section, a, valueB);
    ini.WriteString(section, b, valueA);
  }
  ini.UpdateFile();
  return "";
}
