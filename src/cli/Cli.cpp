#include "cli/Cli.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <vector>

#include "codec/VoxCoders.h"
#include "package/FolderCoder.h"
#include "package/Package.h"
#include "package/ProgramFolder.h"
#include "platform/Environment.h"
#include "platform/folderlock.h"
#include "rtl/FileSystem.h"
#include "rtl/SysUtils.h"

namespace cli {
namespace {

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}

// The command Run is running, for the start of its error lines, and its folder.
const Command* gRunning = nullptr;
std::string gFolder;

bool IsOptionWord(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

// The option of the table that word names, and the value written into the word itself
// ("--format=15", "-oFILE"), if any.
struct TFound {
  const Option* Opt = nullptr;
  std::optional<std::string> Inline;
};

TFound FindOption(const std::vector<Option>& table, const std::string& word) {
  const bool isLong = word.rfind("--", 0) == 0;
  const size_t eq = word.find('=');
  for (const Option& o : table) {
    if (isLong && word.compare(0, eq, o.Name) == 0)
      return {&o, eq == std::string::npos ? std::nullopt : std::optional(word.substr(eq + 1))};
    if (!isLong && o.Short != 0 && word[1] == o.Short) {
      if (word.size() == 2) return {&o, std::nullopt};
      if (!o.Value.empty()) return {&o, word.substr(2)};
    }
  }
  return {};
}

// The options a word may name: the common ones and the command's, or every command's while
// the command is not known yet.
std::vector<Option> OptionTable(const Command* command) {
  std::vector<Option> table = CommonOptions();
  if (command == nullptr || command->Folder != FolderUse::ReadsOnly)
    table.insert(table.end(), LockOptions().begin(), LockOptions().end());
  for (auto& [name, c] : Commands())
    if (command == nullptr || command == &c)
      table.insert(table.end(), c.Options.begin(), c.Options.end());
  return table;
}

// A number of seconds from 0 to a day.
bool ParseWait(const std::string& text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && seconds >= 0 && seconds <= 86400;
}

bool WritesInFolder(const Command& command, const Args& args) {
  if (args.Has("dry-run")) return false;
  switch (command.Folder) {
    case FolderUse::ReadsOnly:
      return false;
    case FolderUse::WritesByOutput: {
      const std::string output = command.Output ? command.Output(args) : std::string();
      return !output.empty() && LiesInside(args.Folder, output);
    }
    case FolderUse::Writes:
      break;
  }
  return true;
}

// Takes the folder's lock for the run, waiting as --wait allows; false (said on stderr) when
// it could not be had.
bool LockFolder(TFolderLock& lock, double waitSeconds) {
  const std::string folder = lock.Folder().substr(0, lock.Folder().size() - 1);
  try {
    if (lock.TryLock()) return true;
    const std::string seconds = Format("%g second%s", waitSeconds, waitSeconds == 1 ? "" : "s");
    if (waitSeconds > 0) {
      std::cerr << ErrorPrefix(folder)
                << "another run of ZelvorSound is working in this folder; waiting up to " << seconds
                << " for it to finish (--wait SECONDS)" << std::endl;
      const auto timeout = std::chrono::milliseconds(std::llround(waitSeconds * 1000));
      if (lock.Lock(timeout)) return true;
    }
    std::cerr << ErrorPrefix(folder) << "the folder is still busy with another run of ZelvorSound"
              << (waitSeconds > 0 ? " after " + seconds : std::string()) << "; nothing was done"
              << std::endl;
  } catch (const Exception& e) {
    std::cerr << ErrorPrefix(folder) << e.Message() << std::endl;
  }
  return false;
}

void Store(TCommandLine& line, const Option& o, const std::string& value) {
  if (o.Name == "--folder") {
    line.Folder = value;
  } else if (o.Name == "--help") {
    line.Help = true;
  } else if (o.Name == "--version") {
    line.Version = true;
  } else {
    auto& options = line.Arguments.Options;
    const std::string name = o.Name.substr(2);
    std::erase_if(options, [&](auto& p) { return p.first == name; });  // the last one counts
    options.emplace_back(name, value);
  }
}

}  // namespace

Register::Register(Command c) { Registry()[c.Name] = std::move(c); }

const std::map<std::string, Command>& Commands() { return Registry(); }

const std::vector<Option>& LockOptions() {
  static const std::vector<Option> options = {
      {"--wait", "SECONDS",
       "when another run works in the folder, wait up to SECONDS for it (default 60; 0: do "
       "not wait)"},
  };
  return options;
}

const std::vector<Option>& CommonOptions() {
  static const std::vector<Option> options = {
      {"--folder", "DIR",
       "work in DIR (default: $ZELVOR_FOLDER, else the current directory when it holds "
       "\"ZelvorSound.ini\", else ~/ZelvorSound for the installed command and the current "
       "directory for a copy that is not installed)"},
      {"--help", "", "show this help and exit", 'h'},
      {"--version", "", "print the program's version and exit", 'V'},
  };
  return options;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& words) {
  TCommandLine line;
  // First the command: the first word that is neither an option nor an option's value;
  // "help" before it asks for its help.
  const size_t none = words.size();
  size_t helpAt = none, commandAt = none;
  const std::vector<Option> any = OptionTable(nullptr);
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--") {
      if (i + 1 < words.size()) commandAt = i + 1;
      break;
    }
    if (IsOptionWord(words[i])) {
      const TFound f = FindOption(any, words[i]);
      if (f.Opt && !f.Opt->Value.empty() && !f.Inline) ++i;
      continue;
    }
    if (helpAt == none && words[i] == "help") {
      helpAt = i;
      line.Help = true;
      continue;
    }
    commandAt = i;
    break;
  }
  if (commandAt != none) {
    const std::string& word = words[commandAt];
    if (line.Help && word == "help") {
      line.HelpOnHelp = true;
      return line;
    }
    auto it = Commands().find(word);
    if (it == Commands().end()) {
      line.Error = "unknown command '" + PrintableText(word) + "'";
      if (const std::string near = NearestCommand(word); !near.empty())
        line.Error += "; did you mean '" + near + "'?";
      return line;
    }
    line.Cmd = &it->second;
  }

  // Then every word against the options of that command.
  const std::vector<Option> table = OptionTable(line.Cmd);
  bool optionsEnded = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (i == helpAt || i == commandAt) continue;
    if (!optionsEnded && w == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || !IsOptionWord(w)) {
      line.Arguments.Positional.push_back(w);
      continue;
    }
    const TFound f = FindOption(table, w);
    const std::string spelled = w.substr(0, w.find('='));
    if (f.Opt == nullptr) {
      line.Error = "unknown option '" + spelled + "'";
      return line;
    }
    std::string value;
    if (f.Opt->Value.empty()) {
      if (f.Inline) {
        line.Error = "option '" + spelled + "' takes no value";
        return line;
      }
    } else if (f.Inline) {
      value = *f.Inline;
    } else if (i + 1 < words.size()) {
      value = words[++i];
    } else {
      line.Error = "option '" + spelled + "' needs a value (" + f.Opt->Value + ")";
      return line;
    }
    Store(line, *f.Opt, value);
  }
  return line;
}

void ChooseFolder(const Command& command, const std::string& given, Args& args) {
  if (command.MakesFolder) {
    const std::string named = given.empty() ? EnvironmentValue("ZELVOR_FOLDER") : given;
    args.Folder = AbsoluteFolder(named);
    return;
  }
  const TProgramFolder choice = ChooseProgramFolder(given, TPortableDefault::CurrentFolder);
  args.Folder = choice.Folder;
  args.FolderMade = choice.Made;
  args.FolderError = choice.Error;
  if (!choice.Warning.empty())
    std::cerr << "zelvorsound-cli: " << command.Name << ": " << choice.Warning << std::endl;
}

std::string NearestCommand(const std::string& word) {
  // The edit distance (insertions, deletions, substitutions), row by row.
  auto distance = [](const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= b.size(); ++j) {
        const size_t above = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
        diagonal = above;
      }
    }
    return row[b.size()];
  };
  std::string nearest;
  size_t best = 3;
  std::vector<std::string> names = {"help"};
  for (auto& [name, c] : Commands()) names.push_back(name);
  for (const std::string& name : names)
    if (const size_t d = distance(word, name); d < best) {
      best = d;
      nearest = name;
    }
  return nearest;
}

int Run(const Command& command, const Args& args) {
  gRunning = &command;
  gFolder = args.Folder;
  if (!args.FolderError.empty()) {
    std::cerr << ErrorPrefix() << args.FolderError << std::endl;
    return kIOError;
  }
  const std::string folder = args.Folder.substr(0, args.Folder.size() - 1);
  namespace fs = std::filesystem;
  std::error_code ec;
  if (command.MakesFolder && !fs::exists(fs::symlink_status(folder, ec)) &&
      !fs::create_directories(folder, ec)) {
    std::cerr << ErrorPrefix(folder) << "cannot be made: " << ec.message() << std::endl;
    return kIOError;
  }
  if (!fs::is_directory(args.Folder, ec)) {
    std::cerr << ErrorPrefix(folder)
              << (fs::exists(folder, ec) ? "is not a folder" : "Folder not found")
              << " (give the program's folder with --folder DIR or ZELVOR_FOLDER)" << std::endl;
    return kIOError;
  }
  if (args.FolderMade)
    std::cerr << ErrorPrefix() << "made " << PrintableText(folder)
              << " for your prompts, with four demo prompts and a \"ZelvorSound.ini\" naming "
                 "them (--folder or ZELVOR_FOLDER chooses another folder)"
              << std::endl;
  double waitSeconds = kDefaultWaitSeconds;
  if (args.Has("wait") && !ParseWait(args.Get("wait"), waitSeconds))
    return UsageError("--wait needs a number of seconds from 0 to 86400");
  if (command.Check)
    if (const int rc = command.Check(args); rc != kOk) return rc;
  const bool writes = WritesInFolder(command, args);
  if (writes && !args.FolderMade && !std::filesystem::equivalent(folder, ".", ec))
    std::cerr << ErrorPrefix() << "working in the folder " << PrintableText(folder) << std::endl;
  if (!writes) {
    const int rc = command.Run(args);
    SyncChangedFolders();  // what it wrote outside the folder; a lock does this for the folder
    return rc;
  }
  TFolderLock lock(args.Folder);
  if (!LockFolder(lock, waitSeconds)) return kIOError;
  return command.Run(args);
}

std::string ErrorPrefix(const std::string& subject) {
  std::string prefix = "zelvorsound-cli: ";
  if (gRunning != nullptr) prefix += gRunning->Name + ": ";
  if (!subject.empty()) prefix += PrintableText(subject) + ": ";
  return prefix;
}

std::string UsageLine(const Command& command) {
  std::vector<Option> options = command.Options;
  if (command.Folder != FolderUse::ReadsOnly)
    options.insert(options.end(), LockOptions().begin(), LockOptions().end());
  options.push_back(CommonOptions().front());  // --folder
  auto spelled = [](const Option& o) {
    return (o.Short != 0 ? std::string("-") + o.Short : o.Name) +
           (o.Value.empty() ? "" : " " + o.Value);
  };
  std::string line = "Usage: zelvorsound-cli " + command.Usage;
  for (size_t i = 0; i < options.size(); ++i) {
    const Option& o = options[i];
    if ((" " + command.Usage + " ").find(" " + o.Name + " ") != std::string::npos) continue;
    if (o.Choice.empty()) {
      line += " [" + spelled(o) + "]";
      continue;
    }
    bool first = true;  // the first of its choice stands for all of them
    for (size_t j = 0; j < i; ++j) first = first && options[j].Choice != o.Choice;
    if (!first) continue;
    std::string choice;
    for (const Option& other : options)
      if (other.Choice == o.Choice) choice += (choice.empty() ? "" : " | ") + spelled(other);
    line += " [" + choice + "]";
  }
  return line;
}

int UsageError(const std::string& message) {
  std::cerr << ErrorPrefix() << message << "\n";
  if (gRunning != nullptr) std::cerr << UsageLine(*gRunning) << "\n";
  return kUsage;
}

bool Args::Has(const std::string& name) const {
  for (auto& o : Options)
    if (o.first == name) return true;
  return false;
}

std::string Args::Get(const std::string& name, const std::string& fallback) const {
  for (auto& o : Options)
    if (o.first == name) return o.second;
  return fallback;
}

void ConsoleShell::ShowMessage(const std::string& text, TMessageSeverity) {
  ++FMessages;
  std::cerr << ErrorPrefix(FSubject) << PrintableText(text) << std::endl;
}

void ConsoleShell::StatusAdd(const std::string& line) {
  std::cout << PrintableText(line) << std::endl;
}

TErrorCounter::TErrorCounter(std::string before)
    : FScope([this, before = std::move(before)](TComponent*, const std::exception& e) {
        ++FCount;
        std::cerr << before << ErrorPrefix() << e.what() << std::endl;
      }) {}

int Guarded(const std::string& subject, const std::function<int()>& f) {
  try {
    return f();
  } catch (const EInOutError& e) {
    std::cerr << ErrorPrefix(subject) << e.Message()
              << (e.ErrorCode == ioFileNotFound ? FolderHint(subject) : "") << std::endl;
  } catch (const Exception& e) {
    std::cerr << ErrorPrefix(subject) << e.Message() << std::endl;
  }
  return kIOError;
}

int Guarded(const std::function<int()>& f) { return Guarded("", f); }

Option CoderOption() {
  return {"--coder", "NAME",
          "code with the standard or the optimal coder (default: [Options] Coder= of "
          "\"ZelvorSound.ini\", else standard)"};
}

int ChooseCoder(const Args& a, TCoder& coder) {
  if (a.Has("coder")) {
    const std::optional<TCoder> given = CoderByName(a.Get("coder"));
    if (!given)
      return UsageError("unknown coder '" + a.Get("coder") + "' (--coder standard or optimal)");
    coder = *given;
    return kOk;
  }
  const TCoderChoice choice = FolderCoder(a.Folder);
  if (!choice.Warning.empty()) std::cerr << ErrorPrefix() << choice.Warning << std::endl;
  coder = choice.Coder;
  return kOk;
}

std::string ShellPath(const std::string& name) {
  if (name.empty()) return name;
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::absolute(name, ec);
  return ec ? name : path.lexically_normal().generic_string();
}

std::string InFolder(const Args& a, const std::string& name) { return a.Folder + name; }

std::string FolderHint(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (name.empty() || fs::path(name).is_absolute() || gFolder.empty() ||
      fs::exists(fs::symlink_status(name, ec)) || fs::equivalent(gFolder, ".", ec) ||
      !fs::exists(gFolder + name, ec))
    return "";
  return " (not in the current directory; the program's folder has " +
         PrintableText(gFolder + name) + ")";
}

bool OnlyInFolder(const std::string& name) {
  const std::string hint = FolderHint(name);
  if (!hint.empty()) std::cerr << ErrorPrefix(name) << "File not found" << hint << std::endl;
  return !hint.empty();
}

std::string TypedPath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path relative = fs::path(path).lexically_proximate(fs::current_path(ec));
  std::string typed = relative.empty() || *relative.begin() == ".." ? path : relative.string();
  if (typed.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                              "/._-+,:@%") == std::string::npos)
    return typed;
  std::string quoted = "'";
  for (char c : typed) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadSlot(const std::string& text, const std::string& what, int& slot) {
  const std::string wrong = ReadSlotNumber(text, slot);
  if (wrong.empty() || wrong.rfind("slot ", 0) == 0) return wrong;
  return what + " needs a slot from 0 to " + std::to_string(kSlotCount - 1) + ", not '" +
         PrintableText(text) + "'";
}

std::string SecondsText(double seconds, int decimals) {
  return Format("%.*f s", decimals, seconds);
}

Option JsonOption() {
  return {"--json", "",
          "print the result as one JSON document on stdout, and nothing else there (its keys: "
          "'zelvorsound-cli help COMMAND')"};
}

Option DryRunOption() { return {"--dry-run", "", "say what would be written, and write nothing"}; }

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace cli
