// Arbitrary bytes as a sound file to import (libsndfile decodes, libsoxr resamples), held in
// memory: the import takes it into the slot as a take in the recorder's layout with its
// ".vox" and the INI naming it, or rejects it with one message and the folder as it was.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "import/FileError.h"
#include "import/Import.h"
#include "platform/profile.h"

using namespace fuzzsupport;

namespace {

// A folder of its own beside the scratch folder's source file, emptied for every input.
const std::string& Folder() {
  static const std::string folder = [] {
    std::filesystem::create_directory(ScratchFolder() + "folder");
    return ScratchFolder() + "folder/";
  }();
  return folder;
}

std::map<std::string, uintmax_t> Files() {
  std::map<std::string, uintmax_t> files;
  for (auto& e : std::filesystem::directory_iterator(Folder()))
    files[e.path().filename().string()] = e.file_size();
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteScratch("source.snd", data, size);
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(Folder())) std::filesystem::remove(e, ec);
  const auto before = Files();
  TSilentShell shell;
  TAppContext ctx{Folder(), ""};
  TImportOptions options;
  options.Name = "prompt";
  options.MaxSamples = 8000 * 30;  // half a minute: what a sound of a few kB may claim to last
  TImportResult r;
  try {
    r = ImportSoundFile(ctx, shell, 7, ScratchFolder() + "source.snd", options);
  } catch (const EImportFileError&) {
    if (Files() != before) abort();
    return 0;
  }
  if (r.Status != TImportStatus::Done) {
    if (shell.Messages != 1 || Files() != before) abort();
    return 0;
  }
  const auto after = Files();
  const uintmax_t take = after.at("prompt.WAV");
  if (take != 46 + static_cast<uintmax_t>(r.KeptSamples) || after.at("prompt.vox") != take / 2 - 23)
    abort();
  if (TIniFile(Folder() + "ZelvorSound.ini").ReadString("SourceFileNames", "Name7", "") !=
      "prompt.WAV")
    abort();
  return 0;
}
