#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "ErrorOf.h"
#include "TempDir.h"
#include "platform/files.h"
#include "rtl/SysUtils.h"

namespace {

TEST(ExeFolder, IsThePathUpToItsLastSlashWhateverItsLength) {
  EXPECT_EQ(ExeFolderOf("/opt/tools/rec"), "/opt/tools/");
  EXPECT_EQ(ExeFolderOf("/rec"), "/");
  EXPECT_EQ(ExeFolderOf("rec"), "");
  std::string deep = "/" + std::string(200, 'a') + "/" + std::string(100, 'b') + "/rec";
  EXPECT_EQ(ExeFolderOf(deep), deep.substr(0, deep.size() - 3));
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
