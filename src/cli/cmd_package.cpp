// zelvorsound-cli build / decode / extract / list: the sound package without a window.
#include <cstdio>
#include <iostream>

#include "cli/Cli.h"
#include "package/Builder.h"
#include "package/Package.h"
#include "package/Tester.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

namespace {

// The builder's shell on the console: status lines to stdout as they come, rejections to
// stderr; the message a finished build ends with goes to stdout as the last line. Before
// the last slot's line every message is a rejection and goes out at once; after it, a
// message waits until the build tells whether it was the last.
class TBuildShell : public cli::ConsoleShell {
 public:
  void StatusAdd(const std::string& line) override {
    ++FLines;
    ConsoleShell::StatusAdd(line);
  }
  void ShowMessage(const std::string& text) override {
    FlushAsRejection();
    if (FLines < kSlotCount) {
      ConsoleShell::ShowMessage(text);
      return;
    }
    FPending = text;
    FHasPending = true;
  }
  // The build ended normally: its last message is the final one.
  void Finish() {
    if (FHasPending) std::cout << FPending << std::endl;
    FHasPending = false;
  }
  void FlushAsRejection() {
    if (FHasPending) ConsoleShell::ShowMessage(FPending);
    FHasPending = false;
  }

 private:
  int FLines = 0;
  std::string FPending;
  bool FHasPending = false;
};

int RunBuild(const cli::Args& a) {
  if (!a.Positional.empty()) {
    std::cerr << "zelvorsound-cli: build takes no file names\n";
    return cli::kUsage;
  }
  TBuildShell shell;
  int rc = cli::Guarded([&] {
    TAppContext ctx{a.Folder, ""};
    const std::string ini = a.Folder + "ZelvorSound.ini";
    // The sound list's rows: the configured names, "Sound n" where none is given.
    auto row = [&](int i) {
      return GetPrivateProfileString("SoundFiles", "Name" + std::to_string(i),
                                     "Sound " + std::to_string(i + 1), ini);
    };
    try {
      Button2Click(ctx, shell, row);
    } catch (...) {
      shell.FlushAsRejection();  // before the error's own text
      throw;
    }
    shell.Finish();
    return int{cli::kOk};
  });
  shell.FlushAsRejection();
  return rc;
}

int RunDecode(const cli::Args& a) {
  if (a.Positional.size() != 1) {
    std::cerr << "zelvorsound-cli: decode needs exactly one \".vox\" file\n";
    return cli::kUsage;
  }
  return cli::Guarded([&] {
    TAppContext ctx{a.Folder, ""};
    cli::TPickedFileShell shell(cli::InFolder(a, a.Positional[0]));
    Button1XClick(ctx, shell);
    std::cout << "wrote " << TestWavPath(ctx) << "\n";
    return int{cli::kOk};
  });
}

bool ParseSlot(const std::string& text, int& slot) {
  if (text.empty() || text.size() > 3) return false;
  slot = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    slot = slot * 10 + (c - '0');
  }
  return slot < kSlotCount;
}

int RunExtract(const cli::Args& a) {
  int slot = 0;
  if (a.Positional.size() != 3 || !ParseSlot(a.Positional[1], slot)) {
    std::cerr << "zelvorsound-cli: extract needs PACKAGE, a SLOT from 0 to 127 and OUT.wav\n";
    return cli::kUsage;
  }
  return cli::Guarded([&] {
    TPackageReader pkg(cli::InFolder(a, a.Positional[0]));
    pkg.Open();
    std::optional<TSoundRecord> rec = pkg.Record(slot);
    if (!rec) {
      std::cerr << "Slot " << slot << " of " << a.Positional[0] << " holds no sound\n";
      return int{cli::kRejected};
    }
    const std::string out = cli::InFolder(a, a.Positional[2]);
    DecodeRecordToWav(pkg, *rec, out);
    pkg.Close();
    std::cout << "wrote " << out << " (" << rec->Samples() << " samples)\n";
    return int{cli::kOk};
  });
}

int RunList(const cli::Args& a) {
  if (a.Positional.size() != 1) {
    std::cerr << "zelvorsound-cli: list needs exactly one package\n";
    return cli::kUsage;
  }
  return cli::Guarded([&] {
    TPackageReader pkg(cli::InFolder(a, a.Positional[0]));
    pkg.Open();
    int sounds = 0;
    int64_t codeBytes = 0;
    std::cout << "slot      offset  code bytes     samples   seconds\n";
    for (int slot = 0; slot < kSlotCount; ++slot) {
      std::optional<TSoundRecord> rec = pkg.Record(slot);
      if (!rec) continue;
      ++sounds;
      codeBytes += rec->CodeBytes;
      std::cout << Format("%4d  %10u  %10d  %10lld  %8.3f", slot, rec->Offset, rec->CodeBytes,
                          static_cast<long long>(rec->Samples()),
                          static_cast<double>(rec->Samples()) / kTestWavRate)
                << "\n";
    }
    std::cout << Format("total: %d sounds, %lld code bytes, %lld samples, %.3f seconds", sounds,
                        static_cast<long long>(codeBytes), static_cast<long long>(2 * codeBytes),
                        static_cast<double>(2 * codeBytes) / kTestWavRate)
              << "\n";
    pkg.Close();
    return int{cli::kOk};
  });
}

cli::Register buildCmd{cli::Command{
    "build", "build",
    "Builds \"Sounds.zvd\" from the 128 sources that \"ZelvorSound.ini\" names, as the\n"
    "window's \"Create Zelvor sound file\" does: one status line per slot on stdout, then\n"
    "the final message. Rejected sources are reported on stderr and leave their slot empty\n"
    "(or packed with an older \".vox\"); the build still ends with exit 0. A file error ends\n"
    "it with exit 2 and leaves any earlier \"Sounds.zvd\" as it was.",
    {}, RunBuild}};

cli::Register decodeCmd{cli::Command{
    "decode", "decode FILE.vox",
    "Decodes a \".vox\" file into \"testvox.wav\" in the folder (8-bit mono, 8000 Hz).",
    {}, RunDecode}};

cli::Register extractCmd{cli::Command{
    "extract", "extract PACKAGE SLOT OUT.wav",
    "Decodes the sound of one slot (0 to 127) of a package into a WAV file laid out as\n"
    "\"testvox.wav\". Exit 1 when the slot holds no sound.",
    {}, RunExtract}};

cli::Register listCmd{cli::Command{
    "list", "list PACKAGE",
    "Lists the slots of a package that hold a sound: slot, offset, code bytes, samples and\n"
    "seconds at 8 kHz, then a total line. A damaged package ends with exit 2.",
    {}, RunList}};

}  // namespace
