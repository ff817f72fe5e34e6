// zelvorsound-cli import / say: a prompt from any sound file, or from a line of text, into a
// slot, ready for the next build.
#include <filesystem>
#include <iostream>

#include "cli/Cli.h"
#include "cli/PromptCommands.h"
#include "import/Import.h"
#include "package/Package.h"
#include "rtl/FileSystem.h"
#include "rtl/SysUtils.h"

namespace {

// A source must be a sound file: a FIFO or a device would hold the folder while nothing
// comes, so anything but a regular file is refused before the folder is locked; and one
// that is not where the shell stands but is in the program's folder is said to be there.
int CheckSources(const cli::Args& a) {
  for (const std::string& given : a.Positional) {
    const std::string source = cli::ShellPath(given);
    if (const std::string kind = NonRegularKind(source); !kind.empty()) {
      std::cerr << cli::ErrorPrefix(source) << "it is " << kind
                << ", not a sound file; nothing was imported" << std::endl;
      return cli::kRejected;
    }
    if (cli::OnlyInFolder(given)) return cli::kIOError;
  }
  return cli::kOk;
}

// The slots the sources go into: from N on, or (--slot next) each the next slot that names
// no source; empty (said) when they do not fit.
std::vector<int> TargetSlots(const cli::Args& a, int slot, bool next, size_t count) {
  std::vector<int> slots;
  if (next) {
    slots = cli::FreeSlots(a.Folder, count);
    if (slots.size() < count)
      std::cerr << cli::ErrorPrefix() << "only " << slots.size()
                << " slots name no source; nothing was imported" << std::endl;
  } else if (slot + count > static_cast<size_t>(kSlotCount)) {
    cli::UsageError(Format("%d files from slot %d go past slot %d", static_cast<int>(count), slot,
                           kSlotCount - 1));
  } else {
    for (size_t i = 0; i < count; ++i) slots.push_back(slot + static_cast<int>(i));
  }
  return slots.size() == count ? slots : std::vector<int>();
}

int RunImport(const cli::Args& a) {
  int slot = 0;
  bool next = false;
  TImportOptions o;
  TCoder coder;
  if (!cli::ReadSlotOption(a, slot, next) || !cli::ReadPromptOptions(a, o, coder))
    return cli::kUsage;
  cli::TInterruptGuard stop(/*endings=*/true);
  o.Stop = [] { return cli::TInterruptGuard::Requested(); };
  const size_t count = a.Positional.size();
  if (count == 0) return cli::UsageError("needs at least one sound file");
  if (count > 1 && a.Has("name"))
    return cli::UsageError("--name names one slot; leave it out for several files");
  const std::vector<int> slots = TargetSlots(a, slot, next, count);
  if (slots.empty()) return next ? cli::kRejected : cli::kUsage;
  for (size_t i = 0; i < count; ++i) {
    // A source comes from anywhere: a relative one is where the shell stands, not in the
    // folder, so that "import song.mp3 --folder ~/ZelvorSound" finds ./song.mp3.
    const std::string source = cli::ShellPath(a.Positional[i]);
    const int rc = cli::MakePrompt(
        [&](TShell& shell) {
          TAppContext ctx{a.Folder, "", coder};
          return ImportSoundFile(ctx, shell, slots[i], source, o);
        },
        slots[i], o.DryRun, "", stop);
    // A stop asked for after an import had been put in place ends the run after it.
    if (rc == cli::kOk && cli::TInterruptGuard::Requested() && i + 1 < count) stop.EndAsAsked();
    if (rc == cli::kOk) continue;
    if (i > 0 && !o.DryRun)
      std::cerr << cli::ErrorPrefix() << "stopped at " << PrintableText(a.Positional[i]) << "; "
                << (i == 1 ? Format("slot %d was", slots[0])
                           : Format("%d slots were", static_cast<int>(i)))
                << " filled\n";
    return rc;
  }
  return cli::kOk;
}

// The text "say -" reads from stdin, before the folder is locked: its lines joined by blanks.
std::string gStdinText;

int ReadSayText(const cli::Args& a) {
  if (a.Positional.size() != 1 || a.Positional[0] != "-") return cli::kOk;
  for (char c : cli::ReadStdin()) gStdinText += c == '\n' || c == '\r' || c == '\t' ? ' ' : c;
  return cli::kOk;
}

int RunSay(const cli::Args& a) {
  int slot = 0;
  bool next = false;
  TImportOptions o;
  TCoder coder;
  TSpeechOptions speech;
  if (!cli::ReadSlotOption(a, slot, next) || !cli::ReadPromptOptions(a, o, coder) ||
      !cli::ReadSpeechOptions(a, speech))
    return cli::kUsage;
  std::string text;
  if (a.Positional.size() == 1 && a.Positional[0] == "-")
    text = gStdinText;
  else
    for (const std::string& word : a.Positional) text += (text.empty() ? "" : " ") + word;
  const size_t from = text.find_first_not_of(' ');
  text = from == std::string::npos ? "" : text.substr(from, text.find_last_not_of(' ') - from + 1);
  if (text.empty()) return cli::UsageError("needs a text (- reads it from stdin)");
  if (next) {
    const std::vector<int> free = cli::FreeSlots(a.Folder, 1);
    if (free.empty()) {
      std::cerr << cli::ErrorPrefix() << "every slot names a source; nothing was spoken"
                << std::endl;
      return cli::kRejected;
    }
    slot = free[0];
  }
  cli::TInterruptGuard stop(/*endings=*/true);
  o.Stop = [] { return cli::TInterruptGuard::Requested(); };
  return cli::MakePrompt(
      [&](TShell& shell) {
        TAppContext ctx{a.Folder, "", coder};
        return SpeakText(ctx, shell, slot, text, o, speech);
      },
      slot, o.DryRun, "", stop);
}

cli::Register importCmd{[] {
  cli::Command c{
      "import", "import SOURCE... --slot N",
      "make any sound file the take of slot N: NAME.WAV, NAME.vox and the slot in the INI\n"
      "Any file libsndfile reads (WAV of every layout, FLAC, Ogg Vorbis, Opus, MP3, AIFF, ...)\n"
      "becomes the take of slot N as if it had just been recorded: mixed to mono, resampled\n"
      "to 8000 Hz, levelled to a loudness of -16 LUFS with its peaks held under -1 dBFS\n"
      "(--loudness LUFS sets another loudness, --peak DB scales the peak to DB instead,\n"
      "--no-normalize keeps the level; one of the three at most), written as \"NAME.WAV\"\n"
      "(8-bit mono), then trimmed and coded into \"NAME.vox\". \"ZelvorSound.ini\" then names it\n"
      "for the slot (SoundFiles and SourceFileNames) and keeps the source's path, size and\n"
      "time (TakeOrigins), so the next build packs it. NAME defaults to the file's base name,\n"
      "with \" (2)\", \" (3)\", ... added while another slot's take has it. Several SOURCEs fill\n"
      "slot N and the ones after it; --slot next takes the first slot that names no source\n"
      "(for several SOURCEs, each the next such slot). A relative SOURCE is taken from the\n"
      "current directory. A NAME whose take belongs to another slot, or a file no slot\n"
      "names, is refused unless --force is given. --dry-run checks the request and opens\n"
      "each SOURCE, and says what would be made. Exit 1 when a source cannot be decoded\n"
      "(libsndfile's reason on stderr), is no regular file (a FIFO, a device, a folder:\n"
      "refused at once), or when the trimming would keep less than half of its sound (how\n"
      "much, and why, on stderr); 2 on a file error; in all these cases nothing is written.\n"
      "Ctrl-C, SIGTERM or SIGHUP stop it with the folder as it was.",
      cli::PromptOptions(), RunImport};
  c.Check = CheckSources;
  return c;
}()};

cli::Register sayCmd{[] {
  cli::Command c{
      "say", "say TEXT --slot N",
      "speak TEXT into the take of slot N: NAME.WAV, NAME.vox and the slot in the INI\n"
      "TEXT is spoken with espeak-ng (voice V, default \"en\"; WPM words per minute, 80 to 450,\n"
      "default 175) and makes the speech the take of slot N the way import does; the INI\n"
      "keeps the text, voice and speed (TakeOrigins). TEXT - reads the text from stdin, its\n"
      "lines joined by blanks. NAME defaults to the text's letters, digits and blanks (up to\n"
      "100 characters), with \" (2)\", \" (3)\", ... added while another slot's take has it.\n"
      "--slot next takes the first slot that names no source. --loudness, --peak,\n"
      "--no-normalize, --force, --coder and --dry-run work as for import. A prompt set can\n"
      "be drafted from text (see prompts) and its slots replaced by recordings one by one.",
      cli::PromptOptions(cli::SpeechOptions()), RunSay};
  c.Check = ReadSayText;
  return c;
}()};

}  // namespace
