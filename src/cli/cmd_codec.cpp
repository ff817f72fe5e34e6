// zelvorsound-cli convert / take / loopback: the voice codec's conversions without a window.
#include <filesystem>
#include <iostream>

#include "cli/Cli.h"
#include "codec/Convert.h"
#include "codec/TakeFile.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

namespace {

int64_t SizeOf(const std::string& path) {
  TByteFile f(path);
  f.Reset();
  return f.Size();
}

bool NeedsOne(const cli::Args& a) { return a.Positional.size() == 1; }

// The conversion takes its source relative to the folder, where it also keeps its working
// file: the path the user typed (from the current directory) is made relative to the folder.
std::string RelativeToFolder(const cli::Args& a, const std::string& typed) {
  const std::string path = cli::ShellPath(typed);
  std::error_code ec;
  const std::filesystem::path relative = std::filesystem::relative(path, a.Folder, ec);
  return ec || relative.empty() ? path : relative.generic_string();
}

int RunConvert(const cli::Args& a) {
  if (!NeedsOne(a)) return cli::UsageError("needs exactly one FILE, the WAV file to convert");
  TCoder coder;
  if (const int rc = cli::ChooseCoder(a, coder); rc != cli::kOk) return rc;
  const std::string& name = a.Positional[0];
  return cli::Guarded(name, [&] {
    TAppContext ctx{a.Folder, RelativeToFolder(a, name), coder};
    cli::ConsoleShell shell;
    ConvertWaveFile(ctx, shell);
    if (shell.MessageCount() > 0) return int{cli::kRejected};
    std::string vox = ChangeFileExt(ctx.CurrentSoundFileName, ".vox");
    std::cout << "wrote " << PrintableText(vox) << " (" << SizeOf(vox) << " bytes), "
              << SizeOf(ctx.ExeFolder + "out.dat") << " samples kept\n";
    return int{cli::kOk};
  });
}

int RunTake(const cli::Args& a) {
  if (!NeedsOne(a)) return cli::UsageError("needs exactly one FILE, the take to trim and code");
  TCoder coder;
  if (const int rc = cli::ChooseCoder(a, coder); rc != cli::kOk) return rc;
  const std::string& name = a.Positional[0];
  return cli::Guarded(name, [&] {
    TAppContext ctx{a.Folder, cli::ShellPath(name), coder};
    cli::ConsoleShell shell;
    if (!ConvertTakeFile(ctx, shell)) return int{cli::kRejected};
    std::string vox = ChangeFileExt(ctx.CurrentSoundFileName, ".vox");
    std::cout << "wrote " << PrintableText(vox) << " (" << SizeOf(vox) << " bytes), take now holds "
              << SizeOf(ctx.CurrentSoundFileName) - kTakeSamplesPos << " samples\n";
    return int{cli::kOk};
  });
}

int RunLoopback(const cli::Args& a) {
  if (!NeedsOne(a)) return cli::UsageError("needs exactly one FILE, the take to code and decode");
  TCoder coder;
  if (const int rc = cli::ChooseCoder(a, coder); rc != cli::kOk) return rc;
  const std::string& name = a.Positional[0];
  return cli::Guarded(name, [&] {
    TAppContext ctx{a.Folder, "", coder};
    cli::TPickedFileShell shell(cli::ShellPath(name));
    Button1Click(ctx, shell);
    if (shell.MessageCount() > 0) return int{cli::kRejected};
    std::cout << "wrote " << PrintableText(ctx.ExeFolder) << "out.vox and "
              << PrintableText(ctx.ExeFolder) << "out.wav\n";
    return int{cli::kOk};
  });
}

cli::Register convertCmd{cli::Command{
    "convert",
    "convert FILE",
    "convert the WAV source FILE into the \".vox\" file beside it, silence trimmed\n"
    "Does for one file what the package builder does for each slot: 8-bit mono at any rate\n"
    "is taken as it is, 16-bit mono at 44100 Hz is normalised, filtered and reduced to about\n"
    "8 kHz. The kept samples stay in \"out.dat\" in the folder. Exit 1 when the file is\n"
    "rejected (the reason on stderr), 2 on a file error.",
    {cli::CoderOption()},
    RunConvert}};

cli::Register takeCmd{cli::Command{
    "take",
    "take FILE",
    "trim a recorded take FILE, write FILE.vox and rewrite the take with the kept samples\n"
    "Treats FILE as a take just recorded: any PCM WAV file of 8000 Hz, 8 bits, mono, whatever\n"
    "its header. Trims the silence before and after the speech, writes the \".vox\" file\n"
    "beside it and rewrites the take in the recorder's layout (46-byte header) with the kept\n"
    "samples; both are replaced only once complete. A file of any other format is refused\n"
    "untouched with exit 1 (the way in for it is 'import'); a take whose data run short ends\n"
    "with exit 2, every file as it was.",
    {cli::CoderOption()},
    RunTake}};

cli::Register loopbackCmd{cli::Command{
    "loopback",
    "loopback FILE",
    "code and decode the take FILE in one pass into \"out.vox\" and \"out.wav\"\n"
    "Codes the samples of FILE (a take: PCM 8000 Hz 8-bit mono, whatever its header) into\n"
    "\"out.vox\" and decodes them again into \"out.wav\" in the folder, to hear what the code\n"
    "does to a sound. Another format is refused with exit 1 and nothing is written.",
    {cli::CoderOption()},
    RunLoopback}};

}  // namespace
