#include <gtest/gtest.h>

#include "TempDir.h"
#include "package/FolderCoder.h"

namespace {

TEST(FolderCoder, TheIniChoosesAndAnUnknownCoderIsSaidAndStandard) {
  const struct {
    const char* Ini;  // nullptr: no "ZelvorSound.ini"
    TCoder Coder;
    bool Warned;
  } kCases[] = {
      {nullptr, TCoder::Standard, false},
      {"[SoundFiles]\nName0=Hello\n", TCoder::Standard, false},
      {"[Options]\nCoder=optimal\n", TCoder::Optimal, false},
      {"[options]\ncoder = Optimal \n", TCoder::Optimal, false},
      {"[Options]\nCoder=standard\n", TCoder::Standard, false},
      {"[Options]\nCoder=fastest\n", TCoder::Standard, true},
  };
  for (auto& c : kCases) {
    SCOPED_TRACE(c.Ini ? c.Ini : "no INI");
    TempDir dir;
    if (c.Ini) dir.Write("ZelvorSound.ini", c.Ini);
    const TCoderChoice choice = FolderCoder(dir.Folder());
    EXPECT_EQ(choice.Coder, c.Coder);
    EXPECT_EQ(!choice.Warning.empty(), c.Warned);
    if (c.Warned) {
      EXPECT_NE(choice.Warning.find("Coder=fastest"), std::string::npos) << choice.Warning;
    }
  }
}

}  // namespace
