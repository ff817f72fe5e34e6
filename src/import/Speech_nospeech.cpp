// A build without a speech engine (the Windows build: no speech library is at hand for it).
// A speaker cannot be made, and says so through the same path as a library that cannot start.
#include "import/Speech.h"

#include "rtl/SysUtils.h"

TSpeaker::TSpeaker(const TSpeechOptions&) {
  throw Exception("no speech engine is available in this build");
}

void TSpeaker::Speak(const std::string&, TPromptWriter&) {}

std::vector<TVoice> InstalledVoices() { return {}; }
