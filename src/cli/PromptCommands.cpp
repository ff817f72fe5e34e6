#include "cli/PromptCommands.h"

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <iterator>

#include "import/FileError.h"
#include "import/PromptWriter.h"
#include "package/Builder.h"
#include "package/Package.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

namespace cli {

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

}  // namespace

bool ReadPromptOptions(const Args& a, TImportOptions& o, TCoder& coder) {
  o.Name = a.Get("name");
  if (a.Has("name") && o.Name.empty()) {
    UsageError("--name needs a name");
    return false;
  }
  o.Force = a.Has("force");
  o.DryRun = a.Has("dry-run");
  // One way of levelling: by loudness (the default), by peak, or none.
  const int ways = a.Has("loudness") + a.Has("peak") + a.Has("no-normalize");
  if (ways > 1) {
    UsageError("--loudness, --peak and --no-normalize each choose the levelling: give one");
    return false;
  }
  if (a.Has("peak")) {
    o.Levelling = TLevelling::Peak;
    if (!ParseLevel(a.Get("peak"), kLowestPeakDb, 0, o.PeakDb)) {
      UsageError(Format("--peak needs a level from %g to 0 dB, not '%s'", kLowestPeakDb,
                        a.Get("peak").c_str()));
      return false;
    }
  } else if (a.Has("loudness")) {
    if (!ParseLevel(a.Get("loudness"), kLowestLoudnessLufs, kHighestLoudnessLufs, o.LoudnessLufs)) {
      UsageError(Format("--loudness needs a loudness from %g to %g LUFS, not '%s'",
                        kLowestLoudnessLufs, kHighestLoudnessLufs, a.Get("loudness").c_str()));
      return false;
    }
  } else if (a.Has("no-normalize")) {
    o.Levelling = TLevelling::None;
  }
  return ChooseCoder(a, coder) == kOk;
}

bool ReadSpeechOptions(const Args& a, TSpeechOptions& speech) {
  speech.Voice = a.Get("voice", speech.Voice);
  if (a.Has("speed") && !ParseInt(a.Get("speed"), speech.WordsPerMinute)) {
    UsageError("--speed needs words per minute, not '" + a.Get("speed") + "'");
    return false;
  }
  return true;
}

bool ReadSlotOption(const Args& a, int& slot, bool& next) {
  next = a.Get("slot") == "next";
  if (!a.Has("slot")) {
    UsageError("--slot needs a slot from 0 to " + std::to_string(kSlotCount - 1) + ", or next");
    return false;
  }
  if (next) return true;
  if (const std::string wrong = ReadSlot(a.Get("slot"), "--slot", slot); !wrong.empty()) {
    UsageError(wrong);
    return false;
  }
  return true;
}

std::vector<int> FreeSlots(const std::string& folder, size_t count) {
  const std::vector<TSlotConfig> config = ReadBuildConfig(folder + "ZelvorSound.ini");
  std::vector<int> free;
  for (int slot = 0; slot < kSlotCount && free.size() < count; ++slot)
    if (IsNoFile(config[slot].Source)) free.push_back(slot);
  return free;
}

std::vector<Option> PromptOptions(std::vector<Option> more, bool oneSlot) {
  std::vector<Option> options;
  if (oneSlot)
    options = {{"--slot", "N", "the slot (0 to 127) to fill; next: the first that names no source"},
               {"--name", "NAME", "the take's name (\"NAME.WAV\") and the slot's row"}};
  std::vector<Option> common = {
      {"--loudness", "LUFS",
       "level the sound to this loudness, -40 to -5 LUFS (default -16), its peaks held under "
       "-1 dBFS",
       0, "level"},
      {"--peak", "DB", "scale the sound so its peak sits at DB, -40 to 0 dB below full scale", 0,
       "level"},
      {"--no-normalize", "", "keep the sound's level as it is", 0, "level"},
      oneSlot ? Option{"--force", "", "take NAME even when its take belongs to another slot"}
              : Option{"--force", "",
                       "make every row again, also one whose take was made from its text or "
                       "source already; and take a name even when its take belongs to another "
                       "slot"},
      CoderOption(),
      DryRunOption()};
  options.insert(options.end(), common.begin(), common.end());
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

std::vector<Option> SpeechOptions() {
  return {{"--voice", "V", "the espeak-ng voice (default \"en\")"},
          {"--speed", "WPM", "words per minute, 80 to 450 (default 175)"}};
}

int MakePrompt(const std::function<TImportResult(TShell&)>& make, int slot, bool dry,
               const std::string& subject, TInterruptGuard& stop) {
  const bool inList = !subject.empty();
  try {
    ConsoleShell shell(subject);
    const TImportResult r = make(shell);
    switch (r.Status) {
      case TImportStatus::Done: {
        const std::string name = PrintableText(r.Name);
        if (dry)
          std::cout << Format(
                           "slot %d: would make \"%s\": %s.WAV and %s.vox, named for the "
                           "slot in \"ZelvorSound.ini\"",
                           slot, name.c_str(), name.c_str(), name.c_str())
                    << std::endl;
        else
          std::cout << Format(
                           "slot %d: \"%s\", %lld samples (%s) in %s.WAV and %s.vox", slot,
                           name.c_str(), static_cast<long long>(r.KeptSamples),
                           SecondsText(static_cast<double>(r.KeptSamples) / kTakeRate, 3).c_str(),
                           name.c_str(), name.c_str())
                    << std::endl;
        return kOk;
      }
      case TImportStatus::Rejected:
        return kRejected;
      case TImportStatus::NameTaken:
        if (!inList) return UsageError("--name gives another name; --force takes this one anyway");
        std::cerr << ErrorPrefix(subject)
                  << "a name column gives another name; --force takes this one anyway" << std::endl;
        return kRejected;
      case TImportStatus::Refused:
        return inList ? kRejected : kUsage;
    }
  } catch (const EPromptStopped&) {
    std::cerr << ErrorPrefix() << "interrupted; the folder is as it was" << std::endl;
    stop.EndAsAsked();
  } catch (const EImportFileError& e) {
    std::cerr << ErrorPrefix(inList ? subject : e.Path)
              << (inList ? PrintableText(e.Path) + ": " : "") << e.Message()
              << (e.ErrorCode == ioFileNotFound ? FolderHint(e.Path) : "") << std::endl;
    return kIOError;
  } catch (const Exception& e) {  // the INI, the speech library
    std::cerr << ErrorPrefix(subject) << e.Message() << std::endl;
    return kIOError;
  }
  return kUsage;
}

std::string ReadStdin() {
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

}  // namespace cli
