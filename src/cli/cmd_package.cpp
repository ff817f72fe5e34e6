// zelvorsound-cli build / decode / extract / list: the sound package without a window.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "cli/Cli.h"
#include "package/Builder.h"
#include "package/Package.h"
#include "package/Tester.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

namespace {

// The builder's shell on the console: status lines to stdout as they come, rejections to
// stderr at once; the message a finished build ends with (the only one that informs rather
// than warns) goes to stdout as the last line once the build has ended normally.
class TBuildShell : public cli::ConsoleShell {
 public:
  explicit TBuildShell(bool quiet) : FQuiet(quiet) {}
  void StatusAdd(const std::string& line) override {
    if (!FQuiet) ConsoleShell::StatusAdd(line);
  }
  void ShowMessage(const std::string& text, TMessageSeverity severity) override {
    if (severity != msInformation) {
      ConsoleShell::ShowMessage(text, severity);
      return;
    }
    FPending = text;
    FHasPending = true;
  }
  // The build ended normally: its final message goes out.
  void Finish() {
    if (FHasPending) std::cout << FPending << std::endl;
    FHasPending = false;
  }

 private:
  bool FQuiet;
  std::string FPending;
  bool FHasPending = false;
};

// "3 sounds", "1 sound".
std::string Count(size_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + PrintableText(n);
  return text;
}

// What the build did, on stderr after its last line: the configuration it found, the named
// sources that are missing, and one line of counts.
void ReportBuild(const std::string& folder, const std::vector<TSlotConfig>& config,
                 const TBuildSummary& summary) {
  if (!summary.ConfigFound)
    std::cerr << cli::ErrorPrefix() << "no \"ZelvorSound.ini\" in " << PrintableText(folder)
              << ": no source is named, so every slot stays empty (name the sources there, "
                 "or run 'zelvorsound-cli demo')\n";
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string& source = config[slot].Source;
    if (std::find(summary.Missing.begin(), summary.Missing.end(), source) != summary.Missing.end())
      std::cerr << cli::ErrorPrefix() << "warning: slot " << slot << ": " << PrintableText(source)
                << " not found\n";
  }
  std::cerr << cli::ErrorPrefix() << Count(summary.Packed, "sound") << " packed";
  if (!summary.Rejected.empty())
    std::cerr << ", " << Count(summary.Rejected.size(), "source") << " rejected ("
              << Joined(summary.Rejected) << ")";
  if (!summary.Refused.empty())
    std::cerr << ", " << Count(summary.Refused.size(), "source")
              << " refused as outside the folder (" << Joined(summary.Refused) << ")";
  if (!summary.Missing.empty())
    std::cerr << ", " << Count(summary.Missing.size(), "source") << " not found ("
              << Joined(summary.Missing) << ")";
  std::cerr << ", " << Count(summary.Empty.size(), "slot") << " left empty" << std::endl;
}

int RunBuild(const cli::Args& a) {
  if (!a.Positional.empty())
    return cli::UsageError("takes no file names: it builds from \"ZelvorSound.ini\"");
  TCoder coder;
  if (const int rc = cli::ChooseCoder(a, coder); rc != cli::kOk) return rc;
  // The window makes the folder of the copies when it starts; without it every copy the
  // configuration asks for would be skipped.
  CreateDirectory(a.Folder + "WAV Export");
  TBuildShell shell(a.Has("quiet"));
  TBuildSummary summary;
  std::string subject = a.Folder + "Sounds.zvd";
  // The configuration is read once, for the build and for what is said about it.
  const TIniFile ini(a.Folder + "ZelvorSound.ini");
  const std::vector<TSlotConfig> config = ReadBuildConfig(ini);
  const int rc = cli::Guarded(subject, [&] {
    TAppContext ctx{a.Folder, "", coder};
    // The sound list's rows: the configured names, "Sound n" where none is given.
    auto row = [&](int i) {
      return ini.ReadString("SoundFiles", "Name" + std::to_string(i),
                            "Sound " + std::to_string(i + 1));
    };
    try {
      summary = BuildPackage(ctx, shell, row, config, ini.Exists());
    } catch (const ESourceFileError& e) {
      // An error while a source is converted concerns that source.
      subject = "slot " + std::to_string(e.Slot) + ", " + e.Source;
      throw;
    }
    shell.Finish();
    return int{cli::kOk};
  });
  if (rc != cli::kOk) return rc;
  ReportBuild(a.Folder, config, summary);
  return summary.Rejected.empty() && summary.Refused.empty() ? cli::kOk : cli::kRejected;
}

int RunDecode(const cli::Args& a) {
  if (a.Positional.size() != 1) return cli::UsageError("needs exactly one \".vox\" FILE");
  if (a.Has("output") && a.Get("output").empty())
    return cli::UsageError("--output needs a file name");
  std::string subject = a.Positional[0];
  const std::string voxPath = cli::InFolder(a, subject);
  const TAppContext ctx{a.Folder, ""};
  const std::string out = a.Has("output") ? cli::InFolder(a, a.Get("output")) : TestWavPath(ctx);
  if (cli::SameFile(voxPath, out))
    return cli::UsageError(subject +
                           " would be overwritten by its own decoding: give another "
                           "--output FILE");
  return cli::Guarded(subject, [&] {
    TByteFile vox(voxPath);
    vox.Reset();
    const int64_t codeBytes = vox.Size();
    if (codeBytes > kMaxDecodableCodeBytes) {
      std::cerr << cli::ErrorPrefix() << TooLongToDecodeText(PrintableText(subject), codeBytes)
                << "; nothing was written\n";
      return int{cli::kRejected};
    }
    subject = a.Get("output", "testvox.wav");
    TByteFile wav(out);
    // "testvox.wav" is a working file; an output the user named is the user's own.
    wav.Rewrite(a.Has("output") ? TWriteKind::UserFile : TWriteKind::WorkingFile);
    WriteTestWavHeader(wav, static_cast<uint32_t>(codeBytes));
    DecodeVoxBytes(vox, codeBytes, wav);
    vox.Close();
    wav.Close();
    std::cout << "wrote " << PrintableText(out) << "\n";
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

// The WAV file an extract writes; none when the command line does not name one.
std::string ExtractOutput(const cli::Args& a) {
  return a.Positional.size() == 3 ? cli::InFolder(a, a.Positional[2]) : std::string();
}

int RunExtract(const cli::Args& a) {
  int slot = 0;
  if (a.Positional.size() != 3 || !ParseSlot(a.Positional[1], slot))
    return cli::UsageError("needs a PACKAGE, a SLOT from 0 to 127 and the OUT.wav to write");
  std::string subject = a.Positional[0];
  const std::string packagePath = cli::InFolder(a, subject);
  const std::string out = ExtractOutput(a);
  if (cli::SameFile(packagePath, out))
    return cli::UsageError(subject + " would be overwritten by the sound taken out of it");
  return cli::Guarded(subject, [&] {
    TPackageReader pkg(packagePath);
    pkg.Open();
    std::optional<TSoundRecord> rec = pkg.Record(slot);
    if (!rec) {
      std::cerr << cli::ErrorPrefix(subject) << "slot " << slot << " holds no sound\n";
      return int{cli::kRejected};
    }
    // A record cut off by the end of the package is the package's fault, not the output's.
    if (int64_t{rec->Offset} + 4 + rec->CodeBytes > pkg.File().Size())
      throw EInOutError(ioReadBeyondEnd);
    subject = a.Positional[2];
    DecodeRecordToWav(pkg, *rec, out, TWriteKind::UserFile);
    pkg.Close();
    std::cout << "wrote " << PrintableText(out) << " (" << rec->Samples() << " samples)\n";
    return int{cli::kOk};
  });
}

int RunList(const cli::Args& a) {
  if (a.Positional.size() != 1) return cli::UsageError("needs exactly one PACKAGE");
  const std::string& name = a.Positional[0];
  return cli::Guarded(name, [&] {
    TPackageReader pkg(cli::InFolder(a, name));
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
    "build",
    "build [-q] [--coder NAME]",
    "build \"Sounds.zvd\" from the sources \"ZelvorSound.ini\" names, and their \".vox\" files\n"
    "Does what the window's \"Create Zelvor sound file\" does: one status line per slot on\n"
    "stdout, then the final message. A rejected source is named on stderr; its slot stays\n"
    "empty, or keeps an older \".vox\" beside the source. A source that lies outside the\n"
    "folder (\"..\", a link to elsewhere) is refused unread and its slot stays empty. A summary\n"
    "on stderr ends the build: sounds packed, sources rejected, refused and not found, slots\n"
    "left empty. Copies that the configuration asks for go into \"WAV Export\", which is made\n"
    "when missing. Exit 1 when a source was rejected or refused (the package is still\n"
    "written), 2 on a file error, which leaves any earlier \"Sounds.zvd\" as it was.",
    {{"--quiet", "", "leave out the status line of each slot", 'q'}, cli::CoderOption()},
    RunBuild}};

cli::Register decodeCmd{cli::Command{
    "decode",
    "decode FILE.vox [-o FILE]",
    "decode FILE.vox into \"testvox.wav\" in the folder, or into the -o FILE\n"
    "Does what the window's Button1X does: the sound comes out as 8-bit mono at 8000 Hz.\n"
    "A FILE.vox of more code bytes than a WAV file's sizes can count (over 2 GB) is refused\n"
    "with exit 1, and nothing is written.",
    {{"--output", "FILE", "write the decoded sound into FILE (default \"testvox.wav\")", 'o'}},
    RunDecode}};

cli::Register extractCmd{cli::Command{
    "extract",
    "extract PACKAGE SLOT OUT.wav",
    "decode the sound of one slot (0 to 127) of a package into the WAV file OUT.wav\n"
    "The WAV file is laid out as \"testvox.wav\". Exit 1 when the slot holds no sound.",
    {},
    RunExtract,
    cli::FolderUse::WritesByOutput,
    ExtractOutput}};

cli::Register listCmd{cli::Command{
    "list",
    "list PACKAGE",
    "list the slots of a package that hold a sound; writes nothing\n"
    "For each: slot, offset, code bytes, samples and seconds at 8 kHz, then a total line.\n"
    "A damaged package ends with exit 2.",
    {},
    RunList,
    cli::FolderUse::ReadsOnly}};

}  // namespace
