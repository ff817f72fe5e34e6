// The coder a folder chose: [Options] Coder= in its "ZelvorSound.ini" ("standard", the
// default, or "optimal"). Everything that codes in the folder asks here — the window's
// recording, build, import and loop-back, and every command of zelvorsound-cli that codes —
// unless the user overrides it for one command (--coder).
#pragma once

#include <string>

#include "rtl/Shell.h"

inline constexpr const char* kOptionsSection = "Options";
inline constexpr const char* kCoderKey = "Coder";

struct TCoderChoice {
  TCoder Coder = TCoder::Standard;
  // Set when the INI names a coder that does not exist: the standard one is used, and the
  // front end shows this text (a status line, a line on stderr).
  std::string Warning;
};

// folder ends with '/'. A folder without the INI or the key codes with the standard coder.
TCoderChoice FolderCoder(const std::string& folder);
