#include "package/Builder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "codec/Convert.h"
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

bool IsNoFile(const std::string& value) { return value.empty() || SameText(value, "NONE"); }

void Button2Click(TAppContext& ctx, TShell& shell,
                  const std::function<std::string(int)>& soundListRow) {
  shell.StatusClear();
  shell.StatusShow();
  const std::string folder = ctx.ExeFolder;
  const std::string packagePath = folder + "Sounds.zvd";
  const std::string buildingPath = folder + "Sounds.zvd.building";
  if (FileExists(packagePath)) {
    // The package is replaced, not rewritten in place, yet a read-only package must still
    // refuse the build as it would refuse being opened for writing.
    TByteFile probe(packagePath);
    probe.Reset();
    probe.Close();
  }
  try {
    TByteFile package(buildingPath);
    package.Rewrite();
    TByteFile staging(folder + "temp2.tmp");
    staging.Rewrite();
    TIniFile ini(folder + "ZelvorSound.ini");

    for (int slot = 0; slot < kSlotCount; ++slot) {
      const std::string key = SlotKey(slot);
      const std::string source =
          NormaliseConfiguredName(ini.ReadString("SourceFileNames", key, ""));
      ctx.CurrentSoundFileName = source;
      if (IsNoFile(source) || !FileExists(folder + source)) {
        package.WriteI32(0);
        shell.StatusAdd("Warning: " + soundListRow(slot) + ".wav not found");
        continue;
      }
      shell.StatusAdd("Processing " + ini.ReadString("SoundFiles", key, "") + " from " + source);
      const std::string dest =
          NormaliseConfiguredName(ini.ReadString("DestinationFileNames", key, ""));
      if (!IsNoFile(dest))  // a failed copy does not stop the build
        CopyFile(folder + source, folder + "WAV Export/" + dest + ".wav", false);

      ConvertWaveFile(ctx, shell);
      // A rejected source leaves no new ".vox"; one from an earlier run is packed instead.
      const std::string voxPath = ChangeFileExt(ctx.CurrentSoundFileName, ".vox");
      if (!FileExists(voxPath)) {
        package.WriteI32(0);
        continue;
      }
      package.WriteI32(static_cast<int32_t>(kDirectoryBytes + staging.Size()));
      TByteFile vox(voxPath);
      vox.Reset();
      staging.Seek(staging.Size());
      staging.WriteI32(static_cast<int32_t>(vox.Size()));
      CopyToEnd(vox, staging);
      vox.Close();
    }

    staging.Seek(0);
    CopyToEnd(staging, package);
    package.Close();
    staging.Close();
  } catch (...) {
    std::remove(buildingPath.c_str());
    throw;
  }
  if (std::rename(buildingPath.c_str(), packagePath.c_str()) != 0) {
    int err = errno;
    std::remove(buildingPath.c_str());
    throw EInOutError(IOErrorFromErrno(err));
  }
  shell.ShowMessage("Created file \"Sounds.zvd\" in \"" + folder +
                    "\". Copy this file to an SD card and install onto instrument.");
}
