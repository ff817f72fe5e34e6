// What the program reads of the environment it was started in: its variables as UTF-8, the
// user's own folder, and whether it was started as an installed command. One source per
// system (Environment_posix.cpp, Environment_win32.cpp): the variables are bytes on Linux
// and UTF-16 on Windows, and the user's folder is $HOME on the one and %USERPROFILE% on the
// other.
#pragma once

#include <string>

// The value of an environment variable as UTF-8; empty when it is not set.
std::string EnvironmentValue(const char* name);

// The user's own folder ($HOME, %USERPROFILE%), with '/' separating folders and no '/' at
// its end; empty when the variable is not set.
std::string UserHomeFolder();
// The variable that names it, for a message that says it is missing.
const char* UserHomeVariable();

// The one signal of an installed command: the launchers on the PATH (data/launcher.sh.in,
// src/launcher/Launcher_win32.cpp) start the program with ZELVOR_INSTALLED=1. An installed
// program never works beside its own binary; without a folder chosen it works in the
// user's "ZelvorSound" folder.
inline constexpr const char* kInstalledVariable = "ZELVOR_INSTALLED";
inline bool StartedAsInstalled() { return EnvironmentValue(kInstalledVariable) == "1"; }
