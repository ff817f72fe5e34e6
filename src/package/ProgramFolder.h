// Which folder the program works in, the one rule of the window and of zelvorsound-cli:
// --folder DIR, else ZELVOR_FOLDER, else the current directory when it holds
// "ZelvorSound.ini", else for an installed program the user's "ZelvorSound" folder (made and
// seeded with the demo prompts on first use) and for a copy that is not installed the
// folder the front end works in by default (the CLI: the current directory; the window: its
// executable's folder, where a portable copy keeps its files).
#pragma once

#include <string>

enum class TFolderSource {
  Given,          // --folder
  Environment,    // ZELVOR_FOLDER
  Current,        // the current directory (it holds "ZelvorSound.ini", or the CLI's default)
  InstalledHome,  // the user's "ZelvorSound" folder of an installed program
  Executable,     // the window's executable's folder
};

enum class TPortableDefault { CurrentFolder, ExecutableFolder };

struct TProgramFolder {
  std::string Folder;  // absolute, ending with '/'; empty when Error says why there is none
  TFolderSource Source = TFolderSource::Given;
  // The user's folder was made and seeded with the demo prompts by this start.
  bool Made = false;
  std::string Error;    // why no folder can be chosen (the user's folder unknown, or no folder)
  std::string Warning;  // the user's folder was made but could not be seeded
};

// The folder of this start, given --folder as typed (empty when not given). Only the user's
// folder of an installed program is made here; a folder given or named by ZELVOR_FOLDER is
// taken as it is, whether it exists or not (the front end says what it does about that).
// Relative folders are taken from the current directory; ".." is followed on the disk.
TProgramFolder ChooseProgramFolder(const std::string& given, TPortableDefault portable);

// Where the folder came from, for a message: "--folder", "ZELVOR_FOLDER", ...
const char* FolderSourceName(TFolderSource source);

// A folder as typed made absolute from the current directory, with a trailing '/'.
std::string AbsoluteFolder(const std::string& folder);
