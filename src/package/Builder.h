// "Create Zelvor sound file": converts the 128 configured sources and packs their ".vox"
// files into "Sounds.zvd" in the executable folder, one status line per slot.
#pragma once

#include <functional>
#include <string>

#include "rtl/Shell.h"

// soundListRow(i) is the text of row i of the sound list, used in the warning lines.
// The package is built in a temporary file and put in place of "Sounds.zvd" only when
// complete; a failed build leaves the previous package as it was and raises the error.
// The records are staged in "temp2.tmp", which stays on disk.
void Button2Click(TAppContext& ctx, TShell& shell,
                  const std::function<std::string(int)>& soundListRow);

// The configured name as a path of this system: '\' from INI files made on Windows
// separates folders like '/'.
std::string NormaliseConfiguredName(std::string name);

// True for a value that names no file: empty, or "NONE" in any letter case.
bool IsNoFile(const std::string& value);
