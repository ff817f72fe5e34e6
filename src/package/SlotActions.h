// What a slot is called and which take it has: the rules every way of naming a slot's take
// shares (import, say, prompts and the slot actions), and the slot actions themselves.
//
// A slot's name is its [SoundFiles] value ("Sound <slot + 1>" when missing); its take is
// "<name>.WAV" in the program's folder, the file the window records into; a slot also names
// the take of its [SourceFileNames] value, which the build packs.
//
// Each action reads "ZelvorSound.ini" once and writes at once the keys it concerns and no
// other line (platform/profile.h), the files it renames in the same step: a refused action
// changes nothing, and a failed one leaves the folder as it was. The caller holds the
// folder's lock.
#pragma once

#include <string>

class TIniFile;

inline constexpr const char* kIniName = "ZelvorSound.ini";

std::string SlotKey(int slot);  // "Name<slot>"
// The slot's name as the sound list shows it.
std::string SlotName(const TIniFile& ini, int slot);
std::string TakeName(const std::string& name);  // "<name>.WAV"

// True when the slot's name or its source is the take of this name.
bool SlotHasTake(const TIniFile& ini, int slot, const std::string& name);
// Empty when name can name a take: not empty, no '/', '\' or control character (a line
// break would split the INI line), neither "." nor "..". Else the refusal, naming it.
std::string UnstorableNameText(const std::string& name);
// Empty when name's take is free for slot; else the refusal: it belongs to another slot, or
// is a file that no slot names.
std::string NameTakenText(const TIniFile& ini, int slot, const std::string& name,
                          const std::string& folder);

// Each action returns the refusal (said as it stands) or empty when done; a file error
// raises the runtime's error, "Unable to write to ..." for the INI.
//
// The slot's name becomes name; its take, ".vox" and history folder are renamed with it,
// and its source follows when it named the old take. Where the new name's take is there
// already as the slot's source, the old take goes into the slot's history instead.
std::string RenameSlot(const std::string& folder, int slot, const std::string& name);
// The slot's source becomes NONE; its files stay.
std::string ClearSlot(const std::string& folder, int slot);
// The slot and the one before (direction -1) or after (+1) it swap their names, sources,
// destinations and take origins.
std::string MoveSlot(const std::string& folder, int slot, int direction);
