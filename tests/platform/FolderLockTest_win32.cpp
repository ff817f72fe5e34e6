// Windows names one folder in many ways: '\' or '/', any letter case, with or without the
// trailing separator, relative to the current folder. Every spelling must meet the same
// lock, or two runs would work in one folder at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "TempDir.h"
#include "platform/files.h"
#include "platform/folderlock.h"

namespace {

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

}  // namespace
