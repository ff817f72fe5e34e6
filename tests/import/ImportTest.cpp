#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include "FakeShell.h"
#include "TempDir.h"
#include "codec/TakeFile.h"
#include "import/FileError.h"
#include "import/Import.h"
#include "import/PromptWriter.h"
#include "import/SoundReader.h"
#include "import/SoundTestKit.h"
#include "package/TakeOrigin.h"
#include "platform/profile.h"

namespace {

using Status = TImportStatus;

struct TImportRun {
  TImportResult Result;
  TFakeShell Shell;
  TAppContext Ctx;
};

TImportRun Import(const TempDir& dir, int slot, const std::string& source, TImportOptions o = {}) {
  TImportRun run;
  run.Ctx = {dir.Folder(), ""};
  run.Result = ImportSoundFile(run.Ctx, run.Shell, slot, source, o);
  return run;
}

double TakeLoudness(const std::vector<uint8_t>& samples) {
  TLoudnessMeter meter;
  meter.Add(samples.data(), samples.size());
  return meter.Loudness();
}

TEST(Import, ToneAt48kHzStereoFloatBecomesAFullTakeAndTheIniNamesIt) {
  TempDir src, dir;
  const std::string tone = src.Path("tone.wav");
  ASSERT_TRUE(WriteSound(tone, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, 48000, 2, 2.0, Tone(1000, 0.5)));
  const std::string ini =
      "; my prompts\n[SoundFiles]\nName0=Hello\n\n[DestinationFileNames]\n"
      "Name7=Seven\n";
  dir.Write("ZelvorSound.ini", ini);

  TImportRun run = Import(dir, 7, tone);
  ASSERT_EQ(run.Result.Status, Status::Done) << ::testing::PrintToString(run.Shell.Messages);
  EXPECT_EQ(run.Result.Name, "tone");
  EXPECT_TRUE(run.Shell.Messages.empty());
  EXPECT_EQ(run.Ctx.CurrentSoundFileName, dir.Path("tone.WAV"));

  const std::string take = dir.Read("tone.WAV");
  const std::vector<uint8_t> samples = TakeSamples(take);
  EXPECT_NEAR(static_cast<double>(samples.size()), 16000, 2);  // ±1 per 8000
  EXPECT_EQ(run.Result.KeptSamples, static_cast<int64_t>(samples.size()));
  const auto head = TakeHeader(static_cast<uint32_t>(samples.size()));
  EXPECT_EQ(take.substr(0, 46), std::string(head.begin(), head.end()));
  EXPECT_NEAR(Crossings(samples), 4000, 4);  // still 1 kHz: two crossings a period
  EXPECT_NEAR(TakeLoudness(samples), kDefaultLoudnessLufs, 0.5);
  EXPECT_EQ(dir.Read("tone.vox").size(), samples.size() / 2);

  // What made the take is kept beside it in the INI, never in the take.
  EXPECT_EQ(
      dir.Read("ZelvorSound.ini")
          .rfind("; my prompts\n[SoundFiles]\nName0=Hello\nName7=tone\n\n[DestinationFileNames]\n"
                 "Name7=Seven\n\n[SourceFileNames]\nName7=tone.WAV\n\n[TakeOrigins]\nName7=file|",
                 0),
      0u);
  const auto origin = ReadTakeOrigin(TIniFile(dir.Path("ZelvorSound.ini")), 7);
  ASSERT_TRUE(origin.has_value());
  EXPECT_EQ(origin->Path, tone);
  EXPECT_TRUE(IsTakeOf(dir.Path("tone.WAV"), *origin));
  for (auto& [name, bytes] : FolderFiles(dir)) EXPECT_NE(name[0], '.') << name << " left behind";

  TImportOptions quieter;
  quieter.Name = "quiet";
  quieter.Levelling = TLevelling::Peak;
  quieter.PeakDb = -6;
  ASSERT_EQ(Import(dir, 8, tone, quieter).Result.Status, Status::Done);
  EXPECT_NEAR(Level(TakeSamples(dir.Read("quiet.WAV"))), 64, 1);  // 127 × 0.501
}

TEST(Import, WithoutNormalisingSilenceInOneChannelHalvesTheLevel) {
  TempDir src, dir;
  WriteSound(src.Path("both.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 1.0, Tone(400, 0.8));
  WriteSound(src.Path("left.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 1.0,
             [](double t, int c) { return c == 0 ? Tone(400, 0.8)(t, c) : 0.0; });
  TImportOptions keep;
  keep.Levelling = TLevelling::None;
  ASSERT_EQ(Import(dir, 0, src.Path("both.wav"), keep).Result.Status, Status::Done);
  ASSERT_EQ(Import(dir, 1, src.Path("left.wav"), keep).Result.Status, Status::Done);
  // The level away from the ends, where the tone's abrupt start and stop ring.
  auto level = [&](const std::string& take) {
    const std::vector<uint8_t> s = TakeSamples(dir.Read(take));
    return Level(std::vector<uint8_t>(s.begin() + 400, s.end() - 400));
  };
  const int both = level("both.WAV");
  const int left = level("left.WAV");
  EXPECT_NEAR(both, 102, 1);  // 127 × 0.8
  EXPECT_NEAR(left, both / 2.0, 1.5);
}

TEST(Import, EveryFormatLibsndfileReadsComesInAtTheRightLengthAndPitch) {
  const struct {
    const char* File;
    int Format, Rate, Channels;
  } kCases[] = {
      {"a.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1},
      {"a.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 2},
      {"a.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2},
      {"a.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2},
      {"a.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 22050, 1},
      {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 11025, 1},
      {"x.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_32, 96000, 6},
      {"a.w64", SF_FORMAT_W64 | SF_FORMAT_DOUBLE, 16000, 1},
  };
  const bool mp3 = ReadableFormats().find("MP3") != std::string::npos;
  TempDir src, dir;
  for (auto& c : kCases) {
    SCOPED_TRACE(c.File);
    if (!mp3 && (c.Format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
      std::cout << "libsndfile " << sf_version_string() << " reads no MP3; that case is left out\n";
      continue;
    }
    ASSERT_TRUE(WriteSound(src.Path(c.File), c.Format, c.Rate, c.Channels, 1.0, Tone(500, 0.5)));
    TImportOptions o;
    o.Name = c.File;
    TImportRun run = Import(dir, 0, src.Path(c.File), o);
    ASSERT_EQ(run.Result.Status, Status::Done) << ::testing::PrintToString(run.Shell.Messages);
    const std::vector<uint8_t> samples = TakeSamples(dir.Read(o.Name + ".WAV"));
    EXPECT_NEAR(static_cast<double>(samples.size()), 8000, 1);
    EXPECT_NEAR(Crossings(samples), 1000, 4);
  }
}

TEST(Import, ClippedSoundIsHeldAtTheEndsNeverWrapped) {
  const struct {
    float In;
    int Out;
  } kSamples[] = {{0, 128}, {1, 255}, {-1, 1}, {0.5f, 192}, {7, 255}, {-7, 1}, {NAN, 128}};
  for (auto& s : kSamples) EXPECT_EQ(TakeSample(s.In), s.Out) << s.In;

  TempDir src, dir;
  WriteSound(src.Path("hot.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 32000, 1, 1.0, Tone(100, 4));
  TImportOptions keep;
  keep.Levelling = TLevelling::None;
  ASSERT_EQ(Import(dir, 0, src.Path("hot.wav"), keep).Result.Status, Status::Done);
  const std::vector<uint8_t> samples = TakeSamples(dir.Read("hot.WAV"));
  // A wrapped sample would cross over in the middle of a flat top.
  EXPECT_NEAR(Crossings(samples), 200, 2);
  EXPECT_EQ(Level(samples), 127);
  EXPECT_GT(std::count(samples.begin(), samples.end(), 255), 2000);
}

TEST(Import, UnusableSourcesLeaveEveryFileAsItWas) {
  TempDir src, dir;
  WriteSound(src.Path("good.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, 3.0,
             Tone(300, 0.5));
  const std::string flac = src.Read("good.flac");
  src.Write("cut.flac", flac.substr(0, flac.size() / 2));
  src.Write("garbled.flac", "XXXX" + flac.substr(4));
  src.Write("empty.wav", "");
  WriteSound(src.Path("hiss.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, 1.0,
             Tone(1000, 0.0005));  // -66 dB: normalising it would only make noise loud
  std::filesystem::create_directory(src.Path("folder"));

  dir.Write("ZelvorSound.ini", "; kept\n[SourceFileNames]\nName2=keep.WAV\n");
  dir.Write("keep.WAV", "an earlier take");
  const auto before = FolderFiles(dir);

  const struct {
    const char* Source;
    const char* Reason;
  } kRejected[] = {
      {"cut.flac", "the sound breaks off after "},    {"garbled.flac", "Format not recognised."},
      {"empty.wav", "Format not recognised."},        {"hiss.wav", "it holds only silence"},
      {"folder", "it is a folder, not a sound file"},
  };
  TImportOptions o;
  o.Name = "keep";
  for (auto& r : kRejected) {
    SCOPED_TRACE(r.Source);
    TImportRun run = Import(dir, 2, src.Path(r.Source), o);
    EXPECT_EQ(run.Result.Status, Status::Rejected);
    ASSERT_EQ(run.Shell.Messages.size(), 1u);
    const std::string& m = run.Shell.Messages[0];
    EXPECT_EQ(m.rfind("Cannot import \"" + src.Path(r.Source) + "\": ", 0), 0u) << m;
    EXPECT_NE(m.find(r.Reason), std::string::npos) << m;
    EXPECT_EQ(FolderFiles(dir), before);
  }

  const struct {
    std::string Source, Concerns;
    int Code;
  } kFileErrors[] = {
      {src.Path("missing.flac"), src.Path("missing.flac"), ioFileNotFound},
      {src.Path("good.flac"), dir.Path("keep.WAV"), ioAccessDenied},  // made read-only below
  };
  for (auto& f : kFileErrors) {
    SCOPED_TRACE(f.Source);
    if (f.Concerns == dir.Path("keep.WAV")) ::chmod(f.Concerns.c_str(), 0444);
    try {
      Import(dir, 2, f.Source, o);
      ADD_FAILURE() << "no file error";
    } catch (const EImportFileError& e) {
      EXPECT_EQ(e.Path, f.Concerns);
      EXPECT_EQ(e.ErrorCode, f.Code);
    }
    EXPECT_EQ(FolderFiles(dir), before);
  }
}

// The levelling keeps the speech, or says why it cannot and writes nothing.
TEST(Import, LevellingKeepsTheSpeechOrRefusesSayingWhy) {
  TempDir src;
  WriteSound(src.Path("clicky.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 2.21,
             Syllables(0.03, 0.01));
  WriteSound(src.Path("quiet.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 2.2,
             Syllables(0.08));
  WriteSound(src.Path("loud.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 2.2, Syllables(0.9));
  const struct {
    const char* Source;
    TLevelling Levelling;
    const char* Refusal;  // nullptr: imported
  } kCases[] = {
      {"clicky.wav", TLevelling::Loudness, nullptr},
      {"clicky.wav", TLevelling::Peak, "a click louder than the speech"},
      {"quiet.wav", TLevelling::None, "nothing of its 1."},
      {"quiet.wav", TLevelling::Loudness, nullptr},
      {"loud.wav", TLevelling::Loudness, nullptr},
  };
  for (auto& c : kCases) {
    SCOPED_TRACE(std::string(c.Source) + " levelled " + std::to_string(int(c.Levelling)));
    TempDir dir;
    dir.Write("keep.WAV", "an earlier take");
    dir.Write("ZelvorSound.ini", "[SourceFileNames]\nName0=keep.WAV\n");
    const auto before = FolderFiles(dir);
    TImportOptions o;
    o.Name = "keep";
    o.Levelling = c.Levelling;
    TImportRun run = Import(dir, 0, src.Path(c.Source), o);
    if (c.Refusal) {
      EXPECT_EQ(run.Result.Status, Status::Rejected);
      ASSERT_EQ(run.Shell.Messages.size(), 1u);
      EXPECT_NE(run.Shell.Messages[0].find(c.Refusal), std::string::npos) << run.Shell.Messages[0];
      EXPECT_EQ(FolderFiles(dir), before);
      continue;
    }
    ASSERT_EQ(run.Result.Status, Status::Done) << ::testing::PrintToString(run.Shell.Messages);
    const std::vector<uint8_t> samples = TakeSamples(dir.Read("keep.WAV"));
    EXPECT_GT(samples.size(), 8000u * 2);  // the speech, not the click alone
    EXPECT_NEAR(TakeLoudness(samples), kDefaultLoudnessLufs, 1);
    EXPECT_LE(Level(samples), 113);
  }
}

TEST(Import, NamesThatLeaveTheFolderOrBelongElsewhereAreRefused) {
  TempDir src, dir;
  WriteSound(src.Path("s.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, 0.5, Tone(500, 0.5));
  WriteSound(dir.Path("self.WAV"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 1, 0.5, Tone(500, 0.5));
  dir.Write("ZelvorSound.ini", "[SoundFiles]\nName1=Taken\n[SourceFileNames]\nName2=other.WAV\n");
  dir.Write("stray.WAV", "a file of the user's");
  const auto before = FolderFiles(dir);

  const struct {
    std::string Name;
    int Slot;
    double PeakDb;
    Status Expected;
  } kRefused[] = {
      {"a/b", 0, -1, Status::Refused},        {"a\\b", 0, -1, Status::Refused},
      {"..", 0, -1, Status::Refused},         {".", 0, -1, Status::Refused},
      {"two\nlines", 0, -1, Status::Refused}, {"ok", 128, -1, Status::Refused},
      {"ok", -1, -1, Status::Refused},        {"ok", 0, 3, Status::Refused},
      {"ok", 0, -41, Status::Refused},        {"Taken", 0, -1, Status::NameTaken},
      {"taken", 0, -1, Status::NameTaken},    {"other", 0, -1, Status::NameTaken},
      {"Sound 6", 0, -1, Status::NameTaken},  // slot 5's row, whose take the window records
      {"stray", 0, -1, Status::NameTaken},    {"self", 0, -1, Status::NameTaken},
  };
  for (auto& r : kRefused) {
    SCOPED_TRACE(r.Name + " into slot " + std::to_string(r.Slot));
    TImportOptions o;
    o.Name = r.Name;
    o.Levelling = TLevelling::Peak;
    o.PeakDb = r.PeakDb;
    if (r.PeakDb > 0) {  // the same row once more as a loudness above the highest
      o.Levelling = TLevelling::Loudness;
      o.LoudnessLufs = kHighestLoudnessLufs + r.PeakDb;
      EXPECT_EQ(Import(dir, r.Slot, src.Path("s.wav"), o).Result.Status, Status::Refused);
      o.Levelling = TLevelling::Peak;
    }
    const std::string source = r.Name == "self" ? dir.Path("self.WAV") : src.Path("s.wav");
    TImportRun run = Import(dir, r.Slot, source, o);
    EXPECT_EQ(run.Result.Status, r.Expected);
    EXPECT_EQ(run.Shell.Messages.size(), 1u);
    EXPECT_EQ(FolderFiles(dir), before);
  }

  // The same name into its own slot, or with Force, is taken.
  TImportOptions o;
  o.Name = "Taken";
  EXPECT_EQ(Import(dir, 1, src.Path("s.wav"), o).Result.Status, Status::Done);
  o.Name = "stray";
  o.Force = true;
  EXPECT_EQ(Import(dir, 3, src.Path("s.wav"), o).Result.Status, Status::Done);
  EXPECT_EQ(TIniFile(dir.Path("ZelvorSound.ini")).ReadString("SourceFileNames", "Name3", ""),
            "stray.WAV");
}

TEST(Say, SpeechBecomesATakeWithSoundAndAVoxOfHalfItsSamples) {
  TempDir dir;
  TFakeShell shell;
  TAppContext ctx{dir.Folder(), ""};
  TImportResult r = SpeakText(ctx, shell, 4, "Battery low!", {}, {});
  ASSERT_EQ(r.Status, Status::Done) << ::testing::PrintToString(shell.Messages);
  EXPECT_EQ(r.Name, "Battery low");
  const std::vector<uint8_t> samples = TakeSamples(dir.Read("Battery low.WAV"));
  EXPECT_GT(samples.size(), 4000u);  // half a second at least
  EXPECT_NEAR(TakeLoudness(samples), kDefaultLoudnessLufs, 1);
  EXPECT_LE(Level(samples), 113);  // the limiter holds the peaks under -1 dBFS
  EXPECT_GT(Crossings(samples), 100);
  EXPECT_EQ(dir.Read("Battery low.vox").size(), samples.size() / 2);

  const auto before = FolderFiles(dir);
  const struct {
    std::string Voice;
    int Speed;
  } kRefused[] = {{"no-such-voice", 175}, {"en", 79}, {"en", 451}};
  for (auto& r : kRefused) {
    SCOPED_TRACE(r.Voice + " " + std::to_string(r.Speed));
    TFakeShell refused;
    EXPECT_EQ(SpeakText(ctx, refused, 5, "Hello", {}, {r.Voice, r.Speed}).Status, Status::Refused);
    EXPECT_EQ(refused.Messages.size(), 1u);
    EXPECT_EQ(FolderFiles(dir), before);
  }
}

TEST(Import, DefaultNames) {
  const struct {
    std::string In, Out;
    bool Text;
  } kCases[] = {
      {"/a/b/Hello.flac", "Hello", false},
      {"take.one.wav", "take.one", false},
      {".hidden", ".hidden", false},
      {"Battery low!", "Battery low", true},
      {"Don't stop -- now", "Dont stop -- now", true},
      {"  *** ", "Speech", true},
      {"Ünïcödé text, kept whole", "Ünïcödé text kept whole", true},
      {"Please remove the probe from the sample now", "Please remove the probe from the sample now",
       true},
      {std::string(12, 'x') + std::string(99, ' ') + "y" + std::string(95, 'z'),
       std::string(12, 'x'), true},  // cut between words
      {std::string(101, 'x'), std::string(100, 'x'), true},
      {std::string(99, 'x') + "é" + std::string(10, 'x'), std::string(99, 'x'),
       true},  // cut between characters
  };
  for (auto& c : kCases) EXPECT_EQ(c.Text ? NameForText(c.In) : NameForSource(c.In), c.Out);
}

TEST(Import, AStoppedImportOrOneTooLongLeavesTheFolderAsItWas) {
  TempDir src, dir;
  ASSERT_TRUE(WriteSound(src.Path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 3.0,
                         Tone(440, 0.5)));
  dir.Write("ZelvorSound.ini", "[SoundFiles]\nName1=tone\n");
  dir.Write("tone.WAV", "an earlier take");
  const auto before = FolderFiles(dir);
  // How often a whole import asks whether to stop: its last question comes just before the
  // files take their names.
  int asked = 0;
  TImportOptions counting;
  counting.Stop = [&] { return ++asked, false; };
  TempDir other;
  ASSERT_EQ(Import(other, 1, src.Path("tone.wav"), counting).Result.Status, Status::Done);
  const int questions = asked;
  ASSERT_GT(questions, 2);
  for (int stopAt : {2, questions}) {
    SCOPED_TRACE(stopAt);
    asked = 0;
    TImportOptions o;
    o.Stop = [&] { return ++asked >= stopAt; };
    EXPECT_THROW(Import(dir, 1, src.Path("tone.wav"), o), EPromptStopped);
    EXPECT_TRUE(FolderFiles(dir) == before);
  }
  // The stream is given up as soon as it passes the longest take.
  TPromptWriter writer(8000, dir.Folder(), {}, 1000);
  const std::vector<float> second(8000, 0.5f);
  EXPECT_THROW(writer.Put(second.data(), second.size()), EPromptTooLong);
  EXPECT_TRUE(FolderFiles(dir) == before);
}

TEST(PromptWriter, HalfPrecisionKeepsElevenBitsAtEveryLevel) {
  const struct {
    float In;
    uint16_t Half;
  } rows[] = {
      {0.0f, 0x0000},          {-0.0f, 0x8000},         {1.0f, 0x3C00},
      {-2.0f, 0xC000},         {65504.0f, 0x7BFF},      {65520.0f, 0x7C00},
      {1e9f, 0x7C00},          {5.9604645e-8f, 0x0001}, {2.9e-8f, 0x0000},
      {6.1035156e-5f, 0x0400}, {1.00048828f, 0x3C00},  // a tie: to even
      {1.00146484f, 0x3C02},                           // a tie: to even, upwards
  };
  for (const auto& row : rows) {
    EXPECT_EQ(HalfFromFloat(row.In), row.Half) << row.In;
    if (row.Half != 0x7C00) {
      EXPECT_EQ(HalfFromFloat(FloatFromHalf(row.Half)), row.Half);
    }
  }
  EXPECT_TRUE(std::isnan(FloatFromHalf(HalfFromFloat(NAN))));
  // Far below the 8 bits of a take at every level a prompt may be scaled from.
  for (float v = 1e-4f; v < 60000; v *= 1.37f)
    EXPECT_LE(std::fabs(FloatFromHalf(HalfFromFloat(v)) - v), v / 2048) << v;
}

}  // namespace
