// The folders the window worked in last, newest first, five at the most: the one thing the
// program keeps outside its folder, with QSettings in the user's configuration
// ("ZelvorSound/zelvorsound.ini" under $XDG_CONFIG_HOME, else ~/.config; %APPDATA% on
// Windows). Each folder ends with '/'.
#pragma once

#include <string>
#include <vector>

inline constexpr size_t kRecentFolders = 5;

std::vector<std::string> RecentFolders();
// Puts folder first; an earlier place of it goes, and the oldest beyond five.
void UseRecentFolder(const std::string& folder);
// Takes folder off the list (it is not there any more).
void ForgetRecentFolder(const std::string& folder);
