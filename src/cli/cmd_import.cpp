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

// A level in a range, from an option's text.
bool ParseLevel(const std::string& text, double lowest, double highest, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && value >= lowest && value <= highest;
}

// The options both commands share, checked; false (the usage refused on stderr) for bad usage.
bool ReadCommon(const cli::Args& a, int& slot, TImportOptions& o, TCoder& coder) {
  if (!a.Has("slot") || !ParseInt(a.Get("slot"), slot) || slot < 0 || slot >= kSlotCount) {
    cli::UsageError("--slot needs a slot from 0 to " + std::to_string(kSlotCount - 1));
    return false;
  }
  o.Name = a.Get("name");
  if (a.Has("name") && o.Name.empty()) {
    cli::UsageError("--name needs a name");
    return false;
  }
  o.Force = a.Has("force");
  // One way of levelling: by loudness (the default), by peak, or none.
  const int ways = a.Has("loudness") + a.Has("peak") + a.Has("no-normalize");
  if (ways > 1) {
    cli::UsageError("--loudness, --peak and --no-normalize each choose the levelling: give one");
    return false;
  }
  if (a.Has("peak")) {
    o.Levelling = TLevelling::Peak;
    if (!ParseLevel(a.Get("peak"), kLowestPeakDb, 0, o.PeakDb)) {
      cli::UsageError(Format("--peak needs a level from %g to 0 dB, not '%s'", kLowestPeakDb,
                             a.Get("peak").c_str()));
      return false;
    }
  } else if (a.Has("loudness")) {
    if (!ParseLevel(a.Get("loudness"), kLowestLoudnessLufs, kHighestLoudnessLufs, o.LoudnessLufs)) {
      cli::UsageError(Format("--loudness needs a loudness from %g to %g LUFS, not '%s'",
                             kLowestLoudnessLufs, kHighestLoudnessLufs, a.Get("loudness").c_str()));
      return false;
    }
  } else if (a.Has("no-normalize")) {
    o.Levelling = TLevelling::None;
  }
  return cli::ChooseCoder(a, coder) == cli::kOk;
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
    const std::string source = AbsolutePath(given);
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
  TCoder coder;
  if (!ReadCommon(a, slot, o, coder)) return cli::kUsage;
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
    const std::string source = AbsolutePath(a.Positional[i]);
    int rc = Report(
        [&] {
          TAppContext ctx{a.Folder, "", coder};
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
  TCoder coder;
  if (!ReadCommon(a, slot, o, coder)) return cli::kUsage;
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
        TAppContext ctx{a.Folder, "", coder};
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
      {"--loudness", "LUFS",
       "level the sound to this loudness, -40 to -5 LUFS (default -16), its peaks held under "
       "-1 dBFS"},
      {"--peak", "DB", "scale the sound so its peak sits at DB, -40 to 0 dB below full scale"},
      {"--no-normalize", "", "keep the sound's level as it is"},
      {"--force", "", "take NAME even when its take belongs to another slot"},
      cli::CoderOption()};
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

cli::Register importCmd{[] {
  cli::Command c{
      "import",
      "import SOURCE... --slot N [--name NAME] [--loudness LUFS | --peak DB | --no-normalize] "
      "[--force] [--coder NAME]",
      "make any sound file the take of slot N: NAME.WAV, NAME.vox and the slot in the INI\n"
      "Any file libsndfile reads (WAV of every layout, FLAC, Ogg Vorbis, Opus, MP3, AIFF, ...)\n"
      "becomes the take of slot N as if it had just been recorded: mixed to mono, resampled\n"
      "to 8000 Hz, levelled to a loudness of -16 LUFS with its peaks held under -1 dBFS\n"
      "(--loudness LUFS sets another loudness, --peak DB scales the peak to DB instead,\n"
      "--no-normalize keeps the level; one of the three at most), written as \"NAME.WAV\"\n"
      "(8-bit mono), then trimmed and coded into \"NAME.vox\". \"ZelvorSound.ini\" then names it\n"
      "for the slot (SoundFiles and SourceFileNames), so the next build packs it. NAME defaults\n"
      "to the file's base name. Several SOURCEs fill slot N and the ones after it. A relative\n"
      "SOURCE is taken from the current directory. A NAME whose take belongs to another slot,\n"
      "or a file no slot names, is refused unless --force is given. Exit 1 when a source cannot\n"
      "be decoded (libsndfile's reason on stderr), is no regular file (a FIFO, a device, a\n"
      "folder: refused at once), or when the trimming would keep less than half of its sound\n"
      "(how much, and why, on stderr); 2 on a file error; in all these cases nothing is\n"
      "written. Ctrl-C, SIGTERM or SIGHUP stop it with the folder as it was.",
      PromptOptions(), RunImport};
  c.Check = CheckSources;
  return c;
}()};

cli::Register sayCmd{cli::Command{
    "say",
    "say TEXT --slot N [--name NAME] [--voice V] [--speed WPM] [--loudness LUFS | --peak DB | "
    "--no-normalize] [--force] [--coder NAME]",
    "speak TEXT into the take of slot N: NAME.WAV, NAME.vox and the slot in the INI\n"
    "TEXT is spoken with espeak-ng (voice V, default \"en\"; WPM words per minute, 80 to 450,\n"
    "default 175) and makes the speech the take of slot N the way import does. NAME defaults\n"
    "to the text's letters, digits and blanks. --loudness, --peak, --no-normalize, --force\n"
    "and --coder work as for import. A prompt set can be drafted from text and its slots\n"
    "replaced by recordings one by one.",
    PromptOptions({{"--voice", "V", "the espeak-ng voice (default \"en\")"},
                   {"--speed", "WPM", "words per minute, 80 to 450 (default 175)"}}),
    RunSay}};

}  // namespace
