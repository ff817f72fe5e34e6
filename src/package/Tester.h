// Hearing what the instrument will play: decoding sounds back into "testvox.wav" (8-bit
// mono PCM at 8000 Hz, 46-byte header) in the executable folder.
#pragma once

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
