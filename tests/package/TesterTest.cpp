#include <gtest/gtest.h>

#include "TempDir.h"
#include "codec/CodecTestKit.h"
#include "package/Package.h"
#include "package/Tester.h"

namespace {

const std::string kHeadFor3 = std::string("RIFF") + std::string("\x2C\0\0\0", 4) + "WAVEfmt " +
                              std::string("\x12\0\0\0\x01\0\x01\0\x40\x1F\0\0\x40\x1F\0\0\x01\0\x08\0\0\0", 22) +
                              "data" + std::string("\x06\0\0\0", 4);

TEST(VoxDecodeButton, ThreeBytesGiveA52ByteTestFile) {
  TempDir dir;
  dir.Write("p.vox", Bytes({0x11, 0x99, 0x00}));
  TAppContext ctx{dir.Folder(), ""};
  TRecordingShell shell;
  shell.Pick = dir.Path("p.vox");
  Button1XClick(ctx, shell);
  std::string wav = dir.Read("testvox.wav");
  ASSERT_EQ(wav.size(), 52u);
  EXPECT_EQ(wav.substr(0, 46), kHeadFor3);
  EXPECT_EQ(wav.substr(46), Bytes({129, 130, 129, 128, 128, 128}));
  EXPECT_TRUE(shell.Messages.empty());
}

TEST(VoxDecodeButton, EmptyVoxAndCancel) {
  TempDir dir;
  dir.Write("e.vox", "");
  TAppContext ctx{dir.Folder(), ""};
  TRecordingShell shell;
  Button1XClick(ctx, shell);  // cancelled
  EXPECT_FALSE(dir.Exists("testvox.wav"));
  shell.Pick = dir.Path("e.vox");
  Button1XClick(ctx, shell);
  std::string wav = dir.Read("testvox.wav");
  ASSERT_EQ(wav.size(), 46u);
  EXPECT_EQ(GetU32(wav, 4), 38u);
  EXPECT_EQ(GetU32(wav, 42), 0u);
}

// A package from raw parts: entries and the bytes behind the directory.
std::string MakePackage(const std::vector<std::pair<int, uint32_t>>& entries,
                        const std::string& records) {
  std::string dir(512, '\0');
  for (auto [slot, offset] : entries)
    for (int i = 0; i < 4; ++i) dir[4 * slot + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
  return dir + records;
}

std::string Record(const std::string& codes) {
  std::string r;
  PutU32(r, static_cast<uint32_t>(codes.size()));
  return r + codes;
}

TEST(PackageTest, PresentSlotsDecodeInTurn) {
  TempDir dir;
  std::string r3 = Record(Bytes({0x70, 0xF6})), r7 = Record(Bytes({0x11, 0x99, 0x00}));
  dir.Write("Sounds.zvd", MakePackage({{3, 512}, {7, 512 + static_cast<uint32_t>(r3.size())}},
                                      r3 + r7));
  TAppContext ctx{dir.Folder(), ""};
  TPackageReader pkg(dir.Path("Sounds.zvd"));
  pkg.Open();
  std::vector<std::string> decoded;
  for (int slot = 0; slot < kSlotCount; ++slot)
    if (DecodeSlotToTestWav(ctx, pkg, slot)) decoded.push_back(dir.Read("testvox.wav"));
  pkg.Close();
  ASSERT_EQ(decoded.size(), 2u);
  EXPECT_EQ(decoded[0].substr(46), Bytes({128, 192, 224, 160}));
  EXPECT_EQ(GetU32(decoded[0], 42), 4u);
  EXPECT_EQ(decoded[1], kHeadFor3 + Bytes({129, 130, 129, 128, 128, 128}));
}

TEST(PackageTest, EmptyAndNonPositiveRecordsAreSkipped) {
  TempDir dir;
  std::string zero, negative;
  PutU32(zero, 0);
  PutU32(negative, 0xFFFFFFFFu);
  dir.Write("Sounds.zvd", MakePackage({{1, 512}, {2, 516}}, zero + negative));
  TAppContext ctx{dir.Folder(), ""};
  TPackageReader pkg(dir.Path("Sounds.zvd"));
  pkg.Open();
  for (int slot = 0; slot < kSlotCount; ++slot) EXPECT_FALSE(DecodeSlotToTestWav(ctx, pkg, slot));
  EXPECT_FALSE(dir.Exists("testvox.wav"));
}

TEST(PackageTest, DamagedPackagesEndInReadBeyondEnd) {
  struct Case {
    const char* what;
    std::string bytes;
    int slot;
  };
  std::string hugeCount;
  PutU32(hugeCount, 0x7FFFFFFFu);
  std::vector<Case> cases = {
      {"entry past the end", MakePackage({{0, 600}}, Record("ab")), 0},
      {"negative entry", MakePackage({{0, 0x80000000u}}, Record("ab")), 0},
      {"count past the end", MakePackage({{4, 512}}, hugeCount + "abc"), 4},
      {"count cut short", MakePackage({{4, 512}}, "\x01\x00"), 4},
      {"shorter than its directory", std::string(100, '\0'), 30},
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.Write("Sounds.zvd", c.bytes);
    dir.Write("testvox.wav", "previous");
    TAppContext ctx{dir.Folder(), ""};
    TPackageReader pkg(dir.Path("Sounds.zvd"));
    pkg.Open();
    EXPECT_EQ(ErrorOf([&] { DecodeSlotToTestWav(ctx, pkg, c.slot); }), "Read beyond end of file")
        << c.what;
    EXPECT_EQ(dir.Read("testvox.wav"), "previous") << c.what;
  }
}

TEST(PackageTest, RecordsAreFoundByTheirEntriesAlone) {
  // Out of order and overlapping records are read where the directory points.
  TempDir dir;
  std::string r = Record(Bytes({0x70, 0xF6}));
  dir.Write("Sounds.zvd", MakePackage({{0, 512}, {9, 512}, {2, 512}}, r));
  TAppContext ctx{dir.Folder(), ""};
  TPackageReader pkg(dir.Path("Sounds.zvd"));
  pkg.Open();
  for (int slot : {9, 0, 2}) {
    ASSERT_TRUE(DecodeSlotToTestWav(ctx, pkg, slot));
    EXPECT_EQ(dir.Read("testvox.wav").substr(46), Bytes({128, 192, 224, 160}));
  }
}

}  // namespace
