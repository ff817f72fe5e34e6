// zelvorsound-cli import / say: a prompt from any sound file, or from a line of text, into a
// slot, ready for the next build.
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "cli/Cli.h"
#include "codec/TakeFile.h"
#include "import/FileError.h"
#include "import/Import.h"
#include "import/PromptWriter.h"
#include "package/Package.h"
#include "rtl/FileSystem.h"
#include "rtl/SysUtils.h"

namespace {

bool ParseInt(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && p == end && !text.empty();
}

// The options both commands share, checked; false (the usage refused on stderr) for bad usage.
bool ReadCommon(const cli::Args& a, int& slot, TImportOptions& o) {
  if (!a.Has("slot") || !ParseInt(a.Get("slot"), slot) || slot < 0 || slot >= kSlotCount) {
    cli::UsageError("--slot needs a slot from 0 to " + std::to_string(kSlotCount - 1));
    return false;
  }
  o.Name = a.Get("name");
  if (a.Has("name") && o.Name.empty()) {
    cli::UsageError("--name needs a name");
    return false;
  }
  o.Normalize = !a.Has("no-normalize");
  o.Force = a.Has("force");
  if (a.Has("peak")) {
    const std::string text = a.Get("peak");
    char* end = nullptr;
    o.PeakDb = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(o.PeakDb >= kLowestPeakDb && o.PeakDb <= 0)) {
      cli::UsageError(
          Format("--peak needs a level from %g to 0 dB, not '%s'", kLowestPeakDb, text.c_str()));
      return false;
    }
  }
  return true;
}

// Runs one import or speech; the exit code it ends with and what it says. An import that
// SIGINT, SIGTERM or SIGHUP stopped has left the folder as it was; the program then ends by
// that signal.
int Report(const std::function<TImportResult()>& run, int slot, cli::TInterruptGuard& stop) {
  try {
    TImportResult r = run();
    switch (r.Status) {
      case TImportStatus::Done: {
        const std::string name = PrintableText(r.Name);
        std::cout << Format("slot %d: \"%s\", %lld samples (%.3f s) in %s.WAV and %s.vox", slot,
                            name.c_str(), static_cast<long long>(r.KeptSamples),
                            static_cast<double>(r.KeptSamples) / kTakeRate, name.c_str(),
                            name.c_str())
                  << std::endl;
        return cli::kOk;
      }
      case TImportStatus::Rejected:
        return cli::kRejected;
      case TImportStatus::NameTaken:
        return cli::UsageError("--name gives another name; --force takes this one anyway");
      case TImportStatus::Refused:
        return cli::kUsage;
    }
  } catch (const EPromptStopped&) {
    std::cerr << cli::ErrorPrefix() << "interrupted; the folder is as it was" << std::endl;
    stop.EndAsAsked();
  } catch (const EImportFileError& e) {
    std::cerr << cli::ErrorPrefix(e.Path) << e.Message() << std::endl;
    return cli::kIOError;
  } catch (const Exception& e) {  // the INI, the speech library
    std::cerr << cli::ErrorPrefix() << e.Message() << std::endl;
    return cli::kIOError;
  }
  return cli::kUsage;
}

// A source must be a sound file: a FIFO or a device would hold the folder while nothing
// comes, so anything but a regular file is refused before the folder is locked.
int CheckSources(const cli::Args& a) {
  for (const std::string& given : a.Positional) {
    const std::string source = std::filesystem::absolute(given).string();
    if (const std::string kind = NonRegularKind(source); !kind.empty()) {
      std::cerr << cli::ErrorPrefix(source) << "it is " << kind
                << ", not a sound file; nothing was imported" << std::endl;
      return cli::kRejected;
    }
  }
  return cli::kOk;
}

int RunImport(const cli::Args& a) {
  int slot = 0;
  TImportOptions o;
  if (!ReadCommon(a, slot, o)) return cli::kUsage;
  cli::TInterruptGuard stop(/*endings=*/true);
  o.Stop = [] { return cli::TInterruptGuard::Requested(); };
  const size_t count = a.Positional.size();
  if (count == 0) return cli::UsageError("needs at least one sound file");
  if (count > 1 && a.Has("name"))
    return cli::UsageError("--name names one slot; leave it out for several files");
  if (slot + count > static_cast<size_t>(kSlotCount))
    return cli::UsageError(
        Format("%zu files from slot %d go past slot %d", count, slot, kSlotCount - 1));
  for (size_t i = 0; i < count; ++i) {
    const int n = slot + static_cast<int>(i);
    // A source comes from anywhere: a relative one is where the shell stands, not in the
    // folder, so that "import song.mp3 --folder ~/ZelvorSound" finds ./song.mp3.
    const std::string source = std::filesystem::absolute(a.Positional[i]).string();
    int rc = Report(
        [&] {
          TAppContext ctx{a.Folder, ""};
          cli::ConsoleShell shell;
          return ImportSoundFile(ctx, shell, n, source, o);
        },
        n, stop);
    // A stop asked for after an import had been put in place ends the run after it.
    if (rc == cli::kOk && cli::TInterruptGuard::Requested() && i + 1 < count) stop.EndAsAsked();
    if (rc == cli::kOk) continue;
    if (i > 0)
      std::cerr << cli::ErrorPrefix() << "stopped at " << PrintableText(a.Positional[i]) << "; "
                << (i == 1 ? Format("slot %d was", slot)
                           : Format("slots %d to %d were", slot, n - 1))
                << " filled\n";
    return rc;
  }
  return cli::kOk;
}

int RunSay(const cli::Args& a) {
  int slot = 0;
  TImportOptions o;
  if (!ReadCommon(a, slot, o)) return cli::kUsage;
  std::string text;
  for (const std::string& word : a.Positional) text += (text.empty() ? "" : " ") + word;
  if (text.empty()) return cli::UsageError("needs a text");
  TSpeechOptions speech;
  speech.Voice = a.Get("voice", speech.Voice);
  cli::TInterruptGuard stop(/*endings=*/true);
  o.Stop = [] { return cli::TInterruptGuard::Requested(); };
  if (a.Has("speed") && !ParseInt(a.Get("speed"), speech.WordsPerMinute))
    return cli::UsageError("--speed needs words per minute, not '" + a.Get("speed") + "'");
  return Report(
      [&] {
        TAppContext ctx{a.Folder, ""};
        cli::ConsoleShell shell;
        return SpeakText(ctx, shell, slot, text, o, speech);
      },
      slot, stop);
}

// The options of both commands, and those of one of them.
std::vector<cli::Option> PromptOptions(std::vector<cli::Option> more = {}) {
  std::vector<cli::Option> options = {
      {"--slot", "N", "the slot (0 to 127) to fill"},
      {"--name", "NAME", "the take's name (\"NAME.WAV\") and the slot's row"},
      {"--peak", "DB", "the peak level, -40 to 0 dB below full scale (default -1)"},
      {"--no-normalize", "", "keep the sound's level as it is"},
      {"--force", "", "take NAME even when its take belongs to another slot"}};
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

cli::Register importCmd{[] {
  cli::Command c{
      "import", "import SOURCE... --slot N [--name NAME] [--peak DB] [--no-normalize] [--force]",
      "make any sound file the take of slot N: NAME.WAV, NAME.vox and the slot in the INI\n"
      "Any file libsndfile reads (WAV of every layout, FLAC, Ogg Vorbis, Opus, MP3, AIFF, ...)\n"
      "becomes the take of slot N as if it had just been recorded: mixed to mono, resampled\n"
      "to 8000 Hz, its peak brought to -1 dB below full scale (--peak DB sets another level,\n"
      "--no-normalize keeps the level), written as \"NAME.WAV\" (8-bit mono), then trimmed and\n"
      "coded into \"NAME.vox\". \"ZelvorSound.ini\" then names it for the slot (SoundFiles and\n"
      "SourceFileNames), so the next build packs it. NAME defaults to the file's base name.\n"
      "Several SOURCEs fill slot N and the ones after it. A relative SOURCE is taken from the\n"
      "current directory. A NAME whose take belongs to another slot, or a file no slot names,\n"
      "is refused unless --force is given. Exit 1 when a source cannot be decoded (libsndfile's\n"
      "reason on stderr) or is no regular file (a FIFO, a device, a folder: refused at once),\n"
      "2 on a file error; in both cases nothing is written. Ctrl-C, SIGTERM or SIGHUP stop it\n"
      "with the folder as it was.",
      PromptOptions(), RunImport};
  c.Check = CheckSources;
  return c;
}()};

cli::Register sayCmd{cli::Command{
    "say", "say TEXT --slot N [--name NAME] [--voice V] [--speed WPM] [--peak DB] [--force]",
    "speak TEXT into the take of slot N: NAME.WAV, NAME.vox and the slot in the INI\n"
    "TEXT is spoken with espeak-ng (voice V, default \"en\"; WPM words per minute, 80 to 450,\n"
    "default 175) and makes the speech the take of slot N the way import does. NAME defaults\n"
    "to the text's letters, digits and blanks. --peak, --no-normalize and --force work as\n"
    "for import. A prompt set can be drafted from text and its slots replaced by recordings\n"
    "one by one.",
    PromptOptions({{"--voice", "V", "the espeak-ng voice (default \"en\")"},
                   {"--speed", "WPM", "words per minute, 80 to 450 (default 175)"}}),
    RunSay}};

}  // namespace
