// zelvorsound-cli import / say: a prompt from any sound file, or from a line of text, into a
// slot, ready for the next build.
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>

#include "cli/Cli.h"
#include "codec/TakeFile.h"
#include "import/FileError.h"
#include "import/Import.h"
#include "package/Package.h"
#include "rtl/SysUtils.h"

namespace {

const char* const kMe = "zelvorsound-cli: ";

bool ParseInt(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && p == end && !text.empty();
}

// The options both commands share, checked; false (with the reason on stderr) for bad usage.
bool ReadCommon(const cli::Args& a, const std::set<std::string>& allowed, int& slot,
                TImportOptions& o) {
  for (auto& [name, value] : a.Options)
    if (!allowed.count(name)) {
      std::cerr << kMe << "unknown option --" << name << "\n";
      return false;
    }
  if (!a.Has("slot") || !ParseInt(a.Get("slot"), slot) || slot < 0 || slot >= kSlotCount) {
    std::cerr << kMe << "--slot needs a slot from 0 to " << kSlotCount - 1 << "\n";
    return false;
  }
  o.Name = a.Get("name");
  if (a.Has("name") && o.Name.empty()) {
    std::cerr << kMe << "--name needs a name\n";
    return false;
  }
  o.Normalize = !a.Has("no-normalize");
  o.Force = a.Has("force");
  if (a.Has("peak")) {
    const std::string text = a.Get("peak");
    char* end = nullptr;
    o.PeakDb = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(o.PeakDb >= kLowestPeakDb && o.PeakDb <= 0)) {
      std::cerr << kMe << "--peak needs a level from " << kLowestPeakDb << " to 0 dB, not '" << text
                << "'\n";
      return false;
    }
  }
  return true;
}

// Runs one import or speech; the exit code it ends with and what it says.
int Report(const std::function<TImportResult()>& run, int slot) {
  try {
    TImportResult r = run();
    switch (r.Status) {
      case TImportStatus::Done:
        std::cout << Format("slot %d: \"%s\", %lld samples (%.3f s) in %s.WAV and %s.vox", slot,
                            r.Name.c_str(), static_cast<long long>(r.KeptSamples),
                            static_cast<double>(r.KeptSamples) / kTakeRate, r.Name.c_str(),
                            r.Name.c_str())
                  << std::endl;
        return cli::kOk;
      case TImportStatus::Rejected:
        return cli::kRejected;
      case TImportStatus::NameTaken:
        std::cerr << kMe << "--name gives another name; --force takes this one anyway\n";
        return cli::kUsage;
      case TImportStatus::Refused:
        return cli::kUsage;
    }
  } catch (const EImportFileError& e) {
    std::cerr << e.Path << ": " << e.Message() << std::endl;
    return cli::kIOError;
  } catch (const Exception& e) {  // the INI, the speech library
    std::cerr << e.Message() << std::endl;
    return cli::kIOError;
  }
  return cli::kUsage;
}

int RunImport(const cli::Args& a) {
  int slot = 0;
  TImportOptions o;
  if (!ReadCommon(a, {"slot", "name", "peak", "no-normalize", "force"}, slot, o))
    return cli::kUsage;
  const size_t count = a.Positional.size();
  if (count == 0) {
    std::cerr << kMe << "import needs at least one sound file\n";
    return cli::kUsage;
  }
  if (count > 1 && a.Has("name")) {
    std::cerr << kMe << "--name names one slot; leave it out for several files\n";
    return cli::kUsage;
  }
  if (slot + count > static_cast<size_t>(kSlotCount)) {
    std::cerr << kMe << count << " files from slot " << slot << " go past slot " << kSlotCount - 1
              << "\n";
    return cli::kUsage;
  }
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
        n);
    if (rc == cli::kOk) continue;
    if (i > 0)
      std::cerr << kMe << "stopped at " << a.Positional[i] << "; "
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
  if (!ReadCommon(a, {"slot", "name", "peak", "no-normalize", "force", "voice", "speed"}, slot, o))
    return cli::kUsage;
  std::string text;
  for (const std::string& word : a.Positional) text += (text.empty() ? "" : " ") + word;
  if (text.empty()) {
    std::cerr << kMe << "say needs a text\n";
    return cli::kUsage;
  }
  TSpeechOptions speech;
  speech.Voice = a.Get("voice", speech.Voice);
  if (a.Has("speed") && !ParseInt(a.Get("speed"), speech.WordsPerMinute)) {
    std::cerr << kMe << "--speed needs words per minute, not '" << a.Get("speed") << "'\n";
    return cli::kUsage;
  }
  return Report(
      [&] {
        TAppContext ctx{a.Folder, ""};
        cli::ConsoleShell shell;
        return SpeakText(ctx, shell, slot, text, o, speech);
      },
      slot);
}

cli::Register importCmd{cli::Command{
    "import",
    "import SOURCE... --slot N [--name NAME] [--peak DB] [--no-normalize] [--force]",
    "Makes any sound file libsndfile reads (WAV of every layout, FLAC, Ogg Vorbis, Opus, MP3,\n"
    "AIFF, ...) the take of slot N, as if it had just been recorded: mixed to mono, resampled\n"
    "to 8000 Hz, its peak brought to -1 dB below full scale (--peak DB sets another level,\n"
    "--no-normalize keeps the level), written as \"NAME.WAV\" (8-bit mono), then trimmed and\n"
    "coded into \"NAME.vox\". \"ZelvorSound.ini\" then names it for the slot (SoundFiles and\n"
    "SourceFileNames), so the next build packs it. NAME defaults to the file's base name.\n"
    "Several SOURCEs fill slot N and the ones after it. A relative SOURCE is taken from the\n"
    "current directory. A NAME whose take belongs to another slot, or a file no slot names, is "
    "refused\n"
    "unless --force is given. Exit 1 when a source cannot be decoded (libsndfile's reason on\n"
    "stderr), 2 on a file error; in both cases nothing is written.",
    {"--slot", "--name", "--peak"},
    RunImport}};

cli::Register sayCmd{cli::Command{
    "say",
    "say TEXT --slot N [--name NAME] [--voice V] [--speed WPM] [--peak DB] [--force]",
    "Speaks TEXT with espeak-ng (voice V, default \"en\"; WPM words per minute, 80 to 450,\n"
    "default 175) and makes the speech the take of slot N the way import does. NAME defaults\n"
    "to the text's letters, digits and blanks. --peak, --no-normalize and --force work as\n"
    "for import. A prompt set can be drafted from text and its slots replaced by recordings\n"
    "one by one.",
    {"--slot", "--name", "--peak", "--voice", "--speed"},
    RunSay}};

}  // namespace
