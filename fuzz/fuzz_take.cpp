// Arbitrary bytes as a take named on the command line (zelvorsound-cli take): it is refused
// untouched, or fails with the runtime's file error leaving every file as it was, or is
// rewritten in the take layout with its ".vox" coding exactly its samples.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "codec/Convert.h"
#include "codec/TakeFile.h"
#include "rtl/SysUtils.h"

using namespace fuzzsupport;

namespace {

std::string Read(const std::string& path) {
  std::string s;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    std::fclose(f);
  }
  return s;
}

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string folder = ScratchFolder();
  std::error_code ec;
  std::filesystem::remove(folder + "t.vox", ec);
  WriteScratch("t.wav", data, size);
  const std::string original(reinterpret_cast<const char*>(data), size);
  TSilentShell shell;
  TAppContext ctx{folder, folder + "t.wav"};
  bool taken = false;
  try {
    taken = ConvertTakeFile(ctx, shell);
  } catch (const EInOutError&) {
  }
  const std::string take = Read(folder + "t.wav");
  if (!taken) {
    // Refused (one message) or failed (none): nothing changed.
    if (shell.Messages > 1 || take != original || std::filesystem::exists(folder + "t.vox"))
      abort();
    return 0;
  }
  if (shell.Messages != 0 || take.size() < kTakeSamplesPos) abort();
  const size_t samples = take.size() - kTakeSamplesPos;
  if (U32(take, kTakeRiffSizePos) != take.size() - 8 || U32(take, kTakeDataSizePos) != samples)
    abort();
  // The recorder's header, or the file's own when it was in the take layout already.
  const auto standard = TakeHeader(0);
  if (take.compare(8, 30, reinterpret_cast<const char*>(standard.data()) + 8, 30) != 0 &&
      take.compare(8, 34, original, 8, 34) != 0)
    abort();
  if (Read(folder + "t.vox").size() != samples / 2) abort();
  if (Read(folder + "out.dat") != take.substr(kTakeSamplesPos)) abort();
  return 0;
}
