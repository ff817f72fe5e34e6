// zelvorsound-cli import / say end to end: exit codes, messages, several files into
// consecutive slots, and a run that stops at a source it cannot take.
#include <gtest/gtest.h>

#include <algorithm>
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
      {{"import", a, "--slot", "128"}, "slot 128 is not between 0 and 127"},
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
  EXPECT_EQ(
      bad.Err.rfind("zelvorsound-cli: import: Cannot import \"" + src.Path("bad.mp3") + "\": ", 0),
      0u)
      << bad.Err;
  TRun missing = Cli(dir, {"import", "nowhere.wav", "--slot", "20"});  // where the shell stands
  EXPECT_EQ(missing.Code, 2);
  EXPECT_EQ(missing.Err,
            "zelvorsound-cli: import: " + dir.Path("nowhere.wav") + ": File not found\n");
  EXPECT_EQ(FolderFiles(dir), before);

  TRun partly =
      Cli(dir, {"import", src.Path("one.flac"), src.Path("bad.mp3"), "--slot", "30", "--force"});
  EXPECT_EQ(partly.Code, 1);
  EXPECT_NE(partly.Err.find("stopped at " + src.Path("bad.mp3") + "; slot 30 was filled"),
            std::string::npos)
      << partly.Err;
}

// A list of five rows (two texts, one in a voice of its own, a source beside the list, and a
// bad row), run again from stdin, after its source changed, and with --force: each run makes
// only the rows whose take is not made from the same text or source already.
TEST(CliPrompts, AListMakesItsRowsOnceAndABadRowFailsAlone) {
  TempDir src, dir;
  const std::string alarm = src.Path("alarm.flac");
  WriteSound(alarm, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 0.5, Tone(600, 0.5));
  const std::string list = src.Write("list.csv",
                                     "\xEF\xBB\xBFslot,name,text,source,voice\r\n"
                                     "0,Welcome,\"Welcome, user\",,\r\n"
                                     "1,,Battery low,,\r\n"
                                     "2,Alarm,,alarm.flac,\r\n"
                                     "200,Lost,Nowhere,,\r\n"
                                     "4,Hallo,Hallo Welt,,de\r\n");
  const std::string folder = " --folder " + Quote(dir.Folder());
  const struct {
    std::string Args;  // run where the list lies
    std::vector<std::string> Made;
    std::string Summary;
  } runs[] = {
      {"prompts " + Quote(list),
       {"0: \"Welcome\"", "1: \"Battery low\"", "2: \"Alarm\"", "4: \"Hallo\""},
       "5 rows: 4 made, 0 already made, 1 failed\n"},
      {"prompts - < " + Quote(list), {}, "5 rows: 0 made, 4 already made, 1 failed\n"},
      {"touch", {"2: \"Alarm\""}, "5 rows: 1 made, 3 already made, 1 failed\n"},
      {"prompts list.csv --force",
       {"0: ", "1: ", "2: ", "4: "},
       "5 rows: 4 made, 0 already made, 1 failed\n"},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.Args);
    std::string args = run.Args;
    if (args == "touch") {  // the source changes: its row is made again
      WriteSound(alarm, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 0.7, Tone(500, 0.5));
      args = "prompts list.csv";
    }
    const TRun r = RunCli(args + folder, "-C " + Quote(src.Folder()));
    EXPECT_EQ(r.Code, 1);
    const std::string where = args.find(" - ") != std::string::npos  ? "stdin"
                              : args.find(list) != std::string::npos ? list
                                                                     : "list.csv";
    const std::string folderName = dir.Folder().substr(0, dir.Folder().size() - 1);
    EXPECT_EQ(r.Err, "zelvorsound-cli: prompts: working in the folder " + folderName +
                         "\nzelvorsound-cli: prompts: " + where +
                         ": line 5: slot 200 is not between 0 and 127\n");
    EXPECT_EQ(std::count(r.Out.begin(), r.Out.end(), '\n'), 5) << r.Out;  // four rows, a summary
    for (const std::string& made : run.Made)
      EXPECT_NE(r.Out.find("slot " + made), std::string::npos) << made << "\n" << r.Out;
    EXPECT_EQ(r.Out.substr(r.Out.rfind('\n', r.Out.size() - 2) + 1), run.Summary);
  }
  const std::string ini = dir.Read("ZelvorSound.ini");
  for (const char* origin : {"Name0=text|en|175|", "Name4=text|de|175|", "Name2=file|"})
    EXPECT_NE(ini.find(origin), std::string::npos) << origin << "\n" << ini;
  EXPECT_NE(ini.find("|Welcome, user\n"), std::string::npos);
  EXPECT_NE(ini.find("|" + alarm + "\n"), std::string::npos);
  for (const char* take : {"Welcome.WAV", "Battery low.vox", "Alarm.WAV", "Hallo.vox"})
    EXPECT_TRUE(dir.Exists(take)) << take;
}

}  // namespace
