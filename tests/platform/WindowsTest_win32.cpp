// What Windows does differently and the program must not: one folder has many names, a
// program's folder comes with '\', files and streams translate line ends unless told not
// to, a rename does not replace, every file has the same inode, a reader may lock a file,
// and names are UTF-16.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ErrorOf.h"
#include "TempDir.h"
#include "platform/files.h"
#include "platform/folderlock.h"
#include "rtl/ByteFile.h"
#include "rtl/Classes.h"

namespace {

// '\' or '/', any letter case, with or without the trailing separator, relative to the
// current folder: every spelling must meet the same lock, or two runs would work in one
// folder at once.
TEST(FolderLockOnWindows, EverySpellingOfTheFolderMeetsTheSameLock) {
  TempDir dir;
  const std::string folder = dir.Folder();  // "C:/.../zelvor-N/"
  std::string backslashed = folder, upper = folder;
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path(""));
  const std::string spellings[] = {folder, dir.Path(""), backslashed, upper, ".", "./"};
  TFolderLock holder(folder);
  ASSERT_TRUE(holder.TryLock());
  for (const std::string& spelling : spellings) {
    TFolderLock other(spelling);
    EXPECT_FALSE(other.TryLock()) << spelling;
  }
  holder.Unlock();
  for (const std::string& spelling : spellings) {
    TFolderLock other(spelling);
    EXPECT_TRUE(other.TryLock()) << spelling;
  }
  std::filesystem::current_path(here);
}

// Writes "new" over "a.wav" and gives the error closing it raised, if any.
std::string WriteNew(const TempDir& d) {
  TByteFile f(d.Path("a.wav"));
  f.Rewrite();
  f.BlockWrite("new", 3);
  return ErrorOf([&] { f.Close(); });
}

// Each row does one thing to "a.wav" (which holds "old") and the names around it, and says
// what the call answers, what "a.wav" then holds and which names the folder has.
TEST(FilesOnWindows, RenameIdentitySharingAndNamesKeepTheLinuxRules) {
  const std::string kUtf8Name = "Gr\u00FC\u00DFe \u263A.wav";
  const struct {
    const char* What;
    std::function<std::string(const TempDir&)> Do;
    const char* Answer;
    const char* After;  // what "a.wav" holds
    std::vector<std::string> Names;
  } rows[] = {
      {"a finished file replaces the old one",
       [](const TempDir& d) { return WriteNew(d); },
       "no error",
       "new",
       {"a.wav"}},
      // Unlike Linux, where the reader keeps the old file and the name takes the new one.
      {"but not while another part of the program has it open: the old file stays",
       [](const TempDir& d) {
         TFileStream reading(d.Path("a.wav"), fmOpenRead);
         return WriteNew(d);
       },
       "File access denied",
       "old",
       {"a.wav"}},
      {"nor while a playback keeps writers out",
       [](const TempDir& d) {
         TFileStream playing(d.Path("a.wav"), fmOpenRead | fmShareDenyWrite);
         return ErrorOf([&] { TByteFile(d.Path("a.wav")).Rewrite(); }) +
                ErrorOf([&] { TByteFile(d.Path("a.wav")).Reset(); });
       },
       "I/O error 32I/O error 32",
       "old",
       {"a.wav"}},
      {"a read-only file is neither opened nor replaced",
       [](const TempDir& d) {
         std::filesystem::permissions(d.Path("a.wav"), std::filesystem::perms::owner_read);
         return ErrorOf([&] { TByteFile(d.Path("a.wav")).Reset(); }) + "," +
                ErrorOf([&] { TByteFile(d.Path("A.WAV")).Rewrite(); });
       },
       "File access denied,File access denied",
       "old",
       {"a.wav"}},
      {"a copy onto the same file under another spelling is refused",
       [](const TempDir& d) {
         std::string other = d.Path("A.WAV");
         std::replace(other.begin(), other.end(), '/', '\\');
         return std::to_string(CopyFile(d.Path("a.wav"), other, false)) +
                std::to_string(CopyFile(d.Path("a.wav"), d.Folder() + "./a.wav", false));
       },
       "00",
       "old",
       {"a.wav"}},
      {"while a copy onto another file goes ahead",
       [](const TempDir& d) {
         d.Write("b.wav", "b");
         return std::to_string(CopyFile(d.Path("b.wav"), d.Path("a.wav"), false));
       },
       "1",
       "b",
       {"a.wav", "b.wav"}},
      {"any name is written, found and listed as UTF-8",
       [&](const TempDir& d) {
         TByteFile f(d.Path(kUtf8Name));
         f.Rewrite();
         f.Close();
         return std::to_string(FileExists(d.Path(kUtf8Name)));
       },
       "1",
       "old",
       {kUtf8Name, "a.wav"}},
  };
  for (const auto& row : rows) {
    TempDir d;
    d.Write("a.wav", "old");
    EXPECT_EQ(row.Do(d), row.Answer) << row.What;
    EXPECT_EQ(d.Read("a.wav"), row.After) << row.What;
    EXPECT_EQ(d.Names(), row.Names) << row.What;
  }
}

TEST(ExeFolderOnWindows, IsTheProgramsFolderWithForwardSlashes) {
  const std::string folder = ExeFolder();
  EXPECT_EQ(folder.find('\\'), std::string::npos) << folder;
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(folder + "test_platform.exe")) << folder;
}

TEST(BinaryModeOnWindows, EveryWayOfWritingKeepsTheBytes) {
  TempDir dir;
  const struct {
    const char* How;
    void (*Write)(const std::string& path);
  } ways[] = {{"fopen \"w\"",
               [](const std::string& path) {
                 std::FILE* f = std::fopen(path.c_str(), "w");
                 std::fputs("a\nb\n", f);
                 std::fclose(f);
               }},
              {"ofstream", [](const std::string& path) { std::ofstream(path) << "a\nb\n"; }}};
  for (const auto& way : ways) {
    const std::string path = dir.Path("out.txt");
    std::filesystem::remove(path);
    way.Write(path);
    EXPECT_EQ(dir.Read("out.txt"), "a\nb\n") << way.How;
  }
  // The standard streams: setting binary mode again answers the mode they had.
  for (std::FILE* stream : {stdin, stdout, stderr})
    EXPECT_EQ(_setmode(_fileno(stream), _O_BINARY), _O_BINARY) << _fileno(stream);
}

}  // namespace
