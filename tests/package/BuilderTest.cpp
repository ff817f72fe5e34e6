#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "TempDir.h"
#include "codec/CodecTestKit.h"
#include "package/Builder.h"
#include "package/Package.h"
#include "platform/profile.h"

namespace {

std::string DefaultRow(int i) { return "Sound " + std::to_string(i + 1); }

// An 8-bit 44.1 kHz source (no leading trim) of n loud samples: its ".vox" has n / 2 bytes.
std::string LoudSource(size_t n) {
  TWavSpec w;
  w.Rate = 44100;
  return MakeWav(w, std::string(n, static_cast<char>(200)));
}

// A folder set up as the program's: an INI and sources written by each test. It lies at
// Sub ("a/b/", say) inside the test's temporary folder, or is that folder itself.
struct TBuildFolder {
  TempDir Dir;
  const std::string Sub;
  TAppContext Ctx{Dir.Folder() + Sub, ""};
  TRecordingShell Shell;

  explicit TBuildFolder(std::string sub = "") : Sub(std::move(sub)) {
    std::filesystem::create_directories(Dir.Path(Sub + "WAV Export"));
  }
  void Ini(const std::string& text) { Dir.Write(Sub + "ZelvorSound.ini", text); }
  void Source(const std::string& name, size_t n) { Dir.Write(Sub + name, LoudSource(n)); }
  std::string Build() {
    Button2Click(Ctx, Shell, DefaultRow);
    return Dir.Read(Sub + "Sounds.zvd");
  }
  std::string FinalMessage() const {
    return "Created file \"Sounds.zvd\" in \"" + Ctx.ExeFolder +
           "\". Copy this file to an SD card and install onto instrument.";
  }
};

TEST(PackageBuilder, NoSourcesGiveAnEmptyDirectoryAndWarnings) {
  TBuildFolder b;
  b.Ini("[SoundFiles]\nName0=Hello\n");
  std::string pkg = b.Build();
  EXPECT_EQ(pkg, std::string(512, '\0'));
  ASSERT_EQ(b.Shell.Status.size(), 128u);
  EXPECT_EQ(b.Shell.Status[0], "Warning: Sound 1.wav not found");
  EXPECT_EQ(b.Shell.Status[127], "Warning: Sound 128.wav not found");
  EXPECT_EQ(b.Shell.Clears, 1);
  EXPECT_EQ(b.Shell.Shows, 1);
  ASSERT_EQ(b.Shell.Messages.size(), 1u);
  EXPECT_EQ(b.Shell.Messages[0], b.FinalMessage());
  EXPECT_TRUE(b.Dir.Exists("temp2.tmp"));
  EXPECT_FALSE(b.Dir.Exists("Sounds.zvd.building"));
}

TEST(PackageBuilder, OffsetsFollowTheStagingSize) {
  TBuildFolder b;
  b.Source("a.wav", 20);
  b.Source("b.wav", 40);
  b.Ini("[SourceFileNames]\nName0=a.wav\nName3=b.wav\n[SoundFiles]\nName0=A\nName3=B\n");
  std::string pkg = b.Build();
  ASSERT_EQ(pkg.size(), 550u);
  EXPECT_EQ(GetU32(pkg, 0), 512u);
  EXPECT_EQ(GetU32(pkg, 12), 526u);
  for (int i : {1, 2, 4, 127}) EXPECT_EQ(GetU32(pkg, 4 * i), 0u) << i;
  EXPECT_EQ(GetU32(pkg, 512), 10u);
  EXPECT_EQ(pkg.substr(516, 10), b.Dir.Read("a.vox"));
  EXPECT_EQ(GetU32(pkg, 526), 20u);
  EXPECT_EQ(pkg.substr(530), b.Dir.Read("b.vox"));
  EXPECT_EQ(b.Shell.Status[0], "Processing A from a.wav");
  EXPECT_EQ(b.Shell.Status[1], "Warning: Sound 2.wav not found");
  EXPECT_EQ(b.Shell.Status[3], "Processing B from b.wav");
}

TEST(PackageBuilder, SummaryTellsPackedRejectedMissingAndEmptySlots) {
  TBuildFolder b;
  b.Source("good.wav", 20);
  TWavSpec stereo;
  stereo.Channels = 2;
  b.Dir.Write("stereo.wav", MakeWav(stereo, std::string(40, static_cast<char>(200))));
  b.Ini("[SourceFileNames]\nName0=good.wav\nName1=stereo.wav\nName2=gone.wav\nName3=NONE\n");
  TBuildSummary s = Button2Click(b.Ctx, b.Shell, DefaultRow);
  EXPECT_TRUE(s.ConfigFound);
  EXPECT_EQ(s.Packed, 1);
  ASSERT_EQ(s.Rejected.size(), 1u);
  EXPECT_EQ(s.Rejected[0].Slot, 1);
  EXPECT_NE(s.Rejected[0].Reason.find("stereo.wav Problem: Not MONO"), std::string::npos);
  ASSERT_EQ(s.Missing.size(), 1u);
  EXPECT_EQ(s.Missing[0].Path, b.Dir.Path("gone.wav"));
  ASSERT_EQ(s.Empty.size(), 127u);
  EXPECT_EQ(s.Empty.front(), 1);
  std::filesystem::remove(b.Dir.Path("ZelvorSound.ini"));
  EXPECT_FALSE(Button2Click(b.Ctx, b.Shell, DefaultRow).ConfigFound);
}

TEST(PackageBuilder, SingleSlotFiveOfThousandBytes) {
  TBuildFolder b;
  b.Source("five.wav", 2000);
  b.Ini("[SourceFileNames]\nName5=five.wav\nName127=five.wav\n");
  std::string pkg = b.Build();
  EXPECT_EQ(GetU32(pkg, 20), 512u);
  EXPECT_EQ(GetU32(pkg, 512), 1000u);
  EXPECT_EQ(GetU32(pkg, 4 * 127), 1516u);
  EXPECT_EQ(pkg.size(), 1516u + 1004u);
  // The slot the user chose stays chosen: the builder's conversions use a name of their own.
  b.Ctx.CurrentSoundFileName = b.Dir.Path("Chosen.WAV");
  b.Build();
  EXPECT_EQ(b.Ctx.CurrentSoundFileName, b.Dir.Path("Chosen.WAV"));
}

TEST(PackageBuilder, NoneAndMissingValuesAndEmptyVox) {
  TBuildFolder b;
  TWavSpec quiet;
  quiet.Rate = 8000;  // leading trim finds nothing loud: an empty ".vox"
  b.Dir.Write("quiet.wav", MakeWav(quiet, std::string(3000, static_cast<char>(128))));
  b.Source("Hello.wav", 10);
  b.Ini(
      "[SourceFileNames]\nName0=none\nName1=NONE\nName2=quiet.wav\nName3=Hello.wav\n"
      "Name4=missing.wav\n[SoundFiles]\nName0=Zero\n");
  std::string pkg = b.Build();
  EXPECT_EQ(b.Shell.Status[0], "Warning: Sound 1.wav not found");
  EXPECT_EQ(b.Shell.Status[1], "Warning: Sound 2.wav not found");
  EXPECT_EQ(b.Shell.Status[2], "Processing  from quiet.wav");
  EXPECT_EQ(b.Shell.Status[3], "Processing  from Hello.wav");
  EXPECT_EQ(b.Shell.Status[4], "Warning: Sound 5.wav not found");
  EXPECT_EQ(GetU32(pkg, 8), 512u);  // the empty ".vox" still has a record
  EXPECT_EQ(GetU32(pkg, 512), 0u);
  EXPECT_EQ(GetU32(pkg, 12), 516u);
  EXPECT_EQ(pkg.size(), 512u + 4 + 4 + 5);
}

TEST(PackageBuilder, DestinationGetsACopyAndBackslashesSeparateFolders) {
  TBuildFolder b;
  std::filesystem::create_directory(b.Dir.Path("voice"));
  b.Source("voice/Hello.wav", 30);
  b.Ini(
      "[SourceFileNames]\nName0=voice\\Hello.wav\n"
      "[DestinationFileNames]\nName0=Greeting\n");
  b.Dir.Write("WAV Export/Greeting.wav", "stale");
  std::string pkg = b.Build();
  EXPECT_EQ(b.Dir.Read("WAV Export/Greeting.wav"), b.Dir.Read("voice/Hello.wav"));
  EXPECT_TRUE(b.Dir.Exists("voice/Hello.vox"));
  EXPECT_EQ(GetU32(pkg, 512), 15u);
  EXPECT_EQ(b.Shell.Status[0], "Processing  from voice/Hello.wav");
}

TEST(PackageBuilder, MissingExportFolderDoesNotStopTheBuild) {
  TBuildFolder b;
  std::filesystem::remove(b.Dir.Path("WAV Export"));
  b.Source("Hello.wav", 30);
  b.Ini("[SourceFileNames]\nName0=Hello.wav\n[DestinationFileNames]\nName0=Greeting\n");
  std::string pkg = b.Build();
  EXPECT_EQ(GetU32(pkg, 512), 15u);
  EXPECT_EQ(b.Shell.Messages.back(), b.FinalMessage());
}

TEST(PackageBuilder, InvalidSourcePacksTheOldVox) {
  TBuildFolder b;
  TWavSpec stereo;
  stereo.Channels = 2;
  b.Dir.Write("Bad.wav", MakeWav(stereo, std::string(100, 'x')));
  b.Dir.Write("Bad.vox", "OLDVOX");
  b.Ini("[SourceFileNames]\nName1=Bad.wav\n");
  std::string pkg = b.Build();
  ASSERT_EQ(b.Shell.Messages.size(), 2u);
  EXPECT_EQ(b.Shell.Messages[0],
            "Invalid WAV file: " + b.Dir.Path("Bad.wav") + " Problem: Not MONO recording");
  EXPECT_EQ(b.Shell.Messages[1], b.FinalMessage());
  // The rejection warns; the final message informs.
  EXPECT_EQ(b.Shell.Severities, (std::vector<TMessageSeverity>{msWarning, msInformation}));
  EXPECT_EQ(GetU32(pkg, 4), 512u);
  EXPECT_EQ(pkg.substr(512), std::string("\x06\0\0\0", 4) + "OLDVOX");
  // Without an old ".vox" the slot stays empty and no further line is added.
  TBuildFolder c;
  c.Dir.Write("Bad.wav", MakeWav(stereo, std::string(100, 'x')));
  c.Ini("[SourceFileNames]\nName1=Bad.wav\n");
  EXPECT_EQ(c.Build(), std::string(512, '\0'));
  EXPECT_EQ(c.Shell.Status.size(), 128u);
}

TEST(PackageBuilder, TwoBuildsGiveIdenticalPackages) {
  TBuildFolder b;
  b.Source("a.wav", 300);
  TWavSpec w16;
  w16.Bits = 16;
  w16.Rate = 44100;
  std::vector<int16_t> x(20000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>((i * 7919) % 20000 - 10000);
  b.Dir.Write("b.wav", MakeWav(w16, Samples16(x)));
  b.Ini("[SourceFileNames]\nName2=a.wav\nName9=b.wav\n");
  std::string first = b.Build();
  std::string second = b.Build();
  EXPECT_GT(first.size(), 512u + 300);
  EXPECT_EQ(first, second);
  EXPECT_EQ(b.Shell.Clears, 2);
  EXPECT_EQ(b.Shell.Status.size(), 128u);  // cleared before the second build
}

TEST(PackageBuilder, FailedBuildLeavesTheOldPackage) {
  TBuildFolder b;
  b.Source("a.wav", 300);
  b.Ini("[SourceFileNames]\nName0=a.wav\n");
  std::string good = b.Build();
  // A source whose data size runs past its end ends the build with the runtime's error.
  TWavSpec w;
  w.DataSizeField = 100000;
  b.Dir.Write("broken.wav", MakeWav(w, std::string(50, static_cast<char>(200))));
  b.Ini("[SourceFileNames]\nName0=a.wav\nName1=broken.wav\n");
  size_t messages = b.Shell.Messages.size();
  EXPECT_EQ(ErrorOf([&] { Button2Click(b.Ctx, b.Shell, DefaultRow); }), "Read beyond end of file");
  EXPECT_EQ(b.Dir.Read("Sounds.zvd"), good);
  EXPECT_EQ(b.Shell.Messages.size(), messages);  // no final message
  EXPECT_FALSE(b.Dir.Exists("Sounds.zvd.building"));
}

TEST(PackageBuilder, ReadOnlyFilesRefuseTheBuildAndStayAsTheyWere) {
  TWavSpec stereo;
  stereo.Channels = 2;
  // Every file the build would write or replace, made read-only (root included).
  for (const char* file : {"Sounds.zvd", "temp2.tmp", "out.dat", "good.vox", "Bad.vox"}) {
    TBuildFolder b;
    b.Source("good.wav", 20);
    b.Dir.Write("Bad.wav", MakeWav(stereo, "xx"));
    b.Ini("[SourceFileNames]\nName0=good.wav\nName1=Bad.wav\n");
    b.Dir.Write(file, "OLD");
    std::filesystem::permissions(b.Dir.Path(file), std::filesystem::perms::owner_read);
    EXPECT_EQ(ErrorOf([&] { Button2Click(b.Ctx, b.Shell, DefaultRow); }), "File access denied")
        << file;
    EXPECT_EQ(b.Dir.Read(file), "OLD") << file;
    EXPECT_FALSE(b.Dir.Exists("Sounds.zvd.building")) << file;
  }
}

TEST(PackageBuilder, DestinationsThatAreNoPlainNameAreRefused) {
  TBuildFolder b("a/b/");  // two folders down, so an escape would still land in the test's
  b.Source("Hello.wav", 30);
  const std::vector<std::string> refused = {
      "../../escaped", "..\\..\\escaped", "..", ".", "sub/x", "/abs", "x\\"};
  std::string ini = "[SourceFileNames]\n", dest = "[DestinationFileNames]\n";
  for (size_t i = 0; i <= refused.size(); ++i) {
    ini += "Name" + std::to_string(i) + "=Hello.wav\n";
    dest +=
        "Name" + std::to_string(i) + "=" + (i < refused.size() ? refused[i] : "Greeting") + "\n";
  }
  b.Ini(ini + dest);
  std::string pkg = b.Build();
  for (size_t i = 0; i < refused.size(); ++i) {
    // Right after the slot's processing line, the value as the file gives it; the slot is
    // still converted and packed.
    EXPECT_EQ(b.Shell.Status[2 * i], "Processing  from Hello.wav");
    EXPECT_EQ(b.Shell.Status[2 * i + 1],
              "Warning: destination \"" + refused[i] + "\" refused: it must be a plain name");
    EXPECT_NE(GetU32(pkg, 4 * i), 0u) << i;
  }
  EXPECT_EQ(b.Shell.Status[2 * refused.size()], "Processing  from Hello.wav");
  EXPECT_EQ(b.Shell.Status.size(), 128u + refused.size());
  EXPECT_EQ(b.Shell.Messages.back(), b.FinalMessage());
  // The plain name was copied; nothing else was written outside the build's own files.
  std::vector<std::string> written;
  for (auto& e : std::filesystem::recursive_directory_iterator(b.Dir.Folder()))
    if (!e.is_directory())
      written.push_back(e.path().generic_string().substr(b.Dir.Folder().size()));
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"a/b/Hello.vox", "a/b/Hello.wav", "a/b/Sounds.zvd",
                                               "a/b/WAV Export/Greeting.wav", "a/b/ZelvorSound.ini",
                                               "a/b/out.dat", "a/b/temp2.tmp"}));
}

TEST(PackageBuilder, NamesFindTheirFilesWhateverTheLetterCase) {
  TBuildFolder b;
  // Through another name: wine keeps a name whose letter case alone changes.
  std::filesystem::rename(b.Dir.Path("WAV Export"), b.Dir.Path("export"));
  std::filesystem::rename(b.Dir.Path("export"), b.Dir.Path("wav export"));
  std::filesystem::create_directory(b.Dir.Path("voice"));
  b.Source("voice/hello.wav", 30);
  b.Source("take.wav", 20);
  b.Dir.Write("TAKE.VOX", "stale codes");
  b.Dir.Write("sounds.zvd", "old package");
  b.Dir.Write("zelvorsound.ini",
              "[SourceFileNames]\nName0=Voice\\Hello.WAV\nName1=Take.WAV\n"
              "[DestinationFileNames]\nName0=Greeting\n");
  Button2Click(b.Ctx, b.Shell, DefaultRow);
  // Names are shown as formed; every access found the file whatever its letter case.
  EXPECT_EQ(b.Shell.Status[0], "Processing  from Voice/Hello.WAV");
  EXPECT_EQ(b.Shell.Status[1], "Processing  from Take.WAV");
  EXPECT_EQ(b.Dir.Read("wav export/Greeting.wav"), b.Dir.Read("voice/hello.wav"));
  EXPECT_EQ(b.Dir.Read("voice/Hello.vox").size(), 15u);  // nothing matched: made as formed
  EXPECT_EQ(b.Dir.Read("TAKE.VOX").size(), 10u);         // written into the existing file
  // The package replaced the existing one; no name was made twice.
  EXPECT_EQ(b.Dir.Names(),
            (std::vector<std::string>{"TAKE.VOX", "out.dat", "sounds.zvd", "take.wav", "temp2.tmp",
                                      "voice", "wav export", "zelvorsound.ini"}));
  std::string pkg = b.Dir.Read("sounds.zvd");
  EXPECT_EQ(GetU32(pkg, 512), 15u);
  EXPECT_EQ(GetU32(pkg, 4), 512u + 4 + 15);
}

// Every file below the folder, by its name there, with its bytes.
std::map<std::string, std::string> FilesOf(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
    if (e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      files[e.path().string().substr(folder.size())] = {std::istreambuf_iterator<char>(in), {}};
    }
  return files;
}

// A build on several workers says and writes what a build of one slot after the other does:
// the lines, the messages, the package, "temp2.tmp", "out.dat", every ".vox" and copy; also
// where a slot reads what an earlier one writes, and where the build ends at a broken source.
TEST(PackageBuilder, WorkersBuildWhatOneSlotAfterTheOtherBuilds) {
  TWavSpec stereo, w16, broken;
  stereo.Channels = 2;
  w16.Bits = 16;
  w16.Rate = 44100;
  broken.DataSizeField = 100000;
  std::vector<int16_t> x(30000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>(9000 * std::sin(i * 0.03));
  const std::map<std::string, std::string> sources = {
      {"b16.wav", MakeWav(w16, Samples16(x))},
      {"stereo.wav", MakeWav(stereo, std::string(40, 'x'))},
      {"stereo.vox", "an older .vox"},
      {"broken.wav", MakeWav(broken, std::string(50, static_cast<char>(200)))},
      // An earlier slot writes x.vox and out.dat; later slots read them as sources.
      {"x.wav", LoudSource(3000)},
      {"x.vox", "to be replaced"},
  };
  struct TRow {
    const char* What;
    TCoder Coder;
    int BrokenSlot;  // the slot that names the broken source, or -1
  } rows[] = {
      {"standard coder", TCoder::Standard, -1},
      {"optimal coder", TCoder::Optimal, -1},
      {"a broken source", TCoder::Standard, 52},
  };
  for (const TRow& row : rows) {
    std::map<std::string, std::string> built[2];
    std::vector<std::string> said[2];
    for (int run = 0; run < 2; ++run) {
      TBuildFolder b("folder/");
      for (const auto& [name, bytes] : sources) b.Dir.Write("folder/" + name, bytes);
      b.Dir.Write("outside.wav", LoudSource(100));
      for (int slot = 7; slot < 90; slot += 9)
        b.Source("s" + std::to_string(slot) + ".wav", 100 + 37 * slot);
      std::string ini = "[SourceFileNames]\n", dest = "[DestinationFileNames]\n";
      for (int slot = 0; slot < 90; ++slot) {
        const std::string key = "Name" + std::to_string(slot) + "=";
        const char* named[] = {"b16.wav",        "stereo.wav", "gone.wav",
                               "../outside.wav", "x.wav",      "x.vox",
                               "out.dat",        "s.wav",      "NONE"};
        std::string source = slot == row.BrokenSlot ? "broken.wav" : named[slot % 9];
        if (source == "s.wav") source = "s" + std::to_string(slot) + ".wav";
        ini += key + source + "\n";
        if (slot % 7 == 0) dest += key + "copy" + std::to_string(slot % 3) + "\n";
      }
      b.Ini(ini + dest);
      TAppContext ctx{b.Ctx.ExeFolder, "", row.Coder};
      const TIniFile file(ctx.ExeFolder + "ZelvorSound.ini");
      TBuildSummary summary;
      said[run].push_back(ErrorOf([&] {
        summary =
            BuildPackage(ctx, b.Shell, DefaultRow, ReadBuildConfig(file), true, run == 0 ? 1 : 4);
      }));
      // The folder differs from run to run.
      auto say = [&](std::string text) {
        for (size_t at; (at = text.find(b.Ctx.ExeFolder)) != std::string::npos;)
          text.replace(at, b.Ctx.ExeFolder.size(), "<>");
        said[run].push_back(text);
      };
      for (const std::string& line : b.Shell.Status) say(line);
      for (int slot : b.Shell.StatusSlots) say(std::to_string(slot));
      for (const std::string& m : b.Shell.Messages) say(m);
      // The summary the front ends report from.
      for (const auto* problems : {&summary.Rejected, &summary.Missing, &summary.Refused})
        for (const TSlotProblem& p : *problems)
          say(std::to_string(p.Slot) + " " + p.Source + " " + p.Path + " " + p.Reason);
      for (int slot : summary.Empty) say("empty " + std::to_string(slot));
      say("packed " + std::to_string(summary.Packed));
      built[run] = FilesOf(b.Ctx.ExeFolder);
    }
    // A line for every slot up to the end of the build, and the error (or none).
    EXPECT_GT(said[0].size(), row.BrokenSlot < 0 ? 129u : row.BrokenSlot + 1u) << row.What;
    EXPECT_EQ(said[0][0], row.BrokenSlot < 0 ? "no error" : "Read beyond end of file") << row.What;
    EXPECT_EQ(said[1], said[0]) << row.What;
    EXPECT_EQ(built[1], built[0]) << row.What;
  }
}

}  // namespace
