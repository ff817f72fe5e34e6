// zelvorsound-cli: the help texts, and the way from the command line to a command. The
// help is laid out as help pages are (a usage line, a description, sections of options),
// so that a manual page can be made from it.
#include <iostream>
#include <string>

#include "cli/Cli.h"

namespace cli {
namespace {

const char* const kUsageLine = "Usage: zelvorsound-cli [--folder DIR] COMMAND [OPTION]... [ARG]...";

// One row of a two-column list: the left column, then text wrapped to the page's width
// with its continuation lines under the start of the text.
void Row(std::ostream& out, const std::string& left, const std::string& text) {
  const size_t column = 26, width = 80;
  std::string line = "  " + left;
  line += line.size() + 1 < column ? std::string(column - line.size(), ' ') : "  ";
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

// The usage without its options: "extract PACKAGE SLOT OUT.wav".
std::string Synopsis(const Command& c) {
  const size_t options = c.Usage.find(" [-");
  return c.Usage.substr(0, options);
}

void Help(std::ostream& out) {
  out << kUsageLine << "\n"
      << "  or:  zelvorsound-cli help [COMMAND]\n"
         "Prepare the voice prompts of the instrument without a window: record, code and play\n"
         "sounds, and build and test the package \"Sounds.zvd\" that the instrument reads.\n\n"
         "Every command works in one folder, which stands for the program's own folder: it\n"
         "holds \"ZelvorSound.ini\", the sources and takes, their \".vox\" files, \"Sounds.zvd\"\n"
         "and the working files (\"out.dat\", \"temp2.tmp\", \"testvox.wav\", \"WAV Export\").\n"
         "A FILE is taken relative to that folder unless it is absolute. Options may stand\n"
         "before or after the COMMAND. Every file is written under a temporary name and\n"
         "renamed over its name when complete: a failure leaves the old file as it was.\n\n"
         "Commands:\n";
  for (auto& [name, c] : Commands()) Row(out, Synopsis(c), FirstLine(c.Help));
  Row(out, "help [COMMAND]", "show the help of one command, or this help");
  out << "\nOptions:\n";
  for (const Option& o : CommonOptions()) Row(out, Spelled(o), o.Help);
  out << "\nOne run works in a folder at a time: a command that writes there (all but list,\n"
         "play and devices, and an extract or report whose output lies elsewhere) holds a\n"
         "lock on the folder while it works, and waits for a run that holds it:\n";
  for (const Option& o : LockOptions()) Row(out, Spelled(o), o.Help);
  out << "\nCommand options (see 'zelvorsound-cli help COMMAND'):\n";
  for (auto& [name, c] : Commands())
    for (const Option& o : c.Options) Row(out, Spelled(o), name + ": " + o.Help);
  out << "\nExit status:\n";
  Row(out, "0", "done");
  Row(out, "1",
      "rejected: a source WAV file was rejected (the reason on stderr) or refused as lying "
      "outside the folder, a file given as a take is none, a slot holds no sound, or there is "
      "no sound device");
  Row(out, "2",
      "a file or device error; the line on stderr names the command and the file, and ends "
      "with the error's text (\"File not found\", \"Read beyond end of file\", ...); or the "
      "folder stayed busy with another run for longer than --wait");
  Row(out, "64", "bad usage: an unknown command or option, a missing value or file name");
  out << "\nEnvironment:\n";
  Row(out, "ZELVOR_FOLDER", "the folder to work in when --folder is not given");
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
  args.Folder = ResolveFolder(line.Folder);
  return Run(*line.Cmd, args);
}
