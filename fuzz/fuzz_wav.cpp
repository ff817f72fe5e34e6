// Arbitrary bytes as a user's WAV file: the header check, the reductions, the trims and the
// encoder must end in a rejection message or the runtime's file error, nothing else. The
// same bytes also go through the take conversion, which trusts the take layout.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "codec/Convert.h"
#include "FuzzSupport.h"
#include "rtl/SysUtils.h"

using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteScratch("in.wav", data, size);
  TSilentShell shell;
  TAppContext ctx{ScratchFolder(), "in.wav"};
  try {
    ConvertWaveFile(ctx, shell);
  } catch (const EInOutError&) {
  }
  if (shell.Messages > 1) abort();  // one message box at most

  WriteScratch("take.wav", data, size);
  ctx.CurrentSoundFileName = ScratchFolder() + "take.wav";
  try {
    ConvertRecordedTake(ctx, shell);
  } catch (const EInOutError&) {
  }
  return 0;
}
