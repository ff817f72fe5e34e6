// Every command writes the safe way. Whatever goes wrong while it writes (a full disk, a
// name that is a link to a file outside the folder, the program killed in the middle), the
// file under each name is the old one byte for byte, nothing outside the folder changes, and
// no temporary file is left once the next run has held the folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <vector>

#include "cli/CliRun.h"
#include "codec/CodecTestKit.h"

namespace {

namespace fs = std::filesystem;

std::string Loud(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 16 < 8 ? 224 : 32);
  return s;
}

// A process number that is certainly not running: one that has just ended.
int EndedProcess() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

// Files that a write leaves only when it did not finish: every temporary name there is.
std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> found;
  for (auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(".zelvor-", 0) == 0 || name.rfind(".import-", 0) == 0 ||
        name.find("building") != std::string::npos)
      found.push_back(fs::relative(e.path(), folder).string());
  }
  return found;
}

// A folder as a user has it after a first build and a review page; the build also finds a
// source outside the folder and a "WAV Export" that leads outside, which it must not use.
struct TFolder {
  TempDir Dir;
  std::string F = Dir.Path("f") + "/", Outside = Dir.Path("outside") + "/";
  std::map<std::string, std::string> Old;  // what every watched file held before

  TFolder() {
    fs::create_directories(Outside + "export");
    fs::create_directory(F);
    RunCli("demo --folder " + Quote(F));
    fs::remove_all(F + "WAV Export");
    fs::create_directory_symlink(Outside + "export", F + "WAV Export");
    Dir.Write("outside/ext.wav", MakeTake(Loud(900)));
    std::string ini = Dir.Read("f/ZelvorSound.ini");
    ini.insert(ini.find("Name4=NONE"), "Name5=..\\outside\\ext.wav\n");
    Dir.Write("f/ZelvorSound.ini", ini);
    Dir.Write("f/t.wav", MakeTake(Loud(8000)));
    RunCli("build -q --folder " + Quote(F));
    RunCli("report --folder " + Quote(F));
    // A package that no build makes again, that still reads as a package.
    Dir.Write("f/Sounds.zvd", Dir.Read("f/Sounds.zvd") + "OLD!");
    for (const char* name : {"testvox.wav", "mine.wav", "x.wav", "out.vox", "out.wav", "t.vox",
                             "New9.WAV", "New9.vox", "out.dat", "temp2.tmp"})
      Dir.Write(std::string("f/") + name, std::string("old ") + name);
  }
  std::string Read(const std::string& name) const { return Dir.Read("f/" + name); }
};

struct TRow {
  TRow(std::string what, std::string args, std::vector<std::string> outputs,
       std::vector<std::string> links, int code = 0, std::string env = "")
      : What(std::move(what)),
        Args(std::move(args)),
        Outputs(std::move(outputs)),
        Links(std::move(links)),
        Code(code),
        Env(std::move(env)) {}
  std::string What, Args;
  std::vector<std::string> Outputs;  // watched; Links are made links to copies outside
  std::vector<std::string> Links;
  int Code;  // of a run that nothing disturbs
  std::string Env;
};

}  // namespace

TEST(WritePaths, AFailedOrKilledWriteLeavesTheOldFileAndALinkIsReplacedNotWrittenThrough) {
  const std::vector<TRow> rows = {
      {"build", "build -q", {"Sounds.zvd", "temp2.tmp", "out.dat"}, {"temp2.tmp", "out.dat"}, 1},
      {"decode", "decode demo/twotone-8k.vox", {"testvox.wav"}, {"testvox.wav"}},
      {"decode -o", "decode demo/twotone-8k.vox -o mine.wav", {"mine.wav"}, {"mine.wav"}},
      {"extract", "extract Sounds.zvd 2 x.wav", {"x.wav"}, {"x.wav"}},
      {"take", "take t.wav", {"t.wav", "t.vox", "out.dat"}, {"t.vox", "out.dat"}},
      {"loopback", "loopback t.wav", {"out.vox", "out.wav"}, {"out.vox", "out.wav"}},
      {"convert",
       "convert demo/twotone-8k.wav",
       {"demo/twotone-8k.vox", "out.dat"},
       {"demo/twotone-8k.vox"}},
      // A source is taken where the shell stands: "@" stands for the folder.
      {"import",
       "import @demo/twotone-8k.wav --slot 9 --name New9 --force",
       {"New9.WAV", "New9.vox", "ZelvorSound.ini", "out.dat"},
       {"New9.WAV", "New9.vox", "ZelvorSound.ini"}},
      {"report", "report", {"Sounds.html"}, {"Sounds.html"}},
      {"test",
       "test Sounds.zvd",
       {"testvox.wav"},
       {"testvox.wav"},
       0,
       "ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_PACING=fast"},
  };
  // ulimit -f 4: a file may grow to 4 KiB; beyond, a write fails (SIGXFSZ ignored: "Disk
  // full") or the kernel kills the program in the middle of it (SIGXFSZ, as a kill would).
  const std::string full = "bash -c 'trap \"\" XFSZ; ulimit -c 0 -f 4; exec \"$@\"' limited";
  const std::string killed = "bash -c 'ulimit -c 0 -f 4; exec \"$@\"' limited";
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.What);
    TFolder f;
    const int ended = EndedProcess();
    // Left by runs killed before: this version's, an earlier version's, and one of a run
    // that still works (this test), which must stay.
    const std::vector<std::string> stray = {".zelvor-" + std::to_string(ended) + "-3.tmp",
                                            "demo/.zelvor-" + std::to_string(ended) + "-4.tmp",
                                            ".import-" + std::to_string(ended) + ".f32"};
    const std::string live = ".zelvor-" + std::to_string(::getpid()) + "-1.tmp";
    for (const std::string& s : stray) f.Dir.Write("f/" + s, "half");
    f.Dir.Write("f/" + live, "busy");
    std::map<std::string, std::string> before;
    for (const std::string& name : row.Outputs) before[name] = f.Read(name);
    std::string args = row.Args + " --folder " + Quote(f.F);
    if (const size_t at = args.find('@'); at != std::string::npos) args.replace(at, 1, f.F);
    const std::string env = "-C " + Quote(f.F) + " " + row.Env;  // where the user stands

    for (const auto& [wrapper, code] : {std::pair{full, 2}, std::pair{killed, 128 + SIGXFSZ}}) {
      const TRun r = RunCli(args, env, wrapper);
      EXPECT_EQ(r.Code, code) << r.Err;
      if (code == 2) {
        EXPECT_NE(r.Err.find("Disk full"), std::string::npos) << r.Err;
      }
      for (const std::string& name : row.Outputs) EXPECT_EQ(f.Read(name), before[name]) << name;
    }

    for (const std::string& name : row.Links) {
      const std::string copy = f.Outside + fs::path(name).filename().string();
      f.Dir.Write("outside/" + fs::path(name).filename().string(), before[name]);
      fs::remove(f.F + name);
      fs::create_symlink(copy, f.F + name);
    }
    const TRun r = RunCli(args, env);
    EXPECT_EQ(r.Code, row.Code) << r.Err;
    for (const std::string& name : row.Links) {
      EXPECT_EQ(f.Dir.Read("outside/" + fs::path(name).filename().string()), before[name]) << name;
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(f.F + name))) << name << " still a link";
    }
    EXPECT_TRUE(fs::is_empty(f.Outside + "export"));
    EXPECT_EQ(f.Dir.Read("outside/ext.wav"), MakeTake(Loud(900)));

    // The next run that holds the folder takes away what the killed ones left.
    EXPECT_EQ(RunCli("build -q --folder " + Quote(f.F)).Code, 1);
    EXPECT_EQ(Leftovers(f.F), std::vector<std::string>{live});
  }
}

TEST(WritePaths, TheBuildRefusesSourcesAndCopiesThatLeaveTheFolder) {
  TFolder f;
  const TRun r = RunCli("build --folder " + Quote(f.F));
  EXPECT_EQ(r.Code, 1);
  const std::string processing = "Processing  from ../outside/ext.wav\n";
  EXPECT_NE(r.Out.find(processing +
                       "Warning: source \"..\\outside\\ext.wav\" refused: it lies outside the "
                       "program's folder\n"),
            std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("Warning: destination \"Beep\" refused: \"WAV Export\" lies outside the "
                       "program's folder\n"),
            std::string::npos)
      << r.Out;
  EXPECT_NE(r.Err.find("1 source refused as outside the folder (..\\outside\\ext.wav)"),
            std::string::npos)
      << r.Err;
  EXPECT_FALSE(f.Dir.Exists("outside/ext.vox"));
}
