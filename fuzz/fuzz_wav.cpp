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
