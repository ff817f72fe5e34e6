// Arbitrary bytes as a sound package: the reader must skip a slot, decode it, or end with
// the runtime's file error; never crash, never allocate by a count read from the file.
// The same bytes also go through the ".vox" decoder as a picked file.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "package/Package.h"
#include "package/Tester.h"
#include "FuzzSupport.h"
#include "rtl/SysUtils.h"

using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteScratch("Sounds.zvd", data, size);
  TAppContext ctx{ScratchFolder(), ""};
  TPackageReader package(ScratchFolder() + "Sounds.zvd");
  package.Open();
  for (int slot = 0; slot < kSlotCount; ++slot) {
    try {
      DecodeSlotToTestWav(ctx, package, slot);
    } catch (const EInOutError& e) {
      if (e.ErrorCode != ioReadBeyondEnd) abort();  // the only failure bad content may cause
    }
  }
  package.Close();

  TSilentShell shell;
  shell.Pick = ScratchFolder() + "Sounds.zvd";
  Button1XClick(ctx, shell);
  return 0;
}
