#include "package/Builder.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "codec/Convert.h"
#include "package/History.h"
#include "package/Package.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

namespace {

std::string SlotKey(int slot) { return "Name" + std::to_string(slot); }

}  // namespace

std::string NormaliseConfiguredName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

const char* SourceRefusal(const std::string& folder, const std::string& source) {
  if (!LiesInside(folder, folder + source)) return kOutsideFolder;
  // An earlier take is packed only once it is brought back as its slot's take.
  if (IsInHistory(source)) return kInHistory;
  return nullptr;
}

bool IsNoFile(const std::string& value) { return value.empty() || SameText(value, "NONE"); }

std::vector<TSlotConfig> ReadBuildConfig(const TIniFile& ini) {
  std::vector<TSlotConfig> slots(kSlotCount);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string key = SlotKey(slot);
    slots[slot].SoundName = ini.ReadString("SoundFiles", key, "");
    slots[slot].SourceAsWritten = ini.ReadString("SourceFileNames", key, "");
    slots[slot].Source = NormaliseConfiguredName(slots[slot].SourceAsWritten);
    slots[slot].Destination = ini.ReadString("DestinationFileNames", key, "");
  }
  return slots;
}

std::vector<TSlotConfig> ReadBuildConfig(const std::string& iniPath) {
  return ReadBuildConfig(TIniFile(iniPath));
}

namespace {

// Passes everything on to the user, each status line as one of its slot, and counts the
// messages, so the builder learns whether a conversion rejected its source (an older ".vox"
// on disk would not tell) and why.
class TCountingShell : public TShell {
 public:
  TCountingShell(TShell& inner, int slot) : FInner(inner), FSlot(slot) {}
  void ShowMessage(const std::string& text, TMessageSeverity severity) override {
    ++FMessages;
    FLastMessage = text;
    FInner.ShowMessage(text, severity);
  }
  void StatusClear() override { FInner.StatusClear(); }
  void StatusShow() override { FInner.StatusShow(); }
  void StatusAdd(const std::string& line) override { FInner.SlotStatusAdd(FSlot, line); }
  std::optional<std::string> PickVoxFile() override { return FInner.PickVoxFile(); }
  void ProcessMessages() override { FInner.ProcessMessages(); }
  void WaitForEvents() override { FInner.WaitForEvents(); }
  int Messages() const { return FMessages; }
  const std::string& LastMessage() const { return FLastMessage; }

 private:
  TShell& FInner;
  int FSlot;
  int FMessages = 0;
  std::string FLastMessage;
};

// One slot of the build: its status line, the copy into "WAV Export" and the conversion.
// Gives the ".vox" file to pack, or nothing for a slot left empty.
std::optional<std::string> BuildSlot(TAppContext& ctx, TShell& outer, int slot,
                                     const TSlotConfig& config, const std::string& row,
                                     TBuildSummary& summary) {
  TCountingShell shell(outer, slot);
  const std::string& folder = ctx.ExeFolder;
  ctx.CurrentSoundFileName = config.Source;
  if (IsNoFile(config.Source) || !FileExists(folder + config.Source)) {
    shell.StatusAdd("Warning: " + row + ".wav not found");
    if (!IsNoFile(config.Source))
      summary.Missing.push_back({slot, config.Source, folder + config.Source, "not found"});
    return std::nullopt;
  }
  shell.StatusAdd("Processing " + config.SoundName + " from " + config.Source);
  // Someone else's configuration file may name a file anywhere: what lies outside the folder
  // is neither read nor written beside.
  if (const char* refusal = SourceRefusal(folder, config.Source)) {
    shell.StatusAdd("Warning: source \"" + config.SourceAsWritten + "\" refused: " + refusal);
    summary.Refused.push_back({slot, config.SourceAsWritten, folder + config.Source, refusal});
    return std::nullopt;
  }
  if (!IsNoFile(config.Destination)) {
    // The copy stays in "WAV Export": a name from someone else's configuration file must not
    // reach a user's files elsewhere. A failed copy does not stop the build.
    const std::string copy = folder + "WAV Export/" + config.Destination + ".wav";
    if (!IsPlainName(config.Destination))
      shell.StatusAdd("Warning: destination \"" + config.Destination +
                      "\" refused: it must be a plain name");
    else if (!LiesInside(folder, copy))
      shell.StatusAdd("Warning: destination \"" + config.Destination +
                      "\" refused: \"WAV Export\" lies outside the program's folder");
    else
      CopyFile(folder + config.Source, copy, false);
  }

  try {
    ConvertWaveFile(ctx, shell);
  } catch (const EInOutError& e) {
    throw ESourceFileError(slot, config.Source, e.ErrorCode);
  }
  if (shell.Messages() > 0)
    summary.Rejected.push_back({slot, config.Source, folder + config.Source, shell.LastMessage()});
  // A rejected source leaves no new ".vox"; one from an earlier run is packed instead.
  const std::string voxPath = ChangeFileExt(ctx.CurrentSoundFileName, ".vox");
  if (!FileExists(voxPath)) return std::nullopt;
  return voxPath;
}

// Appends one ".vox" file as a record (its byte count, then its bytes) to the staging file
// and enters the record's offset in the package's directory.
void PackSlot(TByteFile& package, TByteFile& staging, const std::string& voxPath) {
  package.WriteI32(static_cast<int32_t>(kDirectoryBytes + staging.Size()));
  TByteFile vox(voxPath);
  vox.Reset();
  staging.Seek(staging.Size());
  staging.WriteI32(static_cast<int32_t>(vox.Size()));
  CopyToEnd(vox, staging);
  vox.Close();
}

}  // namespace

TBuildSummary Button2Click(const TAppContext& ctx, TShell& shell,
                           const std::function<std::string(int)>& soundListRow) {
  const TIniFile ini(ctx.ExeFolder + "ZelvorSound.ini");
  return BuildPackage(ctx, shell, soundListRow, ReadBuildConfig(ini), ini.Exists());
}

TBuildSummary BuildPackage(const TAppContext& ctx, TShell& shell,
                           const std::function<std::string(int)>& soundListRow,
                           const std::vector<TSlotConfig>& config, bool configFound) {
  shell.StatusClear();
  shell.StatusShow();
  const std::string folder = ctx.ExeFolder;
  // Each slot's source passes through this name on its way into the conversion.
  TAppContext building{folder, "", ctx.Coder};
  TBuildSummary summary;
  summary.ConfigFound = configFound;
  // A read-only package refuses the build here, before any source is converted.
  TByteFile package(folder + "Sounds.zvd");
  package.Rewrite();
  TByteFile staging(folder + "temp2.tmp");
  staging.Rewrite(TWriteKind::WorkingFile);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    std::optional<std::string> vox =
        BuildSlot(building, shell, slot, config[slot], soundListRow(slot), summary);
    if (vox) {
      PackSlot(package, staging, *vox);
      ++summary.Packed;
    } else {
      package.WriteI32(0);
      summary.Empty.push_back(slot);
    }
  }
  staging.Seek(0);
  CopyToEnd(staging, package);
  // The package and its staging file take their names together, once both are complete.
  CloseTogether({&package, &staging});
  shell.ShowMessage("Created file \"Sounds.zvd\" in \"" + folder +
                        "\". Copy this file to an SD card and install onto instrument.",
                    msInformation);
  return summary;
}
