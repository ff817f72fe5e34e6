// zelvorsound-cli import / say end to end: exit codes, messages, several files into
// consecutive slots, and a run that stops at a source it cannot take.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "cli/CliRun.h"
#include "import/SoundTestKit.h"

namespace {

// Runs the CLI on exactly these arguments: each one word, texts with their quotes.
TRun Cli(const TempDir& dir, const std::vector<std::string>& args) {
  std::string words;
  for (const std::string& a : args) words += Quote(a) + " ";
  return RunCliIn(dir, words);
}

TEST(CliImport, MisuseIsRefusedWithCode64AndChangesNothing) {
  TempDir dir;
  const std::string a = dir.Path("a.wav");
  WriteSound(a, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1, 0.5, Tone(440, 0.5));
  dir.Write("ZelvorSound.ini", "[SoundFiles]\nName1=Taken\n");
  const auto before = FolderFiles(dir);
  const struct {
    std::vector<std::string> Args;
    std::string Says;
  } kMisuse[] = {
      {{"import", "--slot", "0"}, "needs at least one sound file"},
      {{"import", a}, "--slot needs a slot from 0 to 127"},
      {{"import", a, "--slot", "128"}, "--slot needs"},
      {{"import", a, "--slot", "two"}, "--slot needs"},
      {{"import", a, a, "--slot", "0", "--name", "n"}, "--name names one slot"},
      {{"import", a, a, "--slot", "127"}, "go past slot 127"},
      {{"import", a, "--slot", "0", "--peak", "loud"}, "--peak needs"},
      {{"import", a, "--slot", "0", "--peak", "3"}, "--peak needs"},
      {{"import", a, "--slot", "0", "--voice", "en"}, "unknown option '--voice'"},
      {{"import", a, "--slot", "0", "--name", ".."}, "\"..\""},
      {{"import", a, "--slot", "0", "--name", "Taken"}, "--force takes this one anyway"},
      {{"say", "--slot", "0"}, "say: needs a text"},
      {{"say", "hi", "--slot", "0", "--speed", "fast"}, "--speed needs"},
  };
  for (auto& m : kMisuse) {
    TRun r = Cli(dir, m.Args);
    SCOPED_TRACE(::testing::PrintToString(m.Args) + "\n" + r.Err);
    EXPECT_EQ(r.Code, 64);
    EXPECT_NE(r.Err.find(m.Says), std::string::npos);
    EXPECT_EQ(FolderFiles(dir), before);
  }
}

TEST(CliImport, SeveralFilesFillTheFollowingSlotsInTheFolder) {
  TempDir src, dir;
  WriteSound(src.Path("one.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, 1.0,
             Tone(500, 0.5));
  WriteSound(src.Path("two.ogg"), SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 1, 0.5, Tone(700, 0.3));
  src.Write("bad.mp3", "not a sound at all");

  TRun r = Cli(dir, {"import", src.Path("one.flac"), src.Path("two.ogg"), "--slot", "10"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out,
            "slot 10: \"one\", 8000 samples (1.000 s) in one.WAV and one.vox\n"
            "slot 11: \"two\", 4000 samples (0.500 s) in two.WAV and two.vox\n");
  TRun said = Cli(dir, {"say", "Don't", "panic", "--slot", "12", "--speed", "120"});
  ASSERT_EQ(said.Code, 0) << said.Err;
  EXPECT_EQ(said.Out.rfind("slot 12: \"Dont panic\", ", 0), 0u) << said.Out;

  for (const char* file : {"one.WAV", "two.vox", "Dont panic.WAV", "ZelvorSound.ini"})
    EXPECT_TRUE(dir.Exists(file)) << file;  // in --folder, not where the shell stands

  // A source that cannot be decoded (1) or opened (2) stops the run where it stands.
  const auto before = FolderFiles(dir);
  TRun bad = Cli(dir, {"import", src.Path("bad.mp3"), "--slot", "20"});
  EXPECT_EQ(bad.Code, 1);
  EXPECT_EQ(bad.Err.rfind("Cannot import \"" + src.Path("bad.mp3") + "\": ", 0), 0u) << bad.Err;
  TRun missing = Cli(dir, {"import", "nowhere.wav", "--slot", "20"});  // in the test's directory
  EXPECT_EQ(missing.Code, 2);
  EXPECT_EQ(missing.Err, "zelvorsound-cli: import: " +
                             (std::filesystem::current_path() / "nowhere.wav").string() +
                             ": File not found\n");
  EXPECT_EQ(FolderFiles(dir), before);

  TRun partly =
      Cli(dir, {"import", src.Path("one.flac"), src.Path("bad.mp3"), "--slot", "30", "--force"});
  EXPECT_EQ(partly.Code, 1);
  EXPECT_NE(partly.Err.find("stopped at " + src.Path("bad.mp3") + "; slot 30 was filled"),
            std::string::npos)
      << partly.Err;
}

}  // namespace
