// A text heard before it becomes a take: spoken, resampled and levelled as SpeakText makes a
// take of it (8000 Hz, 8-bit, to the default loudness with its peaks limited), but kept in
// memory as a playable WAV image instead of being trimmed, coded and named. Nothing in the
// folder changes: the writer's scratch file there has no name.
#pragma once

#include <optional>
#include <string>

#include "import/Speech.h"

// The WAV image of text spoken with speech; nothing, with problem saying why, when the voice
// or the speed is refused or nothing is heard. Raises Exception when the library cannot start
// (or the build has none) and EInOutError when the scratch file cannot be made in folder.
std::optional<std::string> SpokenWave(const std::string& folder, const std::string& text,
                                      const TSpeechOptions& speech, std::string& problem);
