// zelvorsound-cli's command line: where options may stand, what is refused, and how every
// error names what it concerns. One row a case.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliRun.h"

namespace {

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(CliArguments, RulesAndErrorTexts) {
  TempDir dir;
  dir.Write("x.vox", "\x11\x22");
  dir.Write("p.zvd", std::string(512, '\0'));
  dir.Write("Sounds.zvd", std::string(512, '\0'));
  dir.Write(
      "c\x01"
      "d.zvd",
      std::string(512, '\0'));
  const std::string buildUsage =
      "Usage: zelvorsound-cli build [-q | -v] [--coder NAME] [--json] [--dry-run] "
      "[--wait SECONDS] [--folder DIR]\n";
  const std::string recordUsage =
      "Usage: zelvorsound-cli record FILE [--seconds N] [--format N] [--raw] [--device NAME] "
      "[--coder NAME] [--wait SECONDS] [--folder DIR]\n";
  const std::string usage = "Usage: zelvorsound-cli [--folder DIR] COMMAND [OPTION]... [ARG]...\n";
  const std::string installed = "ZELVOR_INSTALLED=1 HOME={dir}home";
  struct TRow {
    std::string Args;  // {dir} stands for the folder
    int Code;
    std::string Err = "";  // the start of stderr
    std::string Out = "";  // found in stdout
    std::string Env = "";  // run in {dir} unless it says "-C"
  };
  const std::vector<TRow> rows = {
      // The folder: --folder, else ZELVOR_FOLDER, else the current directory when it holds
      // "ZelvorSound.ini", else ~/ZelvorSound for the installed command and the current
      // directory for another; relative ones from the current directory. A command that
      // writes says where, once, when that is not the current directory; demo makes it.
      {"demo --folder ../given", 0, "zelvorsound-cli: demo: working in the folder {dir}given\n",
       "wrote {dir}given/", "-C {dir}cwd ZELVOR_FOLDER=../env"},
      {"demo", 0, "zelvorsound-cli: demo: working in the folder {dir}env\n", "wrote {dir}env/",
       "-C {dir}cwd ZELVOR_FOLDER=../env"},
      {"demo", 0, "", "wrote {dir}cwd/", "-C {dir}cwd ZELVOR_FOLDER="},
      {"demo", 0, "", "\"{dir}cwd/ZelvorSound.ini\" exists already",
       "-C {dir}cwd -u ZELVOR_FOLDER"},
      {"demo", 0, "zelvorsound-cli: demo: working in the folder {dir}new/made\n",
       "wrote {dir}new/made/ZelvorSound.ini", "-C {dir}cwd ZELVOR_FOLDER=../new/made"},
      {"build -q", 0, "zelvorsound-cli: build: 4 sounds packed", "", "-C {dir}cwd " + installed},
      {"build -q", 0,
       "zelvorsound-cli: build: made {dir}home/ZelvorSound for your prompts, with four demo "
       "prompts",
       "", "-C {dir}given/demo " + installed},
      {"build -q", 0, "zelvorsound-cli: build: working in the folder {dir}home/ZelvorSound\n", "",
       "-C {dir}given/demo " + installed},
      {"list", 0, "", "total: 4 sounds", "-C {dir}given/demo " + installed},
      {"list", 2, "zelvorsound-cli: list: {dir}given/demo/Sounds.zvd: File not found\n", "",
       "-C {dir}given/demo"},
      {"list", 2, "zelvorsound-cli: list: HOME is not set", "",
       "-C {dir}given/demo -u HOME ZELVOR_INSTALLED=1"},
      // Paths on the command line are the shell's; a name that lies in the folder instead
      // is said to be there.
      {"--folder {dir}given list p.zvd", 0, "", "total: 0 sounds"},
      {"list p.zvd", 2,
       "zelvorsound-cli: list: p.zvd: File not found (not in the current directory; the "
       "program's folder has {dir}p.zvd)\n",
       "", "-C {dir}cwd ZELVOR_FOLDER={dir}"},
      {"record f/r.wav --folder f --seconds 0.1", 1,
       "zelvorsound-cli: record: working in the folder {dir}f\n", "into {dir}f/r.wav"},
      {"decode x.vox -o out/y.wav --folder given", 0,
       "zelvorsound-cli: decode: working in the folder {dir}given\n", "wrote {dir}out/y.wav"},
      // Options before or after the command; a package defaults to the folder's.
      {"--folder {dir} list p.zvd", 0, "", "total: 0 sounds"},
      {"list p.zvd --folder={dir}", 0, "", "total: 0 sounds"},
      {"list", 0, "", "total: 0 sounds"},
      {"test", 0, "", "played 0 sounds"},
      {"-o {dir}y.wav decode --folder {dir} -- x.vox", 0, "", "wrote {dir}y.wav"},
      {"decode x.vox -o x.vox --folder {dir}", 64,
       "zelvorsound-cli: decode: x.vox would be overwritten by its own decoding"},
      {"extract p.zvd 0 p.zvd --folder {dir}", 64,
       "zelvorsound-cli: extract: p.zvd would be overwritten"},
      // JSON: one document, every control character escaped.
      {"list \"$(printf 'c\\001d.zvd')\" --json", 0, "",
       "{\"package\":\"{dir}c\\u0001d.zvd\",\"slots\":[],"},
      {"report --json", 0, "", "\"slots\":[],\"empty\":[0,1,2,"},
      {"build --json --dry-run", 0, "zelvorsound-cli: build: no \"ZelvorSound.ini\"",
       "{\"package\":\"{dir}Sounds.zvd\",\"dry_run\":true,\"packed\":0,"},
      // Help and version.
      {"--version", 0, "", "zelvorsound-cli 1.0.0.1\n"},
      {"build -V", 0, "", "zelvorsound-cli 1.0.0.1\n"},
      {"--help", 0, "", "\n  2                       not done: a file or device error"},
      {"-h", 0, "", "ZELVOR_INSTALLED"},
      {"help build", 0, "", buildUsage},
      {"help help", 0, "", "Usage: zelvorsound-cli help [COMMAND]\n"},
      {"build --help", 0, "", "  -q, --quiet "},
      {"-h record", 0, "", recordUsage},
      {"help say", 0, "",
       "Usage: zelvorsound-cli say TEXT --slot N [--name NAME] [--loudness LUFS | --peak DB | "
       "--no-normalize] [--force] [--coder NAME] [--dry-run] [--voice V] [--speed WPM] "
       "[--wait SECONDS] [--folder DIR]\n"},
      // Refused lines: exit 64, the message, the usage line.
      {"", 64, usage},
      {"frobnicate", 64, "zelvorsound-cli: unknown command 'frobnicate'\n" + usage},
      {"bild", 64, "zelvorsound-cli: unknown command 'bild'; did you mean 'build'?\n" + usage},
      {"hlep", 64, "zelvorsound-cli: unknown command 'hlep'; did you mean 'help'?\n"},
      {"help frobnicate", 64, "zelvorsound-cli: unknown command 'frobnicate'\n"},
      {"--frobnicate build", 64,
       "zelvorsound-cli: build: unknown option '--frobnicate'\n" + buildUsage},
      {"build -v --quiet", 64, "zelvorsound-cli: build: -q and -v: give one\n" + buildUsage},
      {"build --quiet=yes", 64, "zelvorsound-cli: build: option '--quiet' takes no value\n"},
      {"build extra", 64, "zelvorsound-cli: build: takes no file names"},
      {"build --folder", 64, "zelvorsound-cli: build: option '--folder' needs a value (DIR)\n"},
      {"record a.wav --seconds", 64,
       "zelvorsound-cli: record: option '--seconds' needs a value (N)\n" + recordUsage},
      {"record", 64, "zelvorsound-cli: record: needs exactly one FILE"},
      {"record a.wav --format 21", 64, "zelvorsound-cli: record: --format needs a format number"},
      {"record a.wav --format x", 64, "zelvorsound-cli: record: --format needs a format number"},
      {"record a.wav --seconds 0", 64, "zelvorsound-cli: record: --seconds needs a number"},
      {"record a.wav --seconds -3", 64, "zelvorsound-cli: record: --seconds needs a number"},
      {"record a.wav --format 15", 64,
       "zelvorsound-cli: record: --format 15 records PCM 44.100 kHz, 16 Bit, Mono, which cannot "
       "be coded"},
      {"play", 64, "zelvorsound-cli: play: needs exactly one FILE"},
      {"play --slot 128", 64, "zelvorsound-cli: play: slot 128 is not between 0 and 127\n"},
      {"play --slot x", 64, "zelvorsound-cli: play: --slot needs a slot from 0 to 127, not 'x'\n"},
      {"play --slot 1 p.zvd x.zvd --folder {dir}", 64, "zelvorsound-cli: play: --slot N plays"},
      {"play --slot 3 p.zvd --folder {dir}", 1, "zelvorsound-cli: play: p.zvd: slot 3 holds no"},
      {"play none.vox --folder {dir}", 2, "zelvorsound-cli: play: none.vox: File not found\n"},
      {"build --coder fast --folder {dir}", 64, "zelvorsound-cli: build: unknown coder 'fast'"},
      {"convert a.wav --coder= --folder {dir}", 64, "zelvorsound-cli: convert: unknown coder ''"},
      {"import a.wav --slot 0 --peak -3 --no-normalize", 64,
       "zelvorsound-cli: import: --loudness, --peak and --no-normalize each choose"},
      {"say hi --slot 0 --loudness -16 --peak -1", 64, "zelvorsound-cli: say: --loudness, --peak"},
      {"say hi --slot 300", 64, "zelvorsound-cli: say: slot 300 is not between 0 and 127\n"},
      {"import a.wav --slot 0 --loudness -4", 64,
       "zelvorsound-cli: import: --loudness needs a loudness from -40 to -5 LUFS, not '-4'"},
      {"extract p.zvd 200 x.wav", 64,
       "zelvorsound-cli: extract: slot 200 is not between 0 and 127\nUsage: zelvorsound-cli "
       "extract PACKAGE SLOT OUT.wav"},
      {"extract p.zvd 0", 64, "zelvorsound-cli: extract: needs a PACKAGE, a SLOT"},
      // Errors name the command and what they concern.
      {"test none.zvd --folder {dir}", 2, "zelvorsound-cli: test: none.zvd: File not found\n"},
      {"decode x.vox -o no/such/y.wav --folder {dir}", 2,
       "zelvorsound-cli: decode: no/such/y.wav: File not found\n"},
      {"build --folder {dir}none", 2, "zelvorsound-cli: build: {dir}none: Folder not found"},
      {"list p.zvd", 2, "zelvorsound-cli: list: {dir}none: Folder not found", "",
       "ZELVOR_FOLDER={dir}none"},
  };
  for (const char* sub : {"given", "cwd", "f", "out", "home"})
    std::filesystem::create_directory(dir.Path(sub));
  const std::string folder = dir.Folder();
  for (const TRow& row : rows) {
    const std::string env =
        row.Env.find("-C ") == std::string::npos ? "-C {dir} " + row.Env : row.Env;
    const TRun r =
        RunCli(Replaced(row.Args, "{dir}", Quote(folder)), Replaced(env, "{dir}", Quote(folder)));
    const std::string err = Replaced(row.Err, "{dir}", folder);
    EXPECT_EQ(r.Code, row.Code) << row.Args << "\n" << r.Err;
    EXPECT_EQ(r.Err.substr(0, err.size()), err) << row.Args;
    if (err.empty()) {
      EXPECT_EQ(r.Err, "") << row.Args;
    }
    EXPECT_NE(r.Out.find(Replaced(row.Out, "{dir}", folder)), std::string::npos) << row.Args << "\n"
                                                                                 << r.Out;
  }
  EXPECT_FALSE(dir.Exists("a.wav"));  // nothing refused was recorded
}

// Every option a command takes is in its usage line, and the program's help names each
// option of the commands once.
TEST(CliArguments, UsageLinesListEveryOptionAndTheHelpEachOnce) {
  const TRun help = RunCli("--help");
  std::vector<std::string> commands;
  for (size_t at = help.Out.find("Commands:\n") + 10; help.Out.compare(at, 2, "  ") == 0;) {
    const size_t end = help.Out.find('\n', at);
    const std::string line = help.Out.substr(at, end - at);
    if (line[2] != ' ') commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    at = end + 1;
  }
  ASSERT_GT(commands.size(), 14u) << help.Out;
  for (const std::string& command : commands) {
    if (command == "help") continue;
    const std::string text = RunCli("help " + command).Out;
    const std::string usage = text.substr(0, text.find('\n'));
    std::set<std::string> words;  // the usage line's words, without its brackets and bars
    std::istringstream spelled(std::regex_replace(usage, std::regex(R"([\[\]|])"), " "));
    for (std::string w; spelled >> w;) words.insert(w);
    const size_t options = text.find("\nOptions:\n");
    ASSERT_NE(options, std::string::npos) << command;
    std::istringstream lines(text.substr(options));
    for (std::string line; std::getline(lines, line);) {
      const size_t dash = line.find_first_not_of(' ');
      if (dash == std::string::npos || dash > 6 || line[dash] != '-') continue;  // text
      const std::string column = line.substr(dash, line.find("  ", dash) - dash);
      const std::string shortForm = column[1] != '-' ? column.substr(0, 2) : "";
      std::string name = column.substr(column.find("--"));
      name = name.substr(0, name.find(' '));
      if (name == "--help" || name == "--version") continue;
      const bool listed = words.count(name) > 0 || words.count(shortForm) > 0;
      EXPECT_TRUE(listed) << command << ": " << name << " not in " << usage;
    }
  }
  const std::string options = help.Out.substr(help.Out.find("\nCommand options"));
  for (const char* option : {"--device NAME ", "--coder NAME ", "--slot N ", "--json "})
    EXPECT_EQ(options.find(option), options.rfind(option)) << option;
}

// The completion asks the program for its commands and options, so the rows follow them.
TEST(CliArguments, BashCompletionOffersCommandsAndOptions) {
  const std::string program = ZS_CLI_PATH;
  const std::string completion = program.substr(0, program.rfind('/') + 1) + "zelvorsound-cli.bash";
  struct TRow {
    std::string Words;  // the line so far; the last word is being completed
    std::string Offered;
  };
  const std::vector<TRow> rows = {
      {"bu", "build"},
      {"de", "decode demo devices"},
      {"help ex", "extract"},
      {"--folder /tmp b", "build"},
      {"pro", "prompts"},
      {"build --q", "--quiet"},
      {"--folder /tmp record x.wav --",
       "--seconds --format --raw --device --coder --wait --folder --help --version"},
      {"decode -", "-o --output --wait --folder -h --help -V --version"},
      {"list -", "--json --folder -h --help -V --version"},  // reads only: no lock to wait for
      {"record x.wav --format ", ""},
      {"build --coder ", "standard optimal"},
      {"say hi --slot n", "next"},
  };
  for (const TRow& row : rows) {
    TempDir io;
    const std::string script = ". " + Quote(completion) + "\nCOMP_WORDS=(" + Quote(program) + " " +
                               row.Words + (row.Words.back() == ' ' ? "''" : "") +
                               ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_zelvorsound_cli\n"
                               "echo \"${COMPREPLY[*]}\"\n";
    io.Write("run.sh", script);
    const std::string cmd = "bash " + Quote(io.Path("run.sh")) + " >" + Quote(io.Path("out"));
    ASSERT_EQ(std::system(cmd.c_str()), 0) << row.Words;
    EXPECT_EQ(io.Read("out"), row.Offered + "\n") << row.Words;
  }
}

}  // namespace
