#include "package/ProgramFolder.h"

#include <filesystem>

#include "package/DemoPrompts.h"
#include "platform/Environment.h"
#include "platform/files.h"
#include "rtl/SysUtils.h"

namespace fs = std::filesystem;

std::string AbsoluteFolder(const std::string& folder) {
  std::error_code ec;
  fs::path path = folder.empty() ? fs::current_path(ec) : fs::absolute(folder, ec);
  if (ec) return folder.empty() ? "./" : folder + "/";
  // ".." is resolved on the disk, where it leaves a linked folder for its real parent.
  bool climbs = false;
  for (const fs::path& part : path) climbs = climbs || part == "..";
  path = climbs ? fs::weakly_canonical(path, ec) : path.lexically_normal();
  std::string text = path.generic_string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

const char* FolderSourceName(TFolderSource source) {
  switch (source) {
    case TFolderSource::Given:
      return "--folder";
    case TFolderSource::Environment:
      return "ZELVOR_FOLDER";
    case TFolderSource::Current:
      return "the current directory";
    case TFolderSource::InstalledHome:
      return "the user's folder";
    case TFolderSource::Executable:
      return "the program's own folder";
  }
  return "";
}

namespace {

// The user's "ZelvorSound" folder, made and seeded with the demo prompts when it is not there.
TProgramFolder UsersFolder() {
  TProgramFolder choice;
  choice.Source = TFolderSource::InstalledHome;
  const std::string home = UserHomeFolder();
  if (home.empty()) {
    choice.Error = std::string(UserHomeVariable()) +
                   " is not set, so the folder ZelvorSound in it is unknown; set ZELVOR_FOLDER "
                   "or give --folder DIR";
    return choice;
  }
  const std::string folder = home + "/ZelvorSound";
  std::error_code ec;
  // Only the start that makes the folder seeds it: two first starts at once seed it once.
  if (!fs::exists(fs::symlink_status(folder, ec)) && fs::create_directory(folder, ec)) {
    try {
      WriteDemoPrompts(folder + "/");
      choice.Made = true;
    } catch (const Exception& e) {
      choice.Warning = "could not put the demo prompts into " + folder + ": " + e.Message();
    }
  }
  if (!fs::is_directory(folder, ec)) {
    choice.Error = folder +
                   " is not a folder; move it away, or choose another folder with "
                   "ZELVOR_FOLDER or --folder";
    return choice;
  }
  choice.Folder = folder + "/";
  return choice;
}

}  // namespace

TProgramFolder ChooseProgramFolder(const std::string& given, TPortableDefault portable) {
  TProgramFolder choice;
  if (!given.empty()) {
    choice.Folder = AbsoluteFolder(given);
    return choice;
  }
  if (const std::string named = EnvironmentValue("ZELVOR_FOLDER"); !named.empty()) {
    choice.Folder = AbsoluteFolder(named);
    choice.Source = TFolderSource::Environment;
    return choice;
  }
  const std::string current = AbsoluteFolder("");
  if (FileExists(current + "ZelvorSound.ini") ||
      (!StartedAsInstalled() && portable == TPortableDefault::CurrentFolder)) {
    choice.Folder = current;
    choice.Source = TFolderSource::Current;
    return choice;
  }
  if (StartedAsInstalled()) return UsersFolder();
  // Every file of the program lies in its folder: without it there is nothing to work on.
  choice.Source = TFolderSource::Executable;
  try {
    choice.Folder = ExeFolder();
  } catch (const Exception& e) {
    choice.Error = e.Message();
  }
  return choice;
}
