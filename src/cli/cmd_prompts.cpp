// zelvorsound-cli prompts: a whole package from a prompt list, each row made into its slot
// by the same code as say or import, the rows made already from the same text or source
// left as they are.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "cli/Cli.h"
#include "cli/PromptCommands.h"
#include "import/Import.h"
#include "import/PromptList.h"
#include "package/Builder.h"
#include "package/TakeOrigin.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

namespace {

// The list, read whole before the folder is locked (it may come from stdin), and the folder
// its relative sources are taken from.
TPromptList gList;
std::string gListFolder, gListName;

int ReadList(const cli::Args& a) {
  if (a.Positional.size() != 1)
    return cli::UsageError("needs exactly one FILE, the prompt list (- for stdin)");
  const std::string& given = a.Positional[0];
  std::string bytes;
  namespace fs = std::filesystem;
  if (given == "-") {
    bytes = cli::ReadStdin();
    gListName = "stdin";
    gListFolder = cli::ShellPath(".") + "/";
  } else {
    const std::string path = cli::ShellPath(given);
    std::error_code ec;
    if (cli::OnlyInFolder(given)) return cli::kIOError;
    if (!fs::is_regular_file(path, ec)) {
      std::cerr << cli::ErrorPrefix(given)
                << (fs::exists(path, ec) ? "it is no file" : "File not found") << std::endl;
      return cli::kIOError;
    }
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
      std::cerr << cli::ErrorPrefix(given) << "cannot be read" << std::endl;
      return cli::kIOError;
    }
    gListName = given;
    gListFolder = FolderOf(path);
  }
  gList = ParsePromptList(bytes);
  if (!gList.Problem.empty()) {
    std::cerr << cli::ErrorPrefix(gListName) << gList.Problem << "; nothing was made" << std::endl;
    return cli::kRejected;
  }
  return cli::kOk;
}

// True when the slot's take was made from what origin names and is still that take, and
// the row asks for no other name.
bool MadeAlready(const TIniFile& ini, const TPromptRow& row, const TTakeOrigin& origin,
                 const std::string& folder) {
  const std::optional<TTakeOrigin> made = ReadTakeOrigin(ini, row.Slot);
  const std::string key = "Name" + std::to_string(row.Slot);
  const std::string take = NormaliseConfiguredName(ini.ReadString("SourceFileNames", key, ""));
  return made && made->SameSource(origin) && !IsNoFile(take) && IsTakeOf(folder + take, *made) &&
         (row.Name.empty() || row.Name == ini.ReadString("SoundFiles", key, ""));
}

int RunPrompts(const cli::Args& a) {
  TImportOptions options;
  TCoder coder;
  TSpeechOptions speech;
  if (!cli::ReadPromptOptions(a, options, coder) || !cli::ReadSpeechOptions(a, speech))
    return cli::kUsage;
  cli::TInterruptGuard stop(/*endings=*/true);
  options.Stop = [] { return cli::TInterruptGuard::Requested(); };
  const bool dry = options.DryRun;
  const TIniFile ini(a.Folder + "ZelvorSound.ini");  // as it was before this list
  int made = 0, unchanged = 0, failed = 0;
  for (const TPromptRow& row : gList.Rows) {
    if (cli::TInterruptGuard::Requested()) stop.EndAsAsked();
    const std::string subject = gListName + ": line " + std::to_string(row.Line);
    if (!row.Problem.empty()) {
      std::cerr << cli::ErrorPrefix(subject) << row.Problem << std::endl;
      ++failed;
      continue;
    }
    TImportOptions o = options;
    o.Name = row.Name;
    TSpeechOptions voice = speech;
    if (!row.Voice.empty()) voice.Voice = row.Voice;
    const std::string source =
        row.Source.empty()
            ? ""
            : cli::ShellPath((std::filesystem::path(gListFolder) / row.Source).string());
    TTakeOrigin origin = TextOrigin(row.Text, voice.Voice, voice.WordsPerMinute);
    const bool known = source.empty() || FileOrigin(source, origin);
    if (!o.Force && known && MadeAlready(ini, row, origin, a.Folder)) {
      std::cout << "slot " << row.Slot << ": \""
                << PrintableText(
                       ini.ReadString("SoundFiles", "Name" + std::to_string(row.Slot), ""))
                << "\" is made from this " << (source.empty() ? "text" : "source")
                << " already; left as it is" << std::endl;
      ++unchanged;
      continue;
    }
    const int rc = cli::MakePrompt(
        [&](TShell& shell) {
          TAppContext ctx{a.Folder, "", coder};
          return source.empty() ? SpeakText(ctx, shell, row.Slot, row.Text, o, voice)
                                : ImportSoundFile(ctx, shell, row.Slot, source, o);
        },
        row.Slot, dry, subject, stop);
    (rc == cli::kOk ? made : failed) += 1;
  }
  std::cout << Format("%d row%s: %d %s, %d already made, %d failed",
                      static_cast<int>(gList.Rows.size()), gList.Rows.size() == 1 ? "" : "s", made,
                      dry ? "would be made" : "made", unchanged, failed)
            << (dry ? "; nothing was written" : "") << std::endl;
  return failed > 0 ? cli::kRejected : cli::kOk;
}

cli::Register promptsCmd{[] {
  cli::Command c{
      "prompts", "prompts FILE",
      "make the prompts a list names, each row into its slot as say or import would\n"
      "FILE (- for stdin) is a table in UTF-8, its cells separated by tabs or by commas (a\n"
      "cell may stand in double quotes), with a header line naming its columns: slot, name,\n"
      "and text (spoken as say speaks it) or source (a sound file, imported as import does;\n"
      "relative to the list's folder, or to the current directory for -), and voice; a list\n"
      "may have both text and source columns, each row filling one of them. For example:\n"
      "\n"
      "  slot,name,text,source\n"
      "  0,Welcome,Welcome to the instrument,\n"
      "  1,Battery low,Battery low,\n"
      "  2,Alarm,,sounds/alarm.flac\n"
      "\n"
      "The whole list is read before anything is made. Each row's take is made through the\n"
      "same code as say and import, with --loudness, --peak, --no-normalize and --coder as\n"
      "there and --voice and --speed for the rows that give no voice; \"ZelvorSound.ini\"\n"
      "keeps what made each take (TakeOrigins), so a row whose take was made from the same\n"
      "text, voice and speed, or the same unchanged source, and is still that take, is left\n"
      "as it is (--force makes it again). One line per row on stdout, the reason of a row\n"
      "that failed on stderr (its line in the list), then a summary. A row that fails leaves\n"
      "its slot as it was and the others are made: exit 1 when a row failed (or the list\n"
      "cannot be read as one), 2 when FILE cannot be read. --dry-run checks every row and\n"
      "says what would be made.",
      cli::PromptOptions(cli::SpeechOptions(), /*oneSlot=*/false), RunPrompts};
  c.Check = ReadList;
  return c;
}()};

}  // namespace
