// zelvorsound-cli build / decode / extract / list: the sound package without a window.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "cli/Cli.h"
#include "cli/Json.h"
#include "codec/Convert.h"
#include "codec/WavInput.h"
#include "package/Builder.h"
#include "package/Package.h"
#include "package/SlotActions.h"
#include "package/Tester.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

namespace {

// The builder's shell on the console: status lines to stdout as they come (by default only
// those of the slots that name a source, with -v every one, with -q or --json none),
// rejections to stderr at once; the message a finished build ends with (the only one that
// informs rather than warns) goes to stdout as the last line once the build has ended
// normally.
class TBuildShell : public cli::ConsoleShell {
 public:
  enum class TLines { None, Named, All };
  TBuildShell(TLines lines, const std::vector<TSlotConfig>& config)
      : FLines(lines), FConfig(config) {}
  void StatusAdd(const std::string& line) override {
    if (FLines != TLines::None) ConsoleShell::StatusAdd(line);
  }
  void SlotStatusAdd(int slot, const std::string& line) override {
    if (FLines == TLines::All || (FLines == TLines::Named && !IsNoFile(FConfig[slot].Source)))
      ConsoleShell::StatusAdd(line);
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
    if (FHasPending && FLines != TLines::None) std::cout << FPending << std::endl;
    FHasPending = false;
  }

 private:
  TLines FLines;
  const std::vector<TSlotConfig>& FConfig;
  std::string FPending;
  bool FHasPending = false;
};

// "3 sounds", "1 sound".
std::string Count(size_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string Joined(const std::vector<TSlotProblem>& problems) {
  std::string text;
  for (const TSlotProblem& p : problems)
    text += (text.empty() ? "" : ", ") + PrintableText(p.Source);
  return text;
}

// What the build did (or, dry, would do), on stderr after its last line: the configuration
// it found, the named sources that are missing (where they were looked for), the way in for
// each rejected source, and one line of counts.
void ReportBuild(const std::string& folder, const TBuildSummary& summary, bool dry) {
  if (!summary.ConfigFound)
    std::cerr << cli::ErrorPrefix() << "no \"ZelvorSound.ini\" in " << PrintableText(folder)
              << ": no source is named, so every slot stays empty (name the sources there, "
                 "or run 'zelvorsound-cli demo')\n";
  for (const TSlotProblem& p : summary.Missing)
    std::cerr << cli::ErrorPrefix() << "warning: slot " << p.Slot << ": " << PrintableText(p.Path)
              << " not found\n";
  for (const TSlotProblem& p : summary.Rejected)
    std::cerr << cli::ErrorPrefix() << "slot " << p.Slot << ": 'zelvorsound-cli import "
              << PrintableText(cli::TypedPath(p.Path)) << " --slot " << p.Slot
              << "' takes any sound file\n";
  std::cerr << cli::ErrorPrefix() << Count(summary.Packed, "sound") << (dry ? " would be" : "")
            << " packed";
  if (!summary.Rejected.empty())
    std::cerr << ", " << Count(summary.Rejected.size(), "source") << " rejected ("
              << Joined(summary.Rejected) << ")";
  for (const auto& [reason, as] : {std::pair{kOutsideFolder, " refused as outside the folder"},
                                   std::pair{kInHistory, " in \"History\" refused"}}) {
    std::vector<TSlotProblem> refused;
    for (const TSlotProblem& p : summary.Refused)
      if (p.Reason == reason) refused.push_back(p);
    if (!refused.empty())
      std::cerr << ", " << Count(refused.size(), "source") << as << " (" << Joined(refused) << ")";
  }
  if (!summary.Missing.empty())
    std::cerr << ", " << Count(summary.Missing.size(), "source") << " not found ("
              << Joined(summary.Missing) << ")";
  std::cerr << ", " << Count(summary.Empty.size(), "slot") << " left empty" << std::endl;
}

void BuildJson(const std::string& package, const TBuildSummary& summary, bool dry) {
  cli::TJsonWriter json(std::cout);
  json.Object().Field("package", package).Field("dry_run", dry).Field("packed", summary.Packed);
  json.List("empty", summary.Empty);
  json.Array("rejected");
  for (const TSlotProblem& p : summary.Rejected)
    json.Object().Field("slot", p.Slot).Field("source", p.Source).Field("reason", p.Reason).End();
  json.End().Array("missing");
  for (const TSlotProblem& p : summary.Missing)
    json.Object().Field("slot", p.Slot).Field("source", p.Source).Field("path", p.Path).End();
  json.End().Array("refused");
  for (const TSlotProblem& p : summary.Refused)
    json.Object().Field("slot", p.Slot).Field("value", p.Source).Field("reason", p.Reason).End();
  json.End().End();
}

// What a build would do with each slot, found as the build finds it but without converting
// or writing anything: a source's header is read to tell whether the conversion would take
// it. Said on stdout one line a slot that names a source.
TBuildSummary DryBuild(const std::string& folder, const std::vector<TSlotConfig>& config,
                       bool quiet) {
  TBuildSummary s;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const TSlotConfig& c = config[slot];
    const std::string path = folder + c.Source;
    std::string line;
    bool packed = false;
    if (IsNoFile(c.Source)) {
    } else if (!FileExists(path)) {
      s.Missing.push_back({slot, c.Source, path, "not found"});
      line = "not found";
    } else if (const char* refusal = SourceRefusal(folder, c.Source)) {
      s.Refused.push_back({slot, c.SourceAsWritten, path, refusal});
      line = std::string("refused: ") + refusal;
    } else {
      std::string problem;
      try {
        TByteFile in(path);
        in.Reset();
        TWavInfo info;
        problem = CheckWavHeader(in, info);
      } catch (const EInOutError& e) {
        problem = e.Message();
      }
      const std::string vox = ChangeFileExt(c.Source, ".vox");
      packed = problem.empty() || FileExists(folder + vox);
      if (!problem.empty()) {
        s.Rejected.push_back({slot, c.Source, path, InvalidWavMessage(path, problem)});
        line = "would be rejected (" + problem + ")" +
               (packed ? "; the older " + vox + " would be packed" : "");
      } else {
        line = "would be converted into " + vox + " and packed";
      }
      if (!IsNoFile(c.Destination) && IsPlainName(c.Destination))
        line += "; a copy would go to \"WAV Export/" + c.Destination + ".wav\"";
    }
    if (packed)
      ++s.Packed;
    else
      s.Empty.push_back(slot);
    if (!line.empty() && !quiet)
      std::cout << "slot " << slot << ": " << PrintableText(c.Source) << " " << PrintableText(line)
                << "\n";
  }
  if (!quiet)
    std::cout << "would write " << PrintableText(folder) << "Sounds.zvd with "
              << Count(s.Packed, "sound") << "; nothing was written\n";
  return s;
}

int RunBuild(const cli::Args& a) {
  if (!a.Positional.empty())
    return cli::UsageError("takes no file names: it builds from \"ZelvorSound.ini\"");
  if (a.Has("quiet") && a.Has("verbose")) return cli::UsageError("-q and -v: give one");
  TCoder coder;
  if (const int rc = cli::ChooseCoder(a, coder); rc != cli::kOk) return rc;
  const bool json = a.Has("json"), dry = a.Has("dry-run");
  // The configuration is read once, for the build and for what is said about it.
  const TIniFile ini(a.Folder + "ZelvorSound.ini");
  const std::vector<TSlotConfig> config = ReadBuildConfig(ini);
  const std::string package = a.Folder + "Sounds.zvd";
  TBuildSummary summary;
  summary.ConfigFound = ini.Exists();
  if (dry) {
    const TBuildSummary predicted = DryBuild(a.Folder, config, json || a.Has("quiet"));
    summary.Packed = predicted.Packed;
    summary.Empty = predicted.Empty;
    summary.Rejected = predicted.Rejected;
    summary.Missing = predicted.Missing;
    summary.Refused = predicted.Refused;
  } else {
    // The window makes the folder of the copies when it starts; without it every copy the
    // configuration asks for would be skipped.
    CreateDirectory(a.Folder + "WAV Export");
    using TLines = TBuildShell::TLines;
    TBuildShell shell(json || a.Has("quiet") ? TLines::None
                      : a.Has("verbose")     ? TLines::All
                                             : TLines::Named,
                      config);
    std::string subject = package;
    const int rc = cli::Guarded(subject, [&] {
      TAppContext ctx{a.Folder, "", coder};
      // The sound list's rows: the configured names, "Sound n" where none is given.
      auto row = [&](int i) { return SlotName(ini, i); };
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
  }
  ReportBuild(a.Folder, summary, dry);
  if (json) BuildJson(package, summary, dry);
  return summary.Rejected.empty() && summary.Refused.empty() ? cli::kOk : cli::kRejected;
}

int RunDecode(const cli::Args& a) {
  if (a.Positional.size() != 1) return cli::UsageError("needs exactly one \".vox\" FILE");
  if (a.Has("output") && a.Get("output").empty())
    return cli::UsageError("--output needs a file name");
  std::string subject = a.Positional[0];
  const std::string voxPath = cli::ShellPath(subject);
  const std::string out =
      a.Has("output") ? cli::ShellPath(a.Get("output")) : cli::InFolder(a, "testvox.wav");
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
    subject = a.Get("output", out);
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

// The WAV file an extract writes; none when the command line does not name one.
std::string ExtractOutput(const cli::Args& a) {
  return a.Positional.size() == 3 ? cli::ShellPath(a.Positional[2]) : std::string();
}

int RunExtract(const cli::Args& a) {
  if (a.Positional.size() != 3)
    return cli::UsageError("needs a PACKAGE, a SLOT from 0 to 127 and the OUT.wav to write");
  int slot = 0;
  if (const std::string wrong = cli::ReadSlot(a.Positional[1], "SLOT", slot); !wrong.empty())
    return cli::UsageError(wrong);
  std::string subject = a.Positional[0];
  const std::string packagePath = cli::ShellPath(subject);
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
    std::cout << "wrote " << PrintableText(out) << " (" << rec->Samples() << " samples, "
              << cli::SecondsText(static_cast<double>(rec->Samples()) / kTestWavRate) << ")\n";
    return int{cli::kOk};
  });
}

// A package named on the command line, else "Sounds.zvd" in the folder.
std::string PackageOf(const cli::Args& a) {
  return a.Positional.empty() ? cli::InFolder(a, "Sounds.zvd") : cli::ShellPath(a.Positional[0]);
}

int RunList(const cli::Args& a) {
  if (a.Positional.size() > 1) return cli::UsageError("takes one PACKAGE at most");
  const std::string path = PackageOf(a);
  const bool json = a.Has("json");
  return cli::Guarded(a.Positional.empty() ? path : a.Positional[0], [&] {
    TPackageReader pkg(path);
    pkg.Open();
    // Read whole before anything is printed, so a damaged package prints no half a list.
    std::vector<std::pair<int, TSoundRecord>> records;
    int64_t codeBytes = 0;
    for (int slot = 0; slot < kSlotCount; ++slot)
      if (std::optional<TSoundRecord> rec = pkg.Record(slot)) {
        records.emplace_back(slot, *rec);
        codeBytes += rec->CodeBytes;
      }
    pkg.Close();
    const auto seconds = [](int64_t samples) {
      return static_cast<double>(samples) / kTestWavRate;
    };
    if (json) {
      cli::TJsonWriter out(std::cout);
      out.Object().Field("package", path).Array("slots");
      for (auto& [slot, rec] : records)
        out.Object()
            .Field("slot", slot)
            .Field("offset", int64_t{rec.Offset})
            .Field("code_bytes", int64_t{rec.CodeBytes})
            .Field("samples", rec.Samples())
            .Field("seconds", seconds(rec.Samples()))
            .End();
      out.End().Object("total");
      out.Field("sounds", static_cast<int64_t>(records.size()))
          .Field("code_bytes", codeBytes)
          .Field("samples", 2 * codeBytes)
          .Field("seconds", seconds(2 * codeBytes));
      out.End().End();
      return int{cli::kOk};
    }
    std::cout << "slot      offset  code bytes     samples   seconds\n";
    for (auto& [slot, rec] : records)
      std::cout << Format("%4d  %10u  %10d  %10lld  %8.3f", slot, rec.Offset, rec.CodeBytes,
                          static_cast<long long>(rec.Samples()), seconds(rec.Samples()))
                << "\n";
    std::cout << Format("total: %d sounds, %lld code bytes, %lld samples, %.3f seconds",
                        static_cast<int>(records.size()), static_cast<long long>(codeBytes),
                        static_cast<long long>(2 * codeBytes), seconds(2 * codeBytes))
              << "\n";
    return int{cli::kOk};
  });
}

cli::Register buildCmd{cli::Command{
    "build",
    "build",
    "build \"Sounds.zvd\" from the sources \"ZelvorSound.ini\" names, and their \".vox\" files\n"
    "Does what the window's \"Create Zelvor sound file\" does. On stdout: the status line of\n"
    "each slot that names a source (-v: every line of the window's status window, -q: none),\n"
    "then the final message. A rejected source is named on stderr with the way in for it\n"
    "('zelvorsound-cli import FILE --slot N' takes any sound file); its slot stays empty, or\n"
    "keeps an older \".vox\" beside the source. A source that lies outside the folder (\"..\",\n"
    "a link to elsewhere) is refused unread and its slot stays empty. A summary on stderr\n"
    "ends the build: named sources not found (the path looked for), then sounds packed,\n"
    "sources rejected, refused and not found, slots left empty. Copies that the\n"
    "configuration asks for go into \"WAV Export\", which is made when missing. --dry-run\n"
    "reads each source's header and says what would be converted, rejected and packed,\n"
    "writing nothing. Exit 1 when a source was (or would be) rejected or refused (the\n"
    "package is still written), 2 on a file error, which leaves any earlier \"Sounds.zvd\"\n"
    "as it was.\n"
    "\n"
    "--json prints, instead of the status lines and the final message: {\"package\": path,\n"
    "\"dry_run\": true|false, \"packed\": count, \"empty\": [slot numbers], \"rejected\":\n"
    "[{\"slot\", \"source\", \"reason\"}], \"missing\": [{\"slot\", \"source\", \"path\"}],\n"
    "\"refused\": [{\"slot\", \"value\", \"reason\"}]} (sources as the INI names them; path:\n"
    "where the source was looked for); nothing on a file error.",
    {{"--quiet", "", "leave out the status lines and the final message", 'q', "lines"},
     {"--verbose", "", "every status line, also of the slots that name no source", 'v', "lines"},
     cli::CoderOption(),
     cli::JsonOption(),
     cli::DryRunOption()},
    RunBuild}};

cli::Register decodeCmd{cli::Command{
    "decode",
    "decode FILE.vox",
    "decode FILE.vox into \"testvox.wav\" in the folder, or into the -o FILE\n"
    "Does what the window's Button1X does: the sound comes out as 8-bit mono at 8000 Hz.\n"
    "A FILE.vox of more code bytes than a WAV file's sizes can count (over 2 GB) is refused\n"
    "with exit 1, and nothing is written.",
    {{"--output", "FILE",
      "write the decoded sound into FILE (default \"testvox.wav\" in the folder)", 'o'}},
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
    "list [PACKAGE]",
    "list the slots of a package that hold a sound; writes nothing\n"
    "PACKAGE defaults to \"Sounds.zvd\" in the folder. For each slot: its offset, code\n"
    "bytes, samples and seconds at 8 kHz, then a total line. A damaged package ends with\n"
    "exit 2 and prints no list.\n"
    "\n"
    "--json prints {\"package\": path, \"slots\": [{\"slot\", \"offset\", \"code_bytes\",\n"
    "\"samples\", \"seconds\"}], \"total\": {\"sounds\", \"code_bytes\", \"samples\",\n"
    "\"seconds\"}}.",
    {cli::JsonOption()},
    RunList,
    cli::FolderUse::ReadsOnly}};

}  // namespace
