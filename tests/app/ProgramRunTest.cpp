// The program as a user starts it: without a display, and under a real X server.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "EnvVar.h"
#include "TempDir.h"
#include "app/Application.h"
#include "platform/files.h"

namespace {

struct TRun {
  int Status = -1;
  std::string Output;
};

TRun RunCommand(const std::string& command) {
  TRun r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.Output.append(buf, n);
  int st = ::pclose(p);
  r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

TEST(NoDisplay, ReasonNamesTheHeadlessWays) {
  TEnvVar qpa("QT_QPA_PLATFORM", nullptr), display("DISPLAY", nullptr),
      wayland("WAYLAND_DISPLAY", nullptr);
  std::optional<std::string> reason = NoDisplayReason();
  ASSERT_TRUE(reason);
  EXPECT_EQ(reason->find('\n'), std::string::npos);
  EXPECT_NE(reason->find("QT_QPA_PLATFORM=offscreen"), std::string::npos);
  EXPECT_NE(reason->find("zelvorsound-cli"), std::string::npos);
  {
    TEnvVar dead("DISPLAY", ":987");  // nobody listens there
    EXPECT_TRUE(NoDisplayReason());
  }
  {
    TEnvVar junk("DISPLAY", ":x");
    EXPECT_TRUE(NoDisplayReason());
  }
  TEnvVar chosen("QT_QPA_PLATFORM", "offscreen");
  EXPECT_FALSE(NoDisplayReason());
}

TEST(NoDisplay, ProgramPrintsOneLineAndEnds) {
  TRun r = RunCommand("timeout 30 env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                      Quoted(ZS_APP_PATH));
  EXPECT_EQ(r.Status, 2) << r.Output;
  ASSERT_FALSE(r.Output.empty());
  EXPECT_EQ(r.Output.find('\n'), r.Output.size() - 1) << r.Output;  // exactly one line
  EXPECT_NE(r.Output.find("no display"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("QT_QPA_PLATFORM=offscreen"), std::string::npos);

  TRun dead = RunCommand("timeout 30 env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:987 " +
                         Quoted(ZS_APP_PATH));
  EXPECT_EQ(dead.Status, 2) << dead.Output;
  EXPECT_EQ(dead.Output.find('\n'), dead.Output.size() - 1) << dead.Output;
}

TEST(NoDisplay, DisplayThatFailsToOpenGivesTheSameOneLine) {
  // Looks like a display on another host, so only the toolkit finds out; nothing listens.
  TRun r = RunCommand("timeout 60 env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=127.0.0.1:87 " +
                      Quoted(ZS_APP_PATH));
  EXPECT_EQ(r.Status, 2) << r.Output;
  EXPECT_NE(r.Output.find("no display"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("QT_QPA_PLATFORM=offscreen"), std::string::npos) << r.Output;
  EXPECT_EQ(r.Output.find('\n'), r.Output.size() - 1) << r.Output;  // exactly one line
}

// A copy in a folder of its own keeps its files beside itself; given ZELVOR_FOLDER, the
// program where it lies keeps them in that folder.
TEST(UnderXServer, CaptionClientSizeAndCloseWritesTheNames) {
  TempDir chosen;
  for (std::string folder : {std::string(), chosen.Folder()}) {
    TRun r =
        RunCommand("timeout 120 " + Quoted(std::string(ZS_SOURCE_DIR) + "/scripts/xvfb-check.sh") +
                   " " + Quoted(ZS_APP_PATH) + (folder.empty() ? "" : " " + Quoted(folder)));
    if (r.Status == 77) GTEST_SKIP() << r.Output;
    EXPECT_EQ(r.Status, 0) << r.Output;
    EXPECT_NE(r.Output.find("PASS"), std::string::npos) << r.Output;
  }
  EXPECT_TRUE(chosen.Exists("ZelvorSound.ini"));
}

// Every misuse of the window's command line, and what it answers without a display: the exit
// code and what its output holds.
TEST(CommandLine, AnswersAndMisuse) {
  TempDir dir;
  const std::string file = dir.Write("a file", "x");
  const struct {
    std::string Env, Args;
    int Status;
    std::string Says;
  } rows[] = {
      {"", "--version", 0, "zelvorsound " ZS_VERSION "\n"},
      {"", "--help", 0, "--folder DIR"},
      {"", "--folder", 64, "zelvorsound: --folder needs a folder"},
      {"", "--folder=", 64, "zelvorsound: --folder needs a folder"},
      {"", "--folder /no/such/folder", 2, "\"/no/such/folder\" (--folder) does not exist"},
      {"", "--folder " + Quoted(file), 2, "\"" + file + "\" (--folder) is not a folder"},
      {"ZELVOR_FOLDER=/no/such/folder", "", 2, "(ZELVOR_FOLDER) does not exist"},
      {"ZELVOR_FOLDER=/no/such/folder", "--help", 0, "Usage: zelvorsound"},
      {"", "--bogus", 64, "zelvorsound: unknown argument '--bogus'"},
      {"", "--folder " + Quoted(dir.Folder()) + " stray", 64, "unknown argument 'stray'"},
  };
  for (const auto& row : rows) {
    // Without a display, so a row that got past its check could not open a window.
    TRun r = RunCommand("timeout 60 env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=minimal " +
                        row.Env + " " + Quoted(ZS_APP_PATH) + " " + row.Args);
    EXPECT_EQ(r.Status, row.Status) << row.Args << ": " << r.Output;
    EXPECT_NE(r.Output.find(row.Says), std::string::npos) << row.Args << ": " << r.Output;
  }
}

TEST(CommandLine, FolderGivenBeatsZelvorFolderBeatsTheExecutables) {
  TempDir dir;
  const std::string cwd = std::filesystem::current_path().string() + "/";
  {
    TEnvVar none("ZELVOR_FOLDER", nullptr);
    EXPECT_EQ(ChooseFolder("").Folder, ExeFolder());
  }
  TEnvVar env("ZELVOR_FOLDER", dir.Folder().c_str());
  TFolderChoice fromEnv = ChooseFolder("");
  EXPECT_EQ(fromEnv.Folder, dir.Folder());
  EXPECT_EQ(fromEnv.Error, "");
  EXPECT_EQ(ChooseFolder(".").Folder, cwd);
  EXPECT_EQ(ChooseFolder(dir.Path("sub/..")).Folder, dir.Folder());
}

}  // namespace
