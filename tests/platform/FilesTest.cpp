#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "ErrorOf.h"
#include "TempDir.h"
#include "platform/files.h"
#include "rtl/SysUtils.h"

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

TEST(ExeFolder, IsThePathUpToItsLastSlashWhateverItsLength) {
  EXPECT_EQ(ExeFolderOf("/opt/tools/rec"), "/opt/tools/");
  EXPECT_EQ(ExeFolderOf("/rec"), "/");
  EXPECT_EQ(ExeFolderOf("rec"), "");
  std::string deep = "/" + std::string(200, 'a') + "/" + std::string(100, 'b') + "/rec";
  EXPECT_EQ(ExeFolderOf(deep), deep.substr(0, deep.size() - 3));
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

TEST(Files, FileExistsIsForFilesOnly) {
  TempDir d;
  EXPECT_FALSE(FileExists(d.Path("a.wav")));
  d.Write("a.wav", "x");
  EXPECT_TRUE(FileExists(d.Path("a.wav")));
  EXPECT_FALSE(FileExists(d.Folder()));
}

TEST(Files, CreateDirectoryMakesOneFolder) {
  TempDir d;
  EXPECT_TRUE(CreateDirectory(d.Path("WAV Export")));
  struct stat st;
  ASSERT_EQ(::stat(d.Path("WAV Export").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(CreateDirectory(d.Path("WAV Export")));  // there already
  EXPECT_FALSE(CreateDirectory(d.Path("a/b")));         // no parent
}

TEST(Files, CopyFileReplacesOrFailsIfExists) {
  TempDir d;
  d.Write("src.wav", std::string(200000, 'S'));
  EXPECT_TRUE(CopyFile(d.Path("src.wav"), d.Path("dst.wav"), true));
  EXPECT_EQ(d.Read("dst.wav"), std::string(200000, 'S'));

  d.Write("old.wav", "old");
  EXPECT_FALSE(CopyFile(d.Path("src.wav"), d.Path("old.wav"), true));
  EXPECT_EQ(d.Read("old.wav"), "old");
  EXPECT_TRUE(CopyFile(d.Path("src.wav"), d.Path("old.wav"), false));
  EXPECT_EQ(d.Read("old.wav"), std::string(200000, 'S'));

  d.Write("short.wav", "ab");
  EXPECT_TRUE(CopyFile(d.Path("short.wav"), d.Path("old.wav"), false));
  EXPECT_EQ(d.Read("old.wav"), "ab");  // replaced, not overlaid
}

TEST(Files, CopyFileFailuresLeaveTheDestinationAlone) {
  TempDir d;
  EXPECT_FALSE(CopyFile(d.Path("missing.wav"), d.Path("dst.wav"), false));
  EXPECT_FALSE(d.Exists("dst.wav"));

  std::string src = d.Write("src.wav", "data");
  // Copying a file onto itself must not empty it.
  EXPECT_FALSE(CopyFile(src, src, false));
  EXPECT_FALSE(CopyFile(src, d.Folder() + "./src.wav", false));
  EXPECT_EQ(d.Read("src.wav"), "data");

  std::string ro = d.Write("ro.wav", "keep");
  ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
  EXPECT_FALSE(CopyFile(src, ro, false));  // read-only for everyone, root included
  EXPECT_EQ(d.Read("ro.wav"), "keep");

  EXPECT_FALSE(CopyFile(src, d.Path("no/such/dst.wav"), false));
  EXPECT_FALSE(CopyFile(d.Folder(), d.Path("dir.wav"), false));
}

TEST(Files, PlainNamesStayInTheirFolder) {
  for (const char* ok : {"Hello", "Hello.WAV", "a b", "..x", "x..", "...", "-", "sub."})
    EXPECT_TRUE(IsPlainName(ok)) << ok;
  for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "/abs", "\\x", "x/"})
    EXPECT_FALSE(IsPlainName(bad)) << bad;
  // Names that may reach into sub-folders, but never out of the folder.
  for (const char* ok : {"Hello.WAV", "sub/Hello.WAV", "sub\\Hello", "..x/y", "a/./b", "x..", "C"})
    EXPECT_TRUE(StaysInFolder(ok)) << ok;
  for (const char* bad : {"", "..", "../x", "sub/../../x", "a\\..\\..\\x", "x/..", "/etc/x", "\\x",
                          "C:\\Temp\\x", "c:x"})
    EXPECT_FALSE(StaysInFolder(bad)) << bad;
}

}  // namespace
