// zelvorsound-cli convert / take / loopback: the voice codec's conversions without a window.
#include <iostream>

#include "cli/Cli.h"
#include "codec/Convert.h"
#include "codec/TakeFile.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

namespace {

// A console shell whose open dialog answers with a file given on the command line.
int64_t SizeOf(const std::string& path) {
  TByteFile f(path);
  f.Reset();
  return f.Size();
}

bool NeedsOne(const cli::Args& a, const char* what) {
  if (a.Positional.size() == 1) return true;
  std::cerr << "zelvorsound-cli: " << what << " needs exactly one file name\n";
  return false;
}

int RunConvert(const cli::Args& a) {
  if (!NeedsOne(a, "convert")) return cli::kUsage;
  if (a.Positional[0].empty() || a.Positional[0][0] == '/') {
    std::cerr << "zelvorsound-cli: convert takes a NAME relative to the folder\n";
    return cli::kUsage;
  }
  return cli::Guarded([&] {
    TAppContext ctx{a.Folder, a.Positional[0]};
    cli::ConsoleShell shell;
    ConvertWaveFile(ctx, shell);
    if (shell.MessageCount() > 0) return int{cli::kRejected};
    std::string vox = ChangeFileExt(ctx.CurrentSoundFileName, ".vox");
    std::cout << "wrote " << vox << " (" << SizeOf(vox) << " bytes), "
              << SizeOf(ctx.ExeFolder + "out.dat") << " samples kept\n";
    return int{cli::kOk};
  });
}

int RunTake(const cli::Args& a) {
  if (!NeedsOne(a, "take")) return cli::kUsage;
  return cli::Guarded([&] {
    TAppContext ctx{a.Folder, cli::InFolder(a, a.Positional[0])};
    cli::ConsoleShell shell;
    ConvertRecordedTake(ctx, shell);
    std::string vox = ChangeFileExt(ctx.CurrentSoundFileName, ".vox");
    std::cout << "wrote " << vox << " (" << SizeOf(vox) << " bytes), take now holds "
              << SizeOf(ctx.CurrentSoundFileName) - kTakeSamplesPos << " samples\n";
    return int{cli::kOk};
  });
}

int RunLoopback(const cli::Args& a) {
  if (!NeedsOne(a, "loopback")) return cli::kUsage;
  return cli::Guarded([&] {
    TAppContext ctx{a.Folder, ""};
    cli::TPickedFileShell shell(cli::InFolder(a, a.Positional[0]));
    Button1Click(ctx, shell);
    std::cout << "wrote " << ctx.ExeFolder << "out.vox and " << ctx.ExeFolder << "out.wav\n";
    return int{cli::kOk};
  });
}

cli::Register convertCmd{cli::Command{
    "convert", "convert NAME",
    "Converts the WAV file NAME (relative to the folder) into the \".vox\" file beside it,\n"
    "as the package builder does for each slot: 8-bit mono at any rate is taken as it is,\n"
    "16-bit mono at 44100 Hz is normalised, filtered and reduced to about 8 kHz; silence\n"
    "around the sound is trimmed. The kept samples stay in \"out.dat\" in the folder.\n"
    "Exit 1 when the file is rejected (the reason on stderr), 2 on a file error.",
    {}, RunConvert}};

cli::Register takeCmd{cli::Command{
    "take", "take FILE",
    "Treats FILE as a take just recorded (8-bit mono, 46-byte header): trims the silence\n"
    "before and after the speech, writes the \".vox\" file beside it and rewrites the take\n"
    "with the kept samples. The take is replaced only once its new form is complete.",
    {}, RunTake}};

cli::Register loopbackCmd{cli::Command{
    "loopback", "loopback FILE",
    "Codes the samples of FILE (read as a take, no checks) into \"out.vox\" and decodes\n"
    "them again into \"out.wav\" in the folder, to hear what the code does to a sound.",
    {}, RunLoopback}};

}  // namespace
