// The demo prompts: four synthetic sounds in "demo/" and a "ZelvorSound.ini" that names them
// for slots 0 to 3, so that a new folder has something to build at once. zelvorsound-cli demo
// writes them, and so does the first start of an installed program in the user's new
// "ZelvorSound" folder.
#pragma once

#include <string>
#include <vector>

// Writes the demo into folder (ending with '/'), which must exist: "demo/" with the four
// WAV files (8-bit 8 kHz and 16-bit 44.1 kHz, silence around each sound), "WAV Export/", and
// "ZelvorSound.ini" naming them (the optimal coder chosen). Returns the files written, the
// INI last. A file error raises the runtime's error; a folder that holds "ZelvorSound.ini"
// already is the caller's to leave alone.
std::vector<std::string> WriteDemoPrompts(const std::string& folder);
