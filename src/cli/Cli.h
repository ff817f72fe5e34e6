// zelvorsound-cli: every command lives in its own file and registers itself here, so the
// commands of the codec, the package and the audio devices stay apart. main takes the
// command line apart (ParseCommandLine), picks the folder (ChooseFolder) and hands the
// command to Run, the one place where a command's work starts.
//
// Two kinds of names meet here. A FILE, PACKAGE, SOURCE or OUT typed on the command line is
// the user's: it is taken from the current directory, as in any shell command (ShellPath).
// The names the program forms itself ("Sounds.zvd", "testvox.wav", the sources that
// "ZelvorSound.ini" names) lie in the program's folder (InFolder).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/WaveIO.h"
#include "cli/Interrupt.h"
#include "rtl/Shell.h"

namespace cli {

// Exit codes shared by all commands: done; done with a problem the user should see (a source
// rejected, nothing heard, a row of a list that failed); not done (a file or device error);
// bad usage.
enum ExitCode { kOk = 0, kRejected = 1, kIOError = 2, kUsage = 64 };

// One option of a command: its long name ("--seconds"), the name of the value it takes
// ("N", "FILE"; empty for a flag), one line of help and its one-letter form ('q' for -q, 0
// for none). A name takes a value in every command that has it or in none, so options can
// be read before the command is known. Options of one Choice exclude each other; the usage
// line shows them as one "[--a | --b]".
struct Option {
  Option(std::string name, std::string value, std::string help, char shortName = 0,
         std::string choice = "")
      : Name(std::move(name)),
        Value(std::move(value)),
        Help(std::move(help)),
        Short(shortName),
        Choice(std::move(choice)) {}
  // A bare name, as a command may still list its value options: "--seconds" takes a value.
  Option(const char* name) : Name(name), Value("VALUE") {}
  std::string Name;
  std::string Value;
  std::string Help;
  char Short = 0;
  std::string Choice;
};

struct Args {
  std::string Folder;  // absolute, with a trailing '/'
  // Why there is no folder to work in (the user's folder unknown or no folder), said by Run.
  std::string FolderError;
  bool FolderMade = false;  // the user's folder was made and seeded by this run
  std::vector<std::string> Positional;                       // everything that is not an option
  std::vector<std::pair<std::string, std::string>> Options;  // "seconds" → "2", a flag → ""
  bool Has(const std::string& name) const;
  std::string Get(const std::string& name, const std::string& fallback = "") const;
};

// Which runs of a command write in the folder. Those hold the folder's lock while they
// work (Run takes it, and takes --wait SECONDS for a folder another run is busy in), so one
// run works in a folder at a time.
enum class FolderUse {
  Writes,          // every run (the default)
  ReadsOnly,       // none: list, play, devices
  WritesByOutput,  // a run whose output (Command::Output) lies in the folder
};

struct Command {
  Command() = default;
  Command(std::string name, std::string usage, std::string help, std::vector<Option> options,
          std::function<int(const Args&)> run, FolderUse folder = FolderUse::Writes,
          std::function<std::string(const Args&)> output = {})
      : Name(std::move(name)),
        Usage(std::move(usage)),
        Help(std::move(help)),
        Options(std::move(options)),
        Run(std::move(run)),
        Folder(folder),
        Output(std::move(output)) {}

  std::string Name;
  // "record FILE": the usage without the program name and without the options, which
  // UsageLine adds (all but those the usage names itself, such as a required "--slot N").
  std::string Usage;
  // The first line says what the command does and what it writes (the list of commands in
  // --help shows it); the lines after it tell more in "help COMMAND".
  std::string Help;
  std::vector<Option> Options;  // besides the options every command takes
  std::function<int(const Args&)> Run;
  FolderUse Folder = FolderUse::Writes;
  // For FolderUse::WritesByOutput: the file the run would write, as a path (empty when the
  // command line names none; the command then refuses it before writing anything).
  std::function<std::string(const Args&)> Output;
  // Checks that need not wait for the folder: run before its lock is taken; an exit code
  // other than kOk ends the run there. What a command reads from stdin is read here.
  std::function<int(const Args&)> Check;
  // The folder is --folder, else ZELVOR_FOLDER, else the current directory, and is made when
  // it is not there (demo), instead of the folder rule's other steps.
  bool MakesFolder = false;
};

// Registers a command at start-up: static cli::Register r{Command{...}};
struct Register {
  explicit Register(Command c);
};
// Every registered command by name.
const std::map<std::string, Command>& Commands();
// The options every command takes: --folder, --help, --version.
const std::vector<Option>& CommonOptions();
// The options of every command that writes in the folder: --wait.
const std::vector<Option>& LockOptions();
// How long a run waits for a folder another run is busy in, unless --wait says otherwise.
inline constexpr int kDefaultWaitSeconds = 60;

// The command line taken apart. Options may stand before or after the command; "--" ends
// them. "help [COMMAND]" is the same as "[COMMAND] --help".
struct TCommandLine {
  const Command* Cmd = nullptr;  // nothing when no command was given
  bool Help = false;
  bool HelpOnHelp = false;  // "help help"
  bool Version = false;
  std::string Folder;  // --folder as given, empty when not
  Args Arguments;      // everything but the folder, which ResolveFolder makes
  std::string Error;   // the first thing wrong with the line, empty when nothing is
};
TCommandLine ParseCommandLine(const std::vector<std::string>& words);

// The folder the command works in (package/ProgramFolder.h: --folder, else ZELVOR_FOLDER,
// else the current directory when it holds "ZelvorSound.ini", else ~/ZelvorSound for the
// installed command and the current directory for a copy that is not installed), into
// args.Folder, FolderMade and FolderError.
void ChooseFolder(const Command& command, const std::string& given, Args& args);

// The nearest command name (an edit distance of 2 at most), for an unknown one; empty when
// none is that near.
std::string NearestCommand(const std::string& word);

// Runs the command with its arguments: every command's work starts here. A run that writes
// in the folder says once on stderr which folder that is, when it is not the current
// directory, and takes the folder's lock; when another run holds it, that is said once
// on stderr and the run waits, blocked, for up to --wait SECONDS (60 by default; 0 does not
// wait), then gives up with exit 2 and a line naming the folder. --dry-run writes nothing
// and takes no lock.
int Run(const Command& command, const Args& args);

// "zelvorsound-cli: COMMAND: " and, when given, "SUBJECT: ": how every error line begins.
// The subject is shown with its control characters as '?' (PrintableText), as is every name
// from a file that the commands print.
std::string ErrorPrefix(const std::string& subject = "");
// "Usage: zelvorsound-cli ", the command's usage and every option it takes.
std::string UsageLine(const Command& command);
// Refuses the command line: the message on stderr, then the usage line; gives exit 64.
int UsageError(const std::string& message);

// The shell of the command line: message boxes go to stderr (the program's rejection
// texts) as error lines of the command (ErrorPrefix, with the subject when one is given),
// whatever their severity; status lines to stdout; both with their control characters as
// '?' (they name files and slots). No dialogs, nothing to pump.
class ConsoleShell : public TShell {
 public:
  explicit ConsoleShell(std::string subject = "") : FSubject(std::move(subject)) {}
  void ShowMessage(const std::string& text, TMessageSeverity severity) override;
  void StatusClear() override {}
  void StatusShow() override {}
  void StatusAdd(const std::string& line) override;
  std::optional<std::string> PickVoxFile() override { return std::nullopt; }
  void ProcessMessages() override {}
  void WaitForEvents() override {}
  int MessageCount() const { return FMessages; }

 private:
  std::string FSubject;
  int FMessages = 0;
};

// The shell of a command that works on a file the user named on the command line: the open
// dialog "picks" that file.
class TPickedFileShell : public ConsoleShell {
 public:
  explicit TPickedFileShell(std::string file) : FFile(std::move(file)) {}
  std::optional<std::string> PickVoxFile() override { return FFile; }

 private:
  std::string FFile;
};

// Errors that reach the application's handler while a command runs (a device lost in the
// middle of a sound) are shown on stderr and counted, so the exit code tells that something
// went wrong even when the sound itself finished. before goes out ahead of each line (a new
// line, to leave a progress line intact).
class TErrorCounter {
 public:
  explicit TErrorCounter(std::string before = "");
  int Count() const { return FCount; }

 private:
  int FCount = 0;
  TApplicationExceptionScope FScope;
};

// Runs f, turning the runtime's errors into exit code 2 with a line on stderr that names the
// command and the subject, the file the user named ("zelvorsound-cli: convert: helo.wav:
// File not found"); the runtime's text ends the line. The subject is read when the error
// comes, so a command that goes on to another file (its output) may name that one instead.
// A relative file that is missing in the current directory but lies in the program's folder
// gets that said too (FolderHint).
int Guarded(const std::string& subject, const std::function<int()>& f);
int Guarded(const std::function<int()>& f);

// --coder NAME, the option of every command that codes sound into ".vox" files.
Option CoderOption();
// The coder of this run: --coder when given, else the folder's ([Options] Coder= in
// "ZelvorSound.ini"), whose unknown value is said on stderr as a warning. Returns kOk, or
// the exit code of a usage error that names an unknown --coder.
int ChooseCoder(const Args& a, TCoder& coder);

// A FILE, PACKAGE, SOURCE or OUT typed on the command line, as the shell means it: an
// absolute path, a relative one taken from the current directory. Empty stays empty.
std::string ShellPath(const std::string& name);
// A name the program forms itself, in the folder: "Sounds.zvd", "testvox.wav".
std::string InFolder(const Args& a, const std::string& name);
// For a relative name that is not in the current directory but is in the program's folder:
// " (not in the current directory; the program's folder has FOLDER/name)"; else empty.
std::string FolderHint(const std::string& name);
// For a typed name that only the program's folder has: says "zelvorsound-cli: COMMAND: name:
// File not found" with that hint on stderr and returns true; else says nothing, false.
bool OnlyInFolder(const std::string& name);
// A path as the user would type it from the current directory: relative below it, else
// absolute, quoted for the shell when it holds anything but plain characters.
std::string TypedPath(const std::string& path);

// A slot typed on the command line: 0 to 127. Empty when it is one, else what is wrong:
// "slot 200 is not between 0 and 127", or "--slot needs a slot from 0 to 127, not 'two'"
// (what names where it was typed).
std::string ReadSlot(const std::string& text, const std::string& what, int& slot);

// A duration as the CLI prints it everywhere: "1.25 s" (or with more decimals).
std::string SecondsText(double seconds, int decimals = 2);

// --json and --dry-run, the options of the commands that offer them.
Option JsonOption();
Option DryRunOption();

// True when both paths name one existing file, so writing the one would destroy the other.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace cli
