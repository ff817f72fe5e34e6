// zelvorsound-cli test: a package heard slot by slot on the virtual sound device, whose
// playback goes to a file the test reads back.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "TempDir.h"

namespace {

struct TRun {
  int Status = -1;
  std::string Out;
};

TRun Cli(const std::string& folder, const std::string& args) {
  const std::string command = "cd '" + folder +
                              "' && ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_PLAYBACK=played.raw "
                              "'" ZS_CLI_PATH "' " +
                              args + " 2>&1";
  TRun r;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  const int st = ::pclose(p);
  r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

void PutU32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string PackageOf(const std::vector<std::pair<int, std::string>>& present) {
  std::string p(512, '\0');
  for (const auto& [slot, codes] : present) {
    PutU32(p, 4 * static_cast<size_t>(slot), static_cast<uint32_t>(p.size()));
    std::string count(4, '\0');
    PutU32(count, 0, static_cast<uint32_t>(codes.size()));
    p += count + codes;
  }
  return p;
}

TEST(CliTest, PlaysThePresentSlotsInOrderWithALineEach) {
  TempDir dir;
  dir.Write("Sounds.zvd", PackageOf({{7, std::string(8, '\x99')}, {3, std::string(4, '\x11')}}));
  TRun r = Cli(dir.Folder(), "test Sounds.zvd");
  EXPECT_EQ(r.Status, 0) << r.Out;
  EXPECT_EQ(r.Out,
            "slot 3: 4 code bytes (0.00 s)\nslot 7: 8 code bytes (0.00 s)\nplayed 2 sounds\n");
  // Slot 3 climbs from 128 by one a sample, slot 7 falls from 128 by one a sample.
  std::string expected;
  for (int i = 1; i <= 8; ++i) expected += static_cast<char>(128 + i);
  for (int i = 1; i <= 16; ++i) expected += static_cast<char>(128 - i);
  EXPECT_EQ(dir.Read("played.raw"), expected);
  // The last sound stays in the test file, as after the window's test.
  const std::string wav = dir.Read("testvox.wav");
  ASSERT_EQ(wav.size(), 46u + 16u);
  EXPECT_EQ(wav.substr(46), expected.substr(8));
}

TEST(CliTest, EmptyPackagePlaysNothingAndAMissingOneIsAnError) {
  TempDir dir;
  dir.Write("empty.zvd", std::string(512, '\0'));
  TRun r = Cli(dir.Folder(), "test empty.zvd");
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.Out, "played 0 sounds\n");
  EXPECT_FALSE(dir.Exists("testvox.wav"));

  r = Cli(dir.Folder(), "test none.zvd");
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(r.Out, "zelvorsound-cli: test: none.zvd: File not found\n");
  r = Cli(dir.Folder(), "test");  // the folder's "Sounds.zvd"
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(r.Out, "zelvorsound-cli: test: " + dir.Path("Sounds.zvd") + ": File not found\n");
}

TEST(CliTest, TruncatedPackageEndsWithTheReadErrorAfterTheEarlierSlots) {
  TempDir dir;
  std::string p = PackageOf({{0, std::string(2, '\x11')}, {1, std::string(10, '\x11')}});
  p.resize(p.size() - 3);
  dir.Write("cut.zvd", p);
  TRun r = Cli(dir.Folder(), "test cut.zvd");
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(
      r.Out,
      "slot 0: 2 code bytes (0.00 s)\nzelvorsound-cli: test: cut.zvd: Read beyond end of file\n");
  EXPECT_EQ(dir.Read("played.raw").size(), 4u);
}

}  // namespace
