// What the fuzz harnesses share: a shell that only counts its message boxes, and a scratch
// folder (in memory where the system offers one) for the files a harness feeds the program.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "rtl/Shell.h"

namespace fuzzsupport {

class TSilentShell : public TShell {
 public:
  void ShowMessage(const std::string&, TMessageSeverity) override { ++Messages; }
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

}  // namespace fuzzsupport
