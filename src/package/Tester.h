// Hearing what the instrument will play: decoding sounds back into "testvox.wav" (8-bit
// mono PCM at 8000 Hz, 46-byte header) in the executable folder, or into a wave file held
// in memory for a player to play from a memory wave storage, with nothing written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "package/Package.h"
#include "rtl/Shell.h"

// The test file every decoded sound goes to.
std::string TestWavPath(const TAppContext& ctx);

// Decodes the ".vox" file the user picks (all of it is codes, no header) into
// "testvox.wav". Nothing when the dialog is cancelled; nothing is played or shown, unless
// the file is too long for a WAV file's sizes: then a message says so and nothing is written.
void Button1XClick(TAppContext& ctx, TShell& shell);

// One step of the package test: decodes slot's record from an open package into
// "testvox.wav". Returns false, writing nothing, when the slot is empty (entry 0, or a
// count of 0 or less). A record past the end of the package raises "Read beyond end of
// file".
bool DecodeSlotToTestWav(const TAppContext& ctx, TPackageReader& package, int slot);

// The decoded sound of count code bytes as a whole wave file in memory: the 46-byte header
// of "testvox.wav", then the 2 * count samples.
std::string DecodedWave(const uint8_t* codes, size_t count);

// A ".vox" file decoded into a wave in memory. File errors raise the runtime's error.
std::string DecodeVoxFileToWave(const std::string& voxPath);

// The slot's record of an open package decoded into a wave in memory; nothing when the slot
// is empty. A record past the end of the package raises "Read beyond end of file".
std::optional<std::string> DecodeSlotToWave(TPackageReader& package, int slot);

// The WAV file at path as the instrument will play it: converted as the build converts a
// source, coded with coder and decoded again, into a wave in memory. A file the conversion
// rejects gives nothing and the message box text of the rejection in problem.
std::optional<std::string> CodedWave(const std::string& path, TCoder coder, std::string& problem);
