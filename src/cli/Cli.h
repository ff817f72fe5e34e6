// zelvorsound-cli: every command lives in its own file and registers itself here, so the
// commands of the codec, the package and the audio devices stay apart.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/WaveIO.h"
#include "rtl/Shell.h"

namespace cli {

// Exit codes shared by all commands.
enum ExitCode { kOk = 0, kRejected = 1, kIOError = 2, kUsage = 64 };

struct Args {
  std::string Folder;                                        // --folder DIR, with a trailing '/'
  std::vector<std::string> Positional;                       // everything that is not an option
  std::vector<std::pair<std::string, std::string>> Options;  // --name value / --flag ""
  bool Has(const std::string& name) const;
  std::string Get(const std::string& name, const std::string& fallback = "") const;
};

struct Command {
  std::string Name;
  std::string Usage;  // "convert NAME"
  std::string Help;   // what it does, a few lines
  // Options that take a value ("--seconds"); every other --option is a flag.
  std::vector<std::string> ValueOptions;
  std::function<int(const Args&)> Run;
};

// Registers a command at start-up: static cli::Register r{Command{...}};
struct Register {
  explicit Register(Command c);
};
// Every registered command by name.
const std::map<std::string, Command>& Commands();

// The shell of the command line: message boxes go to stderr (the program's rejection
// texts), status lines to stdout, no dialogs, nothing to pump.
class ConsoleShell : public TShell {
 public:
  void ShowMessage(const std::string& text) override;
  void StatusClear() override {}
  void StatusShow() override {}
  void StatusAdd(const std::string& line) override;
  std::optional<std::string> PickVoxFile() override { return std::nullopt; }
  void ProcessMessages() override {}
  void WaitForEvents() override {}
  int MessageCount() const { return FMessages; }

 private:
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

// Ctrl-C asks the running command to stop (Requested() turns true); a second one ends the
// program the usual way. The handler before comes back when the guard goes.
class TInterruptGuard {
 public:
  TInterruptGuard();
  ~TInterruptGuard();
  TInterruptGuard(const TInterruptGuard&) = delete;
  TInterruptGuard& operator=(const TInterruptGuard&) = delete;
  static bool Requested();

 private:
  struct TSaved;
  std::unique_ptr<TSaved> FSaved;
};

// Errors that reach the application's handler while a command runs (a device lost in the
// middle of a sound) are shown on stderr and counted, so the exit code tells that something
// went wrong even when the sound itself finished. before goes out ahead of each text (a new
// line, to leave a progress line intact).
class TErrorCounter {
 public:
  explicit TErrorCounter(std::string before = "");
  int Count() const { return FCount; }

 private:
  int FCount = 0;
  TApplicationExceptionScope FScope;
};

// Runs f, turning the runtime's errors into exit code 2 with their text on stderr.
int Guarded(const std::function<int()>& f);

// A path given on the command line, taken relative to the folder unless absolute.
std::string InFolder(const Args& a, const std::string& name);

}  // namespace cli
