// Where zelvorsound-cli works: --folder, else ZELVOR_FOLDER (the installed command sets it),
// else the current directory, which scripts rely on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TempDir.h"

namespace {

TEST(CliFolder, GivenThenZelvorFolderThenCurrentDirectory) {
  const struct {
    std::string Env, Args, WritesIn;
  } rows[] = {
      {"ZELVOR_FOLDER=../env", "--folder ../given", "given"},
      {"ZELVOR_FOLDER=../env", "", "env"},
      {"ZELVOR_FOLDER=", "", "cwd"},
      {"-u ZELVOR_FOLDER", "", "cwd"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    for (const char* sub : {"given", "env", "cwd"})
      std::filesystem::create_directory(dir.Path(sub));
    std::string cmd = "cd '" + dir.Path("cwd") + "' && env " + row.Env + " '" + ZS_CLI_PATH +
                      "' demo " + row.Args + " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    for (const char* sub : {"given", "env", "cwd"})
      EXPECT_EQ(dir.Exists(std::string(sub) + "/ZelvorSound.ini"), row.WritesIn == sub)
          << row.Env << " " << row.Args << ": " << sub;
  }
}

}  // namespace
