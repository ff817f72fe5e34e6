// zelvorsound-cli's command line: where options may stand, what is refused, and how every
// error names what it concerns. One row a case.
#include <gtest/gtest.h>

#include <filesystem>
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
  const std::string buildUsage =
      "Usage: zelvorsound-cli build [-q] [--coder NAME] [--folder DIR]\n";
  const std::string recordUsage =
      "Usage: zelvorsound-cli record FILE [--seconds N] [--format N] [--raw] [--device NAME] "
      "[--coder NAME] [--folder DIR]\n";
  const std::string usage = "Usage: zelvorsound-cli [--folder DIR] COMMAND [OPTION]... [ARG]...\n";
  struct TRow {
    std::string Args;  // {dir} stands for the folder
    int Code;
    std::string Err = "";  // the start of stderr
    std::string Out = "";  // found in stdout
    std::string Env = "";
  };
  const std::vector<TRow> rows = {
      // The folder: --folder, else ZELVOR_FOLDER (the installed command sets it), else the
      // current directory, which scripts rely on; relative ones from the current directory.
      {"demo --folder ../given", 0, "", "wrote {dir}given/", "-C {dir}cwd ZELVOR_FOLDER=../env"},
      {"demo", 0, "", "wrote {dir}env/", "-C {dir}cwd ZELVOR_FOLDER=../env"},
      {"demo", 0, "", "wrote {dir}cwd/", "-C {dir}cwd ZELVOR_FOLDER="},
      {"demo", 0, "", "\"{dir}cwd/ZelvorSound.ini\" exists already",
       "-C {dir}cwd -u ZELVOR_FOLDER"},
      // Options before or after the command.
      {"--folder {dir} list p.zvd", 0, "", "total: 0 sounds"},
      {"list --folder {dir} p.zvd", 0, "", "total: 0 sounds"},
      {"list p.zvd --folder={dir}", 0, "", "total: 0 sounds"},
      {"-o {dir}y.wav decode --folder {dir} -- x.vox", 0, "", "wrote {dir}y.wav"},
      {"decode x.vox -o x.vox --folder {dir}", 64,
       "zelvorsound-cli: decode: x.vox would be overwritten by its own decoding"},
      {"extract p.zvd 0 p.zvd --folder {dir}", 64,
       "zelvorsound-cli: extract: p.zvd would be overwritten"},
      // Help and version.
      {"--version", 0, "", "zelvorsound-cli 1.0.0.1\n"},
      {"build -V", 0, "", "zelvorsound-cli 1.0.0.1\n"},
      {"--help", 0, "", "\nExit status:\n"},
      {"-h", 0, "", "ZELVOR_VIRTUAL_PACING"},
      {"help build", 0, "", buildUsage},
      {"build --help", 0, "", "  -q, --quiet "},
      {"-h record", 0, "", recordUsage},
      // Refused lines: exit 64, the message, the usage line.
      {"", 64, usage},
      {"frobnicate", 64, "zelvorsound-cli: unknown command 'frobnicate'\n" + usage},
      {"help frobnicate", 64, "zelvorsound-cli: unknown command 'frobnicate'\n"},
      {"--frobnicate build", 64,
       "zelvorsound-cli: build: unknown option '--frobnicate'\n" + buildUsage},
      {"build --verbose", 64, "zelvorsound-cli: build: unknown option '--verbose'\n" + buildUsage},
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
      {"play --slot 128 --folder {dir}", 64, "zelvorsound-cli: play: --slot needs a slot"},
      {"play --slot 1 p.zvd x.zvd --folder {dir}", 64, "zelvorsound-cli: play: --slot N plays"},
      {"play --slot 3 p.zvd --folder {dir}", 1, "zelvorsound-cli: play: p.zvd: slot 3 holds no"},
      {"play none.vox --folder {dir}", 2, "zelvorsound-cli: play: none.vox: File not found\n"},
      {"build --coder fast --folder {dir}", 64, "zelvorsound-cli: build: unknown coder 'fast'"},
      {"convert a.wav --coder= --folder {dir}", 64, "zelvorsound-cli: convert: unknown coder ''"},
      {"import a.wav --slot 0 --peak -3 --no-normalize", 64,
       "zelvorsound-cli: import: --loudness, --peak and --no-normalize each choose"},
      {"say hi --slot 0 --loudness -16 --peak -1", 64, "zelvorsound-cli: say: --loudness, --peak"},
      {"import a.wav --slot 0 --loudness -4", 64,
       "zelvorsound-cli: import: --loudness needs a loudness from -40 to -5 LUFS, not '-4'"},
      {"extract p.zvd 128 x.wav", 64, "zelvorsound-cli: extract: needs a PACKAGE, a SLOT"},
      // Errors name the command and what they concern.
      {"test none.zvd --folder {dir}", 2, "zelvorsound-cli: test: none.zvd: File not found\n"},
      {"decode x.vox -o no/such/y.wav --folder {dir}", 2,
       "zelvorsound-cli: decode: no/such/y.wav: File not found\n"},
      {"build --folder {dir}none", 2, "zelvorsound-cli: build: {dir}none: Folder not found"},
      {"list p.zvd", 2, "zelvorsound-cli: list: {dir}none: Folder not found", "",
       "ZELVOR_FOLDER={dir}none"},
  };
  for (const char* sub : {"given", "env", "cwd"}) std::filesystem::create_directory(dir.Path(sub));
  const std::string folder = dir.Folder();
  for (const TRow& row : rows) {
    const TRun r = RunCli(Replaced(row.Args, "{dir}", Quote(folder)),
                          Replaced(row.Env, "{dir}", Quote(folder)));
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
      {"build --q", "--quiet"},
      {"--folder /tmp record x.wav --",
       "--seconds --format --raw --device --coder --wait --folder --help --version"},
      {"decode -", "-o --output --wait --folder -h --help -V --version"},
      {"list -", "--folder -h --help -V --version"},  // reads only: no lock to wait for
      {"record x.wav --format ", ""},
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
