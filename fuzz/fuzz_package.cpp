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
#include "rtl/SysUtils.h"

namespace {

class TSilentShell : public TShell {
 public:
  void ShowMessage(const std::string&) override { ++Messages; }
  void StatusClear() override {}
  void StatusShow() override {}
  void StatusAdd(const std::string&) override {}
  std::optional<std::string> PickVoxFile() override { return Pick; }
  void ProcessMessages() override {}
  void WaitForEvents() override {}
  int Messages = 0;
  std::optional<std::string> Pick;
};

// One folder per process, in memory where the system offers it, removed at exit.
struct TScratch {
  std::string Path;
  ~TScratch() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
};

inline const std::string& ScratchFolder() {
  static TScratch scratch;
  static std::string folder = [] {
    std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm/zelvor-fuzz-XXXXXX"
                                                     : "/tmp/zelvor-fuzz-XXXXXX";
    char* made = mkdtemp(tmpl.data());
    if (!made) abort();
    scratch.Path = made;
    return scratch.Path + "/";
  }();
  return folder;
}

inline void WriteScratch(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = ScratchFolder() + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);
}

}  // namespace

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
