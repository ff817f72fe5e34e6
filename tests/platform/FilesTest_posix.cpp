// Where the program's executable lies, as Linux tells it (/proc/self/exe); Windows has its
// own in WindowsTest_win32.cpp.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "ErrorOf.h"
#include "TempDir.h"
#include "platform/files.h"

namespace {

TEST(ExeFolder, IsTheFolderOfThisTestProgramWithItsSlash) {
  // A copy started from a deep folder (below) is told through the environment what to expect.
  const char* expect = std::getenv("ZS_EXPECT_EXE_FOLDER");
  if (expect != nullptr && std::string(expect) == "too long") {
    // The program is named as it was started: the system could not give its whole path.
    const std::string error = ErrorOf([] { ExeFolder(); });
    EXPECT_EQ(error.rfind("The folder of the program \"", 0), 0u) << error;
    EXPECT_TRUE(error.ends_with("/test_platform\" cannot be used: File name too long")) << error;
    return;
  }
  std::string f = ExeFolder();
  ASSERT_FALSE(f.empty());
  EXPECT_EQ(f.front(), '/');
  EXPECT_EQ(f.back(), '/');
  if (expect != nullptr) {
    EXPECT_EQ(f, expect);
  }
  EXPECT_TRUE(FileExists(f + "test_platform"));
}

// A copy of this test program in a chain of folders of 200-character names, levels deep below
// the test's folder, runs the test above; bash goes down one folder at a time and rm takes the
// chain away (both by relative names), so the whole path may be longer than the system can name.
TEST(ExeFolder, ADeepFolderIsUsedWholeAndOneTooLongIsAnError) {
  TempDir d;
  const std::string parent = std::filesystem::canonical(d.Folder()).string() + "/";
  const std::string name(200, 'd');
  const struct {
    int Levels;
    std::string Expect;
  } kCases[] = {
      // Longer than any cut the program once made: the folder comes back whole.
      {2, parent + name + "/" + name + "/"},
      // Longer than the system can name: an error, never another folder.
      {25, "too long"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Levels);
    // Started through the open deep folder from the test's own: gtest needs a working
    // directory it can name, and no path to the copy is ever spelled out.
    const std::string script =
        "cd '" + parent + "' || exit 9\nn=" + name + "\ntrap \"cd '" + parent +
        "' && rm -rf $n\" EXIT\n" + "for i in $(seq " + std::to_string(c.Levels) +
        "); do mkdir $n && cd $n || exit 9; done\n" + "cp '" + ExeFolder() +
        "test_platform' . && exec 3<. && cd '" + parent + "' || exit 9\n" +
        "ZS_EXPECT_EXE_FOLDER='" + c.Expect + "' /proc/self/fd/3/test_platform " +
        "--gtest_filter=ExeFolder.IsTheFolderOfThisTestProgramWithItsSlash\n";
    d.Write("deep.sh", script);
    const int status =
        std::system(("bash '" + d.Path("deep.sh") + "' >'" + d.Path("out") + "' 2>&1").c_str());
    const std::string output = d.Read("out");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
  }
}

}  // namespace
