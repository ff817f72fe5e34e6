// zelvorsound-cli: the help texts, and the way from the command line to a command. The
// help is laid out as help pages are (a usage line, a description, sections of options),
// so that a manual page can be made from it.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"

namespace cli {
namespace {

const char* const kUsageLine = "Usage: zelvorsound-cli [--folder DIR] COMMAND [OPTION]... [ARG]...";

// One row of a two-column list: the left column, then text wrapped to the page's width
// with its continuation lines under the start of the text; a left column too wide for its
// place has the text start on the next line.
void Row(std::ostream& out, const std::string& left, const std::string& text) {
  const size_t column = 26, width = 80;
  std::string line = "  " + left;
  if (line.size() + 1 >= column) {  // a long left column stands on a line of its own
    out << line << "\n";
    line.clear();
  }
  line += std::string(column - line.size(), ' ');
  size_t start = line.size();
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    if (line.size() > start && line.size() + 1 + word.size() > width) {
      out << line << "\n";
      line = std::string(column, ' ');
      start = column;
    }
    line += (line.size() > start ? " " : "") + word;
    at = end + 1;
  }
  out << line << "\n";
}

std::string Spelled(const Option& o) {
  std::string s = o.Short != 0 ? std::string("-") + o.Short + ", " : "    ";
  return s + o.Name + (o.Value.empty() ? "" : " " + o.Value);
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Each option of the commands once, with the commands that take it; where their help
// differs, each group of commands with its own.
void CommandOptions(std::ostream& out) {
  std::vector<std::string> names;
  for (auto& [name, c] : Commands())
    for (const Option& o : c.Options)
      if (std::find(names.begin(), names.end(), o.Name) == names.end()) names.push_back(o.Name);
  for (const std::string& option : names) {
    const Option* shown = nullptr;
    std::vector<std::pair<std::string, std::string>> helps;  // commands, their help
    for (auto& [name, c] : Commands())
      for (const Option& o : c.Options) {
        if (o.Name != option) continue;
        if (shown == nullptr || (shown->Short == 0 && o.Short != 0)) shown = &o;
        auto same =
            std::find_if(helps.begin(), helps.end(), [&](auto& h) { return h.second == o.Help; });
        if (same == helps.end())
          helps.emplace_back(name, o.Help);
        else
          same->first += ", " + name;
      }
    std::string text;
    for (auto& [commands, help] : helps)
      text += (text.empty() ? "" : "; ") + commands + ": " + help;
    Row(out, Spelled(*shown), text);
  }
}

void Help(std::ostream& out) {
  out << kUsageLine << "\n"
      << "  or:  zelvorsound-cli help [COMMAND]\n"
         "Prepare the voice prompts of the instrument without a window: record, code and play\n"
         "sounds, and build and test the package \"Sounds.zvd\" that the instrument reads.\n\n"
         "Every command works in one folder, which stands for the program's own folder: it\n"
         "holds \"ZelvorSound.ini\", the sources and takes, their \".vox\" files, \"Sounds.zvd\"\n"
         "and the working files (\"out.dat\", \"temp2.tmp\", \"testvox.wav\", \"WAV Export\").\n"
         "That folder is --folder DIR, else $ZELVOR_FOLDER, else the current directory when\n"
         "it holds \"ZelvorSound.ini\", else ~/ZelvorSound for the installed command (made\n"
         "with demo prompts on first use) and the current directory for a copy that is not\n"
         "installed. A command that writes there says which folder it is when it is not the\n"
         "current directory. A FILE, PACKAGE, SOURCE or OUT on the command line is taken from\n"
         "the current directory, as in any shell command; the names inside \"ZelvorSound.ini\"\n"
         "from the folder. Options may stand before or after the COMMAND. Every file is\n"
         "written under a temporary name and renamed over its name when complete: a failure\n"
         "leaves the old file as it was.\n\n"
         "Commands:\n";
  for (auto& [name, c] : Commands()) Row(out, c.Usage, FirstLine(c.Help));
  Row(out, "help [COMMAND]", "show the help of one command, or this help");
  out << "\nOptions:\n";
  for (const Option& o : CommonOptions()) Row(out, Spelled(o), o.Help);
  out << "\nOne run works in a folder at a time: a command that writes there (all but list,\n"
         "play and devices, an extract or report whose output lies elsewhere, and a --dry-run)\n"
         "holds a lock on the folder while it works, and waits for a run that holds it:\n";
  for (const Option& o : LockOptions()) Row(out, Spelled(o), o.Help);
  out << "\nCommand options (see 'zelvorsound-cli help COMMAND'):\n";
  CommandOptions(out);
  out << "\nExit status:\n";
  Row(out, "0", "done");
  Row(out, "1",
      "done, with a problem to look at (said on stderr): a source rejected, or refused as "
      "lying outside the folder; a row of a prompt list that failed; a recording that heard "
      "nothing; a file given as a take that is none; a slot that holds no sound; no sound "
      "device to list");
  Row(out, "2",
      "not done: a file or device error (the line on stderr names the command and the file, "
      "and ends with the error's text: \"File not found\", \"Read beyond end of file\", "
      "...), or a folder that stayed busy with another run for longer than --wait");
  Row(out, "64", "bad usage: an unknown command or option, a missing value or file name");
  out << "\nEnvironment:\n";
  Row(out, "ZELVOR_FOLDER", "the folder to work in when --folder is not given");
  Row(out, "ZELVOR_INSTALLED",
      "1: the program was started as the installed command (its launcher sets it), which "
      "works in ~/ZelvorSound when no other folder is chosen");
  Row(out, "ZELVOR_AUDIO",
      "the sound driver: alsa (the default), the sound card through ALSA; or virtual, a "
      "device inside the program for machines without a sound card");
  Row(out, "ZELVOR_ALSA_DEVICE",
      "the ALSA device to record from and play through, over --device (default \"default\")");
  Row(out, "ZELVOR_VIRTUAL_PACING",
      "realtime (the default): the virtual device keeps time like a sound card, its "
      "microphone hearing silence; fast: it moves sound as fast as it can");
  Row(out, "ZELVOR_VIRTUAL_CAPTURE",
      "a file of raw samples the virtual microphone hears before the silence");
  Row(out, "ZELVOR_VIRTUAL_PLAYBACK", "a file that receives what the virtual device plays");
  out << "\n'zelvorsound-cli help COMMAND' tells more about one command.\n";
}

void HelpOnHelp(std::ostream& out) {
  out << "Usage: zelvorsound-cli help [COMMAND]\n"
         "Show the help of one command: its usage line, what it does and writes, its options\n"
         "and, where it has --json, the keys of its JSON; without COMMAND, the help of the\n"
         "program: every command, the folder it works in, the exit codes and the environment.\n"
         "'zelvorsound-cli COMMAND --help' is the same as 'zelvorsound-cli help COMMAND'.\n";
}

void CommandHelp(std::ostream& out, const Command& c) {
  const std::string summary = FirstLine(c.Help);
  out << UsageLine(c) << "\n"
      << static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])))
      << summary.substr(1) << ".\n";
  if (c.Help.size() > summary.size()) out << "\n" << c.Help.substr(summary.size() + 1) << "\n";
  out << "\nOptions:\n";
  for (const Option& o : c.Options) Row(out, Spelled(o), o.Help);
  if (c.Folder != FolderUse::ReadsOnly)
    for (const Option& o : LockOptions()) Row(out, Spelled(o), o.Help);
  for (const Option& o : CommonOptions()) Row(out, Spelled(o), o.Help);
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
  using namespace cli;
  const TCommandLine line = ParseCommandLine({argv + 1, argv + argc});
  if (!line.Error.empty()) {
    std::cerr << "zelvorsound-cli: " << (line.Cmd ? line.Cmd->Name + ": " : "") << line.Error
              << "\n"
              << (line.Cmd ? UsageLine(*line.Cmd) : kUsageLine) << "\n";
    return kUsage;
  }
  if (line.Version) {
    std::cout << "zelvorsound-cli " << ZS_VERSION << "\n";
    return kOk;
  }
  if (line.HelpOnHelp) {
    HelpOnHelp(std::cout);
    return kOk;
  }
  if (line.Help) {
    if (line.Cmd)
      CommandHelp(std::cout, *line.Cmd);
    else
      Help(std::cout);
    return kOk;
  }
  if (line.Cmd == nullptr) {
    std::cerr << kUsageLine << "\nTry 'zelvorsound-cli --help' for the commands.\n";
    return kUsage;
  }
  Args args = line.Arguments;
  ChooseFolder(*line.Cmd, line.Folder, args);
  return Run(*line.Cmd, args);
}
