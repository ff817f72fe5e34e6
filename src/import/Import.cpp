#include "import/Import.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>

#include "codec/Convert.h"
#include "codec/TakeFile.h"
#include "import/FileError.h"
#include "import/PromptWriter.h"
#include "import/SoundReader.h"
#include "package/Builder.h"
#include "package/Package.h"
#include "package/TakeOrigin.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

namespace {

// Below this peak (-60 dB) a sound counts as silence: normalising it would only make its
// noise loud.
constexpr float kSilencePeak = 0.001f;

std::string SlotKey(int slot) { return "Name" + std::to_string(slot); }
std::string TakeName(const std::string& name) { return name + ".WAV"; }

// True when the slot's row or its source is the take of this name: the window records a
// row's take into "<row>.WAV", the build reads the configured source.
bool SlotHasTake(const TIniFile& ini, int slot, const std::string& name) {
  const std::string key = SlotKey(slot);
  const std::string row = ini.ReadString("SoundFiles", key, "Sound " + std::to_string(slot + 1));
  const std::string source = NormaliseConfiguredName(ini.ReadString("SourceFileNames", key, ""));
  return SameText(row, name) || SameText(source, TakeName(name));
}

bool IsStorableName(const std::string& name) {
  if (!IsPlainName(name)) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) return false;  // a line break would split the INI line
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Fails with "File access denied" for a file that must not be replaced or rewritten.
void ProbeWritable(const std::string& path) {
  if (!FileExists(path)) return;
  ConcerningFile(path, [&] {
    TByteFile probe(path);
    probe.Reset();
    probe.Close();
  });
}

// What the user may change when the trimming would cut a prompt's speech away.
std::string LevellingHint(TLevelling levelling) {
  switch (levelling) {
    case TLevelling::None:
      return " (leave out --no-normalize to level it by loudness)";
    case TLevelling::Peak:
      return " (leave out --peak to level it by loudness)";
    case TLevelling::Loudness:
      break;
  }
  return "";
}

// The gain that gives the limited stream the loudness target, searched from gain upwards:
// the loudness of the limited stream grows with the gain (the limiter holds only the
// peaks), so it is bracketed and then halved to within half a loudness unit.
float GainForLimitedLoudness(TPromptWriter& writer, float gain, double target) {
  constexpr double kWithin = 0.5, kFurthestDb = 60;
  const double from = 20.0 * std::log10(gain);
  auto below = [&](double db) {
    return writer.LimitedLoudness(static_cast<float>(std::pow(10.0, db / 20.0))) - target;
  };
  double lo = from, hi = from, step = 3;
  double f = below(from);
  while (f < -kWithin && hi - from < kFurthestDb) {
    lo = hi;
    hi = std::min(from + kFurthestDb, hi + step);
    step *= 2;
    f = below(hi);
  }
  if (f < 0) return static_cast<float>(std::pow(10.0, hi / 20.0));  // as loud as it may go
  for (int i = 0; i < 12 && std::fabs(f) > kWithin; ++i) {
    const double mid = (lo + hi) / 2;
    f = below(mid);
    (f < 0 ? lo : hi) = mid;
  }
  return static_cast<float>(std::pow(10.0, hi / 20.0));
}

// The prompt's stream into a writer whose scratch file lies in folder; nothing and a problem
// text when the content cannot be used.
using TProducer =
    std::function<std::unique_ptr<TPromptWriter>(const std::string& folder, std::string& problem)>;

// True when the name's take belongs to a slot other than slot, or is a file no slot names.
bool NameTakenElsewhere(const TIniFile& ini, int slot, const std::string& name,
                        const std::string& take) {
  for (int other = 0; other < kSlotCount; ++other)
    if (other != slot && SlotHasTake(ini, other, name)) return true;
  return FileExists(take) && !SlotHasTake(ini, slot, name);
}

// A default name that no other take has: the name itself, else "name (2)", "name (3)", ...
std::string FreeName(const TIniFile& ini, int slot, const std::string& name,
                     const std::string& folder) {
  std::string free = name;
  for (int n = 2;
       n <= kSlotCount + 1 && NameTakenElsewhere(ini, slot, free, folder + TakeName(free)); ++n)
    free = name + " (" + std::to_string(n) + ")";
  return free;
}

// What both ways in share: the checks, the take, its conversion and the INI. A rejection
// says `what` could not be done ("Cannot import \"…\"") and why. A default name (not one
// the user gave) steps aside for a take of another slot of that name.
TImportResult ImportPrompt(TAppContext& ctx, TShell& shell, int slot, const std::string& what,
                           const std::string& sourcePath, const TImportOptions& options,
                           bool defaultName, TTakeOrigin origin, const TProducer& produce) {
  TImportResult result;
  result.Name = options.Name;
  auto refuse = [&](const std::string& message, TImportStatus status) {
    shell.ShowMessage(message, msWarning);
    result.Status = status;
    return result;
  };
  if (slot < 0 || slot >= kSlotCount)
    return refuse(Format("There is no slot %d: the slots are 0 to %d", slot, kSlotCount - 1),
                  TImportStatus::Refused);
  if (options.Levelling == TLevelling::Peak &&
      !(options.PeakDb >= kLowestPeakDb && options.PeakDb <= 0))
    return refuse(
        Format("The peak level %g dB is not between %g and 0 dB", options.PeakDb, kLowestPeakDb),
        TImportStatus::Refused);
  if (options.Levelling == TLevelling::Loudness && !(options.LoudnessLufs >= kLowestLoudnessLufs &&
                                                     options.LoudnessLufs <= kHighestLoudnessLufs))
    return refuse(Format("The loudness %g LUFS is not between %g and %g LUFS", options.LoudnessLufs,
                         kLowestLoudnessLufs, kHighestLoudnessLufs),
                  TImportStatus::Refused);
  if (!IsStorableName(options.Name))
    return refuse("The name \"" + options.Name +
                      "\" cannot name a take: it must not be empty, hold \"/\", \"\\\" or a line "
                      "break, or be \".\" or \"..\"",
                  TImportStatus::Refused);

  const std::string folder = ctx.ExeFolder;
  TIniFile ini(folder + "ZelvorSound.ini");
  const std::string name = defaultName ? FreeName(ini, slot, options.Name, folder) : options.Name;
  result.Name = name;
  const std::string take = folder + TakeName(name);
  if (!options.Force) {
    if (!sourcePath.empty() && SameFile(sourcePath, take))
      return refuse("\"" + take + "\" is the source itself; importing would replace it",
                    TImportStatus::NameTaken);
    for (int other = 0; other < kSlotCount; ++other)
      if (other != slot && SlotHasTake(ini, other, name))
        return refuse(Format("The name \"%s\" belongs to slot %d already (its take \"%s\")",
                             name.c_str(), other, TakeName(name).c_str()),
                      TImportStatus::NameTaken);
    if (FileExists(take) && !SlotHasTake(ini, slot, name))
      return refuse("\"" + take + "\" is there already and no slot names it",
                    TImportStatus::NameTaken);
  }
  ProbeWritable(take);
  ProbeWritable(ini.FileName());
  if (options.DryRun) {
    result.Status = TImportStatus::Done;
    return result;
  }

  std::string problem;
  std::unique_ptr<TPromptWriter> writer;
  try {
    writer = ConcerningFile(take, [&] { return produce(folder, problem); });
  } catch (const EPromptTooLong& e) {
    problem = e.Message();
  }
  if (problem.empty() && !(writer->Peak() >= kSilencePeak))
    problem = writer->Samples() == 0 ? "it holds no sound" : "it holds only silence";
  if (!problem.empty()) return refuse(what + ": " + problem, TImportStatus::Rejected);

  // Everything the import makes is complete before any of it takes its name: a failure, a
  // stop, or a take whose trimming would cut its speech away leaves the folder as it was.
  float gain = 1.0f;
  if (options.Levelling == TLevelling::Loudness)
    gain = GainForLoudness(writer->Loudness(), options.LoudnessLufs);
  else if (options.Levelling == TLevelling::Peak)
    gain = GainForPeakDb(writer->Peak(), options.PeakDb);
  const bool limit = options.Levelling == TLevelling::Loudness;
  TTrimVerdict verdict;
  TByteFile raw(folder + "import take");
  TByteFile work(folder + "out.dat"), vox(ChangeFileExt(take, ".vox")), fresh(take);
  ConcerningFile(take, [&] {
    raw.Rewrite(TWriteKind::Scratch);
    verdict = writer->WriteTake(raw, gain, limit);
    if (verdict.LosesSpeech() && limit) {
      // A click far louder than the speech set the measured loudness; levelled so that the
      // take, its click limited, has the loudness asked for, the speech comes through.
      gain = GainForLimitedLoudness(*writer, gain, options.LoudnessLufs);
      raw.Seek(0);
      raw.Truncate();
      verdict = writer->WriteTake(raw, gain, limit);
    }
    writer.reset();
    if (verdict.LosesSpeech()) return;
    const TTakeLayout layout = ReadTakeLayout(raw);
    work.Rewrite(TWriteKind::WorkingFile);
    vox.Rewrite();
    fresh.Rewrite();
    result.KeptSamples = TrimAndCodeTake(raw, layout, work, vox, fresh, ctx.Coder);
    MarkTake(fresh, origin);
    raw.Close();
    vox.Prepare();
    fresh.Prepare();
    work.Prepare();
  });
  if (verdict.LosesSpeech())
    return refuse(what + ": the trimmed take would keep " + verdict.KeptText() + ": " +
                      verdict.Reason() + LevellingHint(options.Levelling) + "; nothing was written",
                  TImportStatus::Rejected);
  ini.WriteString("SoundFiles", SlotKey(slot), name);
  ini.WriteString("SourceFileNames", SlotKey(slot), TakeName(name));
  WriteTakeOrigin(ini, slot, origin);
  TSafeFile iniOut;
  ConcerningFile(ini.FileName(), [&] { ini.PrepareUpdate(iniOut); });
  if (options.Stop && options.Stop()) throw EPromptStopped();
  ConcerningFile(take, [&] { CloseTogether({&vox, &fresh, &work}); });
  ConcerningFile(ini.FileName(), [&] { iniOut.Commit(); });
  ctx.CurrentSoundFileName = take;

  result.Status = TImportStatus::Done;
  return result;
}

}  // namespace

std::string NameForSource(const std::string& path) {
  std::string base = path.substr(path.rfind('/') + 1);
  const auto dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  return base;
}

std::string NameForText(const std::string& text) {
  constexpr size_t kLongest = 100;
  std::string name;
  for (unsigned char c : text) {
    if (c == '\'') continue;  // "don't" reads better as "dont" than as "don t"
    const bool keep = c >= 0x80 || std::isalnum(c) || c == '-' || c == '_';
    if (keep)
      name += static_cast<char>(c);
    else if (!name.empty() && name.back() != ' ')
      name += ' ';
  }
  if (name.size() > kLongest) {
    // Cut between characters, and between words where there is more than one.
    size_t cut = kLongest;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    const size_t blank = name.rfind(' ', cut);
    name.resize(name[cut] != ' ' && blank != std::string::npos && blank > 0 ? blank : cut);
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name.empty() ? "Speech" : name;
}

TImportResult ImportSoundFile(TAppContext& ctx, TShell& shell, int slot, const std::string& source,
                              const TImportOptions& options) {
  TImportOptions o = options;
  const bool defaultName = o.Name.empty();
  if (defaultName) o.Name = NameForSource(source);
  const std::string what = "Cannot import \"" + source + "\"";
  if (o.DryRun) {
    // A dry run opens the source as a sound file and reads no further.
    std::string problem = NonRegularKind(source);
    problem = !problem.empty() ? "it is " + problem + ", not a sound file"
                               : TSoundFileReader(source).Problem();
    if (!problem.empty()) {
      shell.ShowMessage(what + ": " + problem, msWarning);
      return TImportResult{TImportStatus::Rejected, o.Name, 0};
    }
  }
  TTakeOrigin origin;
  FileOrigin(source, origin);
  return ImportPrompt(
      ctx, shell, slot, what, source, o, defaultName, origin,
      [&](const std::string& folder, std::string& problem) -> std::unique_ptr<TPromptWriter> {
        // Only a file is read: a FIFO or a device would keep the import waiting forever.
        if (const std::string kind = NonRegularKind(source); !kind.empty()) {
          problem = "it is " + kind + ", not a sound file";
          return nullptr;
        }
        TSoundFileReader reader(source);
        if (!reader.Problem().empty()) {
          problem = reader.Problem();
          return nullptr;
        }
        std::unique_ptr<TPromptWriter> writer;
        try {
          writer =
              std::make_unique<TPromptWriter>(reader.SampleRate(), folder, o.Stop, o.MaxSamples);
        } catch (const EInOutError&) {
          throw;
        } catch (const Exception& e) {  // a sample rate the resampler cannot take
          problem = e.Message();
          return nullptr;
        }
        while (size_t frames = reader.Read()) writer->Put(reader.Block(), frames);
        problem = reader.Problem();
        writer->Finish();
        return writer;
      });
}

TImportResult SpeakText(TAppContext& ctx, TShell& shell, int slot, const std::string& text,
                        const TImportOptions& options, const TSpeechOptions& speech) {
  TImportOptions o = options;
  const bool defaultName = o.Name.empty();
  if (defaultName) o.Name = NameForText(text);
  TSpeaker speaker(speech);
  if (!speaker.Problem().empty()) {
    shell.ShowMessage(speaker.Problem(), msWarning);
    return TImportResult{TImportStatus::Refused, o.Name, 0};
  }
  return ImportPrompt(ctx, shell, slot, "Cannot speak \"" + text + "\"", "", o, defaultName,
                      TextOrigin(text, speech.Voice, speech.WordsPerMinute),
                      [&](const std::string& folder, std::string&) {
                        auto writer = std::make_unique<TPromptWriter>(speaker.SampleRate(), folder,
                                                                      o.Stop, o.MaxSamples);
                        speaker.Speak(text, *writer);
                        writer->Finish();
                        return writer;
                      });
}
