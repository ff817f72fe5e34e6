// What Windows does differently and the program must not: one folder has many names, a
// program's folder comes with '\', and files and streams translate line ends unless told not
// to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "platform/files.h"
#include "platform/folderlock.h"

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
