// One run works in a folder at a time: builds started together take turns and each leaves
// the right package; a run that finds the folder busy says so once and waits for as long
// as --wait allows (that the wait sleeps in the kernel is shown in tests/platform); the
// commands that only read never wait.
#include <gtest/gtest.h>

#include <string>

#include "cli/CliRun.h"
#include "platform/folderlock.h"

namespace {

TEST(FolderLockCli, BuildsStartedTogetherEachLeaveTheRightPackage) {
  TempDir dir;
  ASSERT_EQ(RunCliIn(dir, "demo").Code, 0);
  ASSERT_EQ(RunCliIn(dir, "build -q").Code, 0);
  const std::string package = dir.Read("Sounds.zvd");
  ASSERT_GT(package.size(), 512u);
  // Four builds at once, eight rounds; after each round every build has exited 0 and the
  // package and the ".vox" files are what one build alone makes.
  const std::string script =
      "for round in 1 2 3 4 5 6 7 8; do\n"
      "  for i in 1 2 3 4; do " +
      Quote(ZS_CLI_PATH) + " build -q --folder " + Quote(dir.Folder()) +
      " >/dev/null 2>&1 & done\n"
      "  for job in $(jobs -p); do wait $job || echo \"round $round: a build failed\"; done\n"
      "  cmp -s Sounds.zvd " +
      Quote(dir.Path("expected.zvd")) +
      " || echo \"round $round: wrong package\"\n"
      "done\n";
  dir.Write("expected.zvd", package);
  dir.Write("rounds.sh", script);
  const std::string cmd = "cd " + Quote(dir.Folder()) + " && bash rounds.sh >" +
                          Quote(dir.Path("rounds.out")) + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(dir.Read("rounds.out"), "");
  EXPECT_TRUE(dir.Read("Sounds.zvd") == package) << "the last build left another package";
}

TEST(FolderLockCli, ABusyFolderIsWaitedForThenGivenUp) {
  TempDir dir;
  ASSERT_EQ(RunCliIn(dir, "demo").Code, 0);
  TFolderLock other(dir.Folder());  // another run working in the folder
  ASSERT_TRUE(other.TryLock());
  const TRun waited = RunCliIn(dir, "build --wait 2");
  EXPECT_EQ(waited.Code, 2);
  const std::string folder = dir.Folder().substr(0, dir.Folder().size() - 1);
  EXPECT_EQ(waited.Err,
            "zelvorsound-cli: build: " + folder +
                ": another run of ZelvorSound is working in this folder; waiting up to 2 "
                "seconds for it to finish (--wait SECONDS)\n"
                "zelvorsound-cli: build: " +
                folder +
                ": the folder is still busy with another run of ZelvorSound after 2 seconds; "
                "nothing was done\n");
  EXPECT_FALSE(dir.Exists("Sounds.zvd")) << "nothing was done";

  // Every command that writes in the folder waits; --wait 0 gives up at once. Those that
  // only read, and an extract whose output lies elsewhere, go ahead.
  const struct {
    std::string Args;
    int Code;
    bool Busy;  // refused for the lock, in one line
  } rows[] = {
      {"decode hello.vox --wait 0", 2, true},
      {"convert hello.wav --wait 0", 2, true},
      {"record t.wav --wait 0", 2, true},
      {"report --wait 0", 2, true},
      {"extract Sounds.zvd 0 x.wav --wait 0", 2, true},
      {"list Sounds.zvd", 2, false},  // no package yet: a file error, not the lock
      {"devices", 0, false},
  };
  for (const auto& row : rows) {
    const TRun r = RunCliIn(dir, row.Args, "ZELVOR_AUDIO=virtual");
    EXPECT_EQ(r.Code, row.Code) << row.Args << ": " << r.Err;
    const std::string command = row.Args.substr(0, row.Args.find(' '));
    if (row.Busy)
      EXPECT_EQ(r.Err, "zelvorsound-cli: " + command + ": " + folder +
                           ": the folder is still busy with another run of ZelvorSound; nothing "
                           "was done\n");
    else
      EXPECT_EQ(r.Err.find("still busy"), std::string::npos) << row.Args << ": " << r.Err;
  }
  TempDir elsewhere;
  other.Unlock();
  ASSERT_EQ(RunCliIn(dir, "build -q").Code, 0);
  ASSERT_TRUE(other.TryLock());
  const TRun outside =
      RunCliIn(dir, "extract Sounds.zvd 0 " + Quote(elsewhere.Path("slot0.wav")) + " --wait 0");
  EXPECT_EQ(outside.Code, 0) << outside.Err;
  EXPECT_TRUE(elsewhere.Exists("slot0.wav"));
}

}  // namespace
