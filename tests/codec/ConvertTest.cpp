#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include "CodecTestKit.h"
#include "TempDir.h"
#include "codec/Convert.h"

namespace {

constexpr char kQuiet = static_cast<char>(128);
constexpr char kLoud = static_cast<char>(200);

// Samples that are quiet except at the given indexes.
std::string QuietWithLoudAt(size_t n, std::initializer_list<size_t> loud, char loudValue = kLoud) {
  std::string s(n, kQuiet);
  for (size_t i : loud) s[i] = loudValue;
  return s;
}

struct TTakeResult {
  std::string Take, Vox, OutDat;
};

TTakeResult RunTake(const std::string& samples) {
  TempDir dir;
  dir.Write("Hello.WAV", MakeTake(samples));
  TAppContext ctx{dir.Folder(), dir.Path("Hello.WAV")};
  TRecordingShell shell;
  ConvertRecordedTake(ctx, shell);
  EXPECT_TRUE(shell.Messages.empty());
  return {dir.Read("Hello.WAV"), dir.Read("Hello.vox"), dir.Read("out.dat")};
}

// The samples of a take file, checked against its two size fields.
std::string TakeSamples(const std::string& take) {
  EXPECT_GE(take.size(), 46u);
  EXPECT_EQ(GetU32(take, 4), take.size() - 8);
  EXPECT_EQ(GetU32(take, 42), take.size() - 46);
  return take.substr(46);
}

TEST(RecordedTake, QuietThroughoutKeepsNothing) {
  std::string s(5000, kQuiet);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(112 + i % 33);  // 112..144
  TTakeResult r = RunTake(s);
  EXPECT_EQ(r.Take.size(), 46u);
  EXPECT_EQ(TakeSamples(r.Take), "");
  EXPECT_EQ(r.Vox, "");
  EXPECT_EQ(r.OutDat, "");
}

TEST(RecordedTake, LeadingTrimKeepsUpTo899QuietSamples) {
  std::string s = QuietWithLoudAt(3000, {1000});
  EXPECT_EQ(TakeSamples(RunTake(s).Take), s.substr(101, 1000 - 101 + 501));
  s = QuietWithLoudAt(3000, {899});
  EXPECT_EQ(TakeSamples(RunTake(s).Take), s.substr(0, 899 + 501));
  s = QuietWithLoudAt(3000, {900});
  EXPECT_EQ(TakeSamples(RunTake(s).Take), s.substr(1, 899 + 501));
}

TEST(RecordedTake, TrailingTrimKeeps500AfterTheLastLoudSample) {
  std::string s = QuietWithLoudAt(3000, {0, 1999});
  EXPECT_EQ(TakeSamples(RunTake(s).Take).size(), 2500u);
  s = QuietWithLoudAt(3000, {0, 2600});
  EXPECT_EQ(TakeSamples(RunTake(s).Take), s);
  // Exactly 500 kept after the leading trim: never cut at the end.
  s = QuietWithLoudAt(500, {0});
  EXPECT_EQ(TakeSamples(RunTake(s).Take), s);
  s = QuietWithLoudAt(501, {0});
  EXPECT_EQ(TakeSamples(RunTake(s).Take).size(), 501u);
  s = QuietWithLoudAt(502, {0});
  EXPECT_EQ(TakeSamples(RunTake(s).Take).size(), 501u);
}

TEST(RecordedTake, TakesUseTheWideQuietBandAtBothEnds) {
  // 137 and 119 are quiet in a take; 145 and 111 are loud.
  std::string s = QuietWithLoudAt(3000, {0, 1000}, static_cast<char>(137));
  s[0] = static_cast<char>(145);
  EXPECT_EQ(TakeSamples(RunTake(s).Take).size(), 501u);
  s = QuietWithLoudAt(3000, {1000}, static_cast<char>(119));
  s[0] = static_cast<char>(111);
  EXPECT_EQ(TakeSamples(RunTake(s).Take).size(), 501u);
}

TEST(RecordedTake, OddKeptCountCodesOneSampleLess) {
  std::string s(4001, kLoud);
  TTakeResult r = RunTake(s);
  EXPECT_EQ(TakeSamples(r.Take).size(), 4001u);
  EXPECT_EQ(r.Vox.size(), 2000u);
  EXPECT_EQ(r.OutDat, s);
}

TEST(RecordedTake, VoxIsTheCodeOfTheKeptSamples) {
  std::string s{static_cast<char>(128), static_cast<char>(255), static_cast<char>(255),
                static_cast<char>(0)};
  TTakeResult r = RunTake(s);
  EXPECT_EQ(r.Vox, Bytes({0x70, 0xF6}));
}

TEST(RecordedTake, KeepsTheHeaderBytesItDoesNotOwn) {
  std::string s(600, kLoud);
  std::string take = MakeTake(s);
  take[24] = 0x40;  // a rate the conversion does not look at
  take += "LIST";   // a chunk after the data is cut away
  PutU32(take, 4);
  take += "INFO";
  TempDir dir;
  dir.Write("t.wav", take);
  namespace fs = std::filesystem;
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_write;
  fs::permissions(dir.Path("t.wav"), mode);
  const fs::perms before = fs::status(dir.Path("t.wav")).permissions();  // as the system keeps it
  TAppContext ctx{dir.Folder(), dir.Path("t.wav")};
  TRecordingShell shell;
  ConvertRecordedTake(ctx, shell);
  EXPECT_EQ(fs::status(dir.Path("t.wav")).permissions(), before);
  std::string after = dir.Read("t.wav");
  EXPECT_EQ(after.substr(0, 4), take.substr(0, 4));
  EXPECT_EQ(after.substr(8, 34), take.substr(8, 34));
  EXPECT_EQ(TakeSamples(after), s);
}

TEST(RecordedTake, FailedRewriteLeavesTheTakeUntouched) {
  TempDir dir;
  std::string take = MakeTake(QuietWithLoudAt(3000, {0, 100}));
  dir.Write("t.wav", take);
  dir.Write("out.dat", "earlier samples");
  // A folder where the ".vox" goes: the take, its ".vox" and "out.dat" stay as they were.
  std::filesystem::create_directory(dir.Path("t.vox"));
  TAppContext ctx{dir.Folder(), dir.Path("t.wav")};
  TRecordingShell shell;
  EXPECT_EQ(ErrorOf([&] { ConvertRecordedTake(ctx, shell); }), "File access denied");
  EXPECT_EQ(dir.Read("t.wav"), take);
  EXPECT_EQ(dir.Read("out.dat"), "earlier samples");
}

TEST(RecordedTake, TruncatedTakeFailsAndStaysAsItWas) {
  TempDir dir;
  std::string take = MakeTake(std::string(100, kLoud));
  take.resize(90);  // the data size says 100
  dir.Write("t.wav", take);
  TAppContext ctx{dir.Folder(), dir.Path("t.wav")};
  TRecordingShell shell;
  EXPECT_EQ(ErrorOf([&] { ConvertRecordedTake(ctx, shell); }), "Read beyond end of file");
  EXPECT_EQ(dir.Read("t.wav"), take);
  // A read-only take is refused before anything is written.
  dir.Write("ro.wav", MakeTake(std::string(100, kLoud)));
  std::filesystem::permissions(
      dir.Path("ro.wav"), std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  ctx.CurrentSoundFileName = dir.Path("ro.wav");
  EXPECT_EQ(ErrorOf([&] { ConvertRecordedTake(ctx, shell); }), "File access denied");
  EXPECT_FALSE(dir.Exists("ro.vox"));
}

TEST(RecordedTake, FindsTheTakeAndItsVoxWhateverTheLetterCaseAndSparesReadOnlyOnes) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path("voice"));
  const std::string samples = QuietWithLoudAt(3000, {0, 100});
  dir.Write("voice/hello.wav", MakeTake(samples));
  dir.Write("voice/HELLO.VOX", "stale");
  TAppContext ctx{dir.Folder(), dir.Path("Voice/Hello.WAV")};
  TRecordingShell shell;
  ConvertRecordedTake(ctx, shell);
  // Rewritten and coded in place: no second take, no second ".vox".
  EXPECT_EQ(TakeSamples(dir.Read("voice/hello.wav")), samples.substr(0, 601));
  EXPECT_EQ(dir.Read("voice/HELLO.VOX").size(), 300u);
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.Path("voice"))) files += e.exists();
  EXPECT_EQ(files, 2u);

  // A read-only ".vox" is not overwritten, even by root, and the take stays as recorded.
  const std::string take = MakeTake(samples);
  dir.Write("voice/hello.wav", take);
  std::filesystem::permissions(dir.Path("voice/HELLO.VOX"), std::filesystem::perms::owner_read);
  EXPECT_EQ(ErrorOf([&] { ConvertRecordedTake(ctx, shell); }), "File access denied");
  EXPECT_EQ(dir.Read("voice/HELLO.VOX").size(), 300u);
  EXPECT_EQ(dir.Read("voice/hello.wav"), take);
}

std::string ConvertedDat(const std::string& wav) {
  TempDir dir;
  dir.Write("src.wav", wav);
  TAppContext ctx{dir.Folder(), "src.wav"};
  TRecordingShell shell;
  ConvertWaveFile(ctx, shell);
  EXPECT_TRUE(shell.Messages.empty());
  EXPECT_EQ(ctx.CurrentSoundFileName, dir.Path("src.wav"));
  std::string dat = dir.Read("out.dat");
  std::string vox = dir.Read("src.vox");
  EXPECT_EQ(vox.size(), dat.size() / 2);
  return dat;
}

TEST(WaveFileConversion, SourcesUseTheNarrowBandAtTheirEnd) {
  TWavSpec w;
  w.Rate = 8000;
  for (char c : {static_cast<char>(137), static_cast<char>(119)}) {
    std::string s = QuietWithLoudAt(3000, {0, 1000}, c);
    s[0] = kLoud;
    EXPECT_EQ(ConvertedDat(MakeWav(w, s)).size(), 1501u) << int(c);
  }
  for (char c : {static_cast<char>(136), static_cast<char>(120)}) {
    std::string s = QuietWithLoudAt(3000, {0, 1000}, c);
    s[0] = kLoud;
    EXPECT_EQ(ConvertedDat(MakeWav(w, s)).size(), 501u) << int(c);
  }
}

TEST(WaveFileConversion, LeadingTrimOnlyAwayFrom44100) {
  std::string s = QuietWithLoudAt(3000, {1500});
  TWavSpec w;
  w.Rate = 8000;
  EXPECT_EQ(ConvertedDat(MakeWav(w, s)), s.substr(601, 1400));
  w.Rate = 44100;  // 8-bit at 44.1 kHz keeps its leading silence and its own rate
  EXPECT_EQ(ConvertedDat(MakeWav(w, s)), s.substr(0, 2001));
  // Quiet throughout without the leading trim: cut to the first 500 samples.
  EXPECT_EQ(ConvertedDat(MakeWav(w, std::string(3000, kQuiet))), std::string(500, kQuiet));
  // With it, nothing is kept at all.
  w.Rate = 11025;
  EXPECT_EQ(ConvertedDat(MakeWav(w, std::string(3000, kQuiet))), "");
}

TEST(WaveFileConversion, VoxNameReplacesTheExtension) {
  EXPECT_EQ(ChangeFileExt("/a/b/Hello.wav", ".vox"), "/a/b/Hello.vox");
  EXPECT_EQ(ChangeFileExt("/a/b.d/Hello", ".vox"), "/a/b.d/Hello.vox");
  EXPECT_EQ(ChangeFileExt("/a/x.tar.wav", ".vox"), "/a/x.tar.vox");
  EXPECT_EQ(ChangeFileExt("Hello", ".vox"), "Hello.vox");
  TempDir dir;
  std::filesystem::create_directory(dir.Path("sub.d"));
  TWavSpec w;
  dir.Write("sub.d/noext", MakeWav(w, std::string(10, kLoud)));
  TAppContext ctx{dir.Folder(), "sub.d/noext"};
  TRecordingShell shell;
  ConvertWaveFile(ctx, shell);
  EXPECT_TRUE(dir.Exists("sub.d/noext.vox"));
}

TEST(WaveFileConversion, ConversionsInDifferentFoldersRunSideBySide) {
  TempDir a, b;
  TWavSpec w;
  w.Bits = 16;
  w.Rate = 44100;
  std::vector<int16_t> x(50000);
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<int16_t>(std::sin(static_cast<double>(i) * 0.03) * 9000);
  std::string wav = MakeWav(w, Samples16(x));
  a.Write("s.wav", wav);
  b.Write("s.wav", wav);
  std::thread other([&] {
    TAppContext ctx{b.Folder(), "s.wav"};
    TRecordingShell shell;
    ConvertWaveFile(ctx, shell);
  });
  TAppContext ctx{a.Folder(), "s.wav"};
  TRecordingShell shell;
  ConvertWaveFile(ctx, shell);
  other.join();
  EXPECT_FALSE(a.Read("s.vox").empty());
  EXPECT_EQ(a.Read("s.vox"), b.Read("s.vox"));
}

TEST(LoopBack, CodesAndDecodesTheChosenTake) {
  TempDir dir;
  std::string samples = {static_cast<char>(128), static_cast<char>(255), static_cast<char>(255),
                         static_cast<char>(0), static_cast<char>(77)};
  std::string take = MakeTake(samples);
  dir.Write("pick.vox", take);
  TAppContext ctx{dir.Folder(), ""};
  TRecordingShell shell;
  shell.Pick = dir.Path("pick.vox");
  Button1Click(ctx, shell);
  EXPECT_EQ(dir.Read("out.vox"), Bytes({0x70, 0xF6}));
  std::string wav = dir.Read("out.wav");
  EXPECT_EQ(wav.substr(0, 42), take.substr(0, 42));
  EXPECT_EQ(GetU32(wav, 42), 5u);  // the odd size is kept, one sample fewer follows
  EXPECT_EQ(wav.substr(46), Bytes({128, 192, 224, 160}));
}

TEST(LoopBack, CancelWritesNothing) {
  TempDir dir;
  TAppContext ctx{dir.Folder(), ""};
  TRecordingShell shell;
  Button1Click(ctx, shell);
  EXPECT_FALSE(dir.Exists("out.vox"));
  EXPECT_FALSE(dir.Exists("out.wav"));
  shell.Pick = dir.Path("missing.vox");
  EXPECT_EQ(ErrorOf([&] { Button1Click(ctx, shell); }), "File not found");
}

}  // namespace

namespace {

// A take named by the user may have any header; any other format is refused untouched.
TEST(AnyTake, PcmOf8000Hz8BitMonoIsRewrittenInTheTakeLayoutAndAnythingElseRefused) {
  const std::string s = QuietWithLoudAt(3000, {0, 100});
  TWavSpec plain;  // the 16-byte format chunk most tools write
  TWavSpec wide = plain, stereo = plain, sixteen = plain, fl = plain;
  wide.ChunksBeforeData = std::string("LIST\4\0\0\0abcd", 12);
  stereo.Channels = 2;
  sixteen.Bits = 16;
  sixteen.Rate = 44100;
  fl.Tag = 3;
  fl.Bits = 32;
  TWavSpec longer = plain;
  longer.DataSizeField = 4000;
  const struct {
    const char* What;
    std::string File;
    std::string Outcome;  // "" taken; else the refusal's format, or the error
  } rows[] = {
      {"44-byte header", MakeWav(plain, s), ""},
      {"a chunk before the data", MakeWav(wide, s), ""},
      {"the recorder's layout", MakeTake(s), ""},
      {"stereo", MakeWav(stereo, s), "it holds PCM 8000 Hz 8-bit stereo,"},
      {"16-bit", MakeWav(sixteen, s), "it holds PCM 44100 Hz 16-bit mono,"},
      {"float", MakeWav(fl, s), "it holds IEEE float 8000 Hz 32-bit mono,"},
      {"no WAV", "ID3\3 an mp3 after all", "it holds no RIFF WAVE file,"},
      {"data beyond the end", MakeWav(longer, s), "Read beyond end of file"},
      {"cut in the header", MakeTake(s).substr(0, 30), "Read beyond end of file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.What);
    TempDir dir;
    dir.Write("t.wav", row.File);
    TAppContext ctx{dir.Folder(), dir.Path("t.wav")};
    TRecordingShell shell;
    bool taken = false;
    const std::string error = ErrorOf([&] { taken = ConvertTakeFile(ctx, shell); });
    if (row.Outcome.empty()) {
      ASSERT_TRUE(taken) << error;
      EXPECT_EQ(dir.Read("t.wav"), MakeTake(s.substr(0, 601)));
      EXPECT_EQ(dir.Read("t.vox").size(), 300u);
      continue;
    }
    EXPECT_FALSE(taken);
    const std::string said = shell.Messages.empty() ? error : shell.Messages[0];
    EXPECT_NE(said.find(row.Outcome), std::string::npos) << said;
    EXPECT_EQ(dir.Read("t.wav"), row.File);
    EXPECT_FALSE(dir.Exists("t.vox"));
    EXPECT_FALSE(dir.Exists("out.dat"));
  }
}

}  // namespace
