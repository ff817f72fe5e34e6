#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "cli/CliRun.h"
#include "codec/CodecTestKit.h"

namespace {

TRun Cli(const TempDir& dir, const std::string& args) { return RunCliIn(dir, args); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) v.push_back(line);
  return v;
}

std::string LoudWav() {
  TWavSpec w;
  return MakeWav(w, std::string(100, static_cast<char>(200)));
}

TEST(CliConvert, ExitCodesTellDoneRejectedAndFileError) {
  TempDir dir;
  dir.Write("ok.wav", LoudWav());
  TRun ok = Cli(dir, "convert ok.wav");
  EXPECT_EQ(ok.Code, 0) << ok.Err;
  EXPECT_EQ(dir.Read("ok.vox").size(), 50u);

  TWavSpec stereo;
  stereo.Channels = 2;
  dir.Write("st.wav", MakeWav(stereo, "abcd"));
  TRun rejected = Cli(dir, "convert st.wav");
  EXPECT_EQ(rejected.Code, 1);
  EXPECT_EQ(rejected.Err, "zelvorsound-cli: convert: Invalid WAV file: " + dir.Path("st.wav") +
                              " Problem: Not MONO recording\n");
  EXPECT_FALSE(dir.Exists("st.vox"));

  TRun missing = Cli(dir, "convert none.wav");
  EXPECT_EQ(missing.Code, 2);
  EXPECT_EQ(missing.Err, "zelvorsound-cli: convert: none.wav: File not found\n");

  dir.Write("short.wav", LoudWav().substr(0, 30));
  TRun shortFile = Cli(dir, "convert short.wav");
  EXPECT_EQ(shortFile.Code, 2);
  EXPECT_EQ(shortFile.Err, "zelvorsound-cli: convert: short.wav: Read beyond end of file\n");
}

TEST(CliConvert, TakesAnAbsolutePathInOrOutsideTheFolder) {
  TempDir dir, elsewhere;
  dir.Write("in.wav", LoudWav());
  elsewhere.Write("out side.wav", LoudWav());
  for (const TempDir* d : {&dir, &elsewhere}) {
    const std::string name = d == &dir ? "in" : "out side";
    const TRun ok = Cli(dir, "convert " + Quote(d->Path(name + ".wav")));
    EXPECT_EQ(ok.Code, 0) << ok.Err;
    EXPECT_EQ(d->Read(name + ".vox").size(), 50u);
  }
  EXPECT_EQ(dir.Read("out.dat").size(), 100u);  // the working file stays in the folder
  EXPECT_FALSE(elsewhere.Exists("out.dat"));
}

TEST(CliTakeAndLoopback, RewriteTakeAndCodeItBack) {
  TempDir dir;
  std::string samples(3000, static_cast<char>(128));
  samples[1500] = static_cast<char>(250);
  dir.Write("t.wav", MakeTake(samples));
  TRun take = Cli(dir, "take t.wav");
  EXPECT_EQ(take.Code, 0) << take.Err;
  EXPECT_EQ(GetU32(dir.Read("t.wav"), 42), 899u + 501u);
  EXPECT_EQ(dir.Read("t.vox").size(), 700u);

  std::string cut = MakeTake(samples).substr(0, 200);
  dir.Write("cut.wav", cut);
  TRun broken = Cli(dir, "take cut.wav");
  EXPECT_EQ(broken.Code, 2);
  EXPECT_EQ(broken.Err, "zelvorsound-cli: take: cut.wav: Read beyond end of file\n");
  EXPECT_EQ(dir.Read("cut.wav"), cut);

  TRun loop = Cli(dir, "loopback t.wav");
  EXPECT_EQ(loop.Code, 0) << loop.Err;
  EXPECT_EQ(dir.Read("out.vox"), dir.Read("t.vox"));
  EXPECT_EQ(dir.Read("out.wav").size(), 46u + 1400u);
}

TEST(CliPackage, DemoBuildListExtractDecode) {
  TempDir dir;
  TRun demo = Cli(dir, "demo");
  ASSERT_EQ(demo.Code, 0) << demo.Err;
  std::string ini = dir.Read("ZelvorSound.ini");
  EXPECT_NE(ini.find("[SourceFileNames]"), std::string::npos);
  // A second run leaves the configuration alone.
  dir.Write("ZelvorSound.ini", ini + "; mine\n");
  EXPECT_EQ(Cli(dir, "demo").Code, 0);
  EXPECT_EQ(dir.Read("ZelvorSound.ini"), ini + "; mine\n");

  // By default the lines of the slots that name a source; -v every line, as the window's.
  TRun build = Cli(dir, "build");
  ASSERT_EQ(build.Code, 0) << build.Err;
  EXPECT_EQ(Lines(build.Out).size(), 5u) << build.Out;
  build = Cli(dir, "build -v");
  ASSERT_EQ(build.Code, 0) << build.Err;
  std::vector<std::string> lines = Lines(build.Out);
  ASSERT_EQ(lines.size(), 129u);
  EXPECT_EQ(lines[0].rfind("Processing Beep from ", 0), 0u);
  EXPECT_EQ(lines[4], "Warning: Sound 5.wav not found");
  EXPECT_EQ(lines.back(), "Created file \"Sounds.zvd\" in \"" + dir.Folder() +
                              "\". Copy this file to an SD card and install onto instrument.");
  EXPECT_EQ(build.Err, "zelvorsound-cli: build: 4 sounds packed, 124 slots left empty\n");
  // Quiet: nothing on stdout; the copies go into a "WAV Export" made anew.
  std::filesystem::remove_all(dir.Path("WAV Export"));
  TRun quiet = Cli(dir, "-q build");
  ASSERT_EQ(quiet.Code, 0) << quiet.Err;
  EXPECT_EQ(quiet.Out, "");
  EXPECT_EQ(quiet.Err, build.Err);
  EXPECT_EQ(dir.Read("WAV Export/Beep.wav"), dir.Read("demo/beep-8k.wav"));
  EXPECT_TRUE(dir.Exists("WAV Export/Pulses.wav"));

  TRun list = Cli(dir, "list Sounds.zvd");
  ASSERT_EQ(list.Code, 0) << list.Err;
  std::vector<std::string> rows = Lines(list.Out);
  ASSERT_EQ(rows.size(), 6u);  // heading, four sounds, total
  EXPECT_EQ(rows[1].substr(0, 19), "   0         512   ");
  EXPECT_EQ(rows.back().rfind("total: 4 sounds, ", 0), 0u);

  TRun extract = Cli(dir, "extract Sounds.zvd 1 one.wav");
  ASSERT_EQ(extract.Code, 0) << extract.Err;
  std::string one = dir.Read("one.wav");
  std::string pkg = dir.Read("Sounds.zvd");
  uint32_t count = GetU32(pkg, GetU32(pkg, 4));
  EXPECT_EQ(one.size(), 46u + 2 * count);
  EXPECT_EQ(GetU32(one, 24), 8000u);
  TRun empty = Cli(dir, "extract Sounds.zvd 4 four.wav");
  EXPECT_EQ(empty.Code, 1);
  EXPECT_EQ(empty.Err, "zelvorsound-cli: extract: Sounds.zvd: slot 4 holds no sound\n");
  EXPECT_FALSE(dir.Exists("four.wav"));
  EXPECT_EQ(Cli(dir, "extract Sounds.zvd 128 x.wav").Code, 64);

  TRun decode = Cli(dir, "decode demo/beep-8k.vox");
  ASSERT_EQ(decode.Code, 0) << decode.Err;
  const std::string decoded = dir.Read("testvox.wav");
  EXPECT_EQ(decoded.size(), 46u + 2 * dir.Read("demo/beep-8k.vox").size());
  std::filesystem::remove(dir.Path("testvox.wav"));
  TRun output = Cli(dir, "decode -o beep.wav demo/beep-8k.vox");
  ASSERT_EQ(output.Code, 0) << output.Err;
  EXPECT_EQ(dir.Read("beep.wav"), decoded);
  EXPECT_FALSE(dir.Exists("testvox.wav"));
}

TEST(CliPackage, RejectedSourcesGoToStderrAndDamageEndsInCodeTwo) {
  TempDir dir;
  TWavSpec stereo;
  stereo.Channels = 2;
  dir.Write("bad.wav", MakeWav(stereo, "abcd"));
  dir.Write("ZelvorSound.ini", "[SourceFileNames]\nName0=bad.wav\nName1=gone.wav\n");
  dir.Write("bad.vox", "old");  // from an earlier build: packed in the rejected one's place
  TRun build = Cli(dir, "build");
  EXPECT_EQ(build.Code, 1);
  EXPECT_EQ(build.Err, "zelvorsound-cli: build: Invalid WAV file: " + dir.Path("bad.wav") +
                           " Problem: Not MONO recording\n"
                           "zelvorsound-cli: build: warning: slot 1: " +
                           dir.Path("gone.wav") +
                           " not found\n"
                           "zelvorsound-cli: build: slot 0: 'zelvorsound-cli import bad.wav "
                           "--slot 0' takes any sound file\n"
                           "zelvorsound-cli: build: 1 sound packed, 1 source rejected (bad.wav), "
                           "1 source not found (gone.wav), 127 slots left empty\n");
  EXPECT_EQ(Lines(build.Out).back().rfind("Created file ", 0), 0u);

  // Without "ZelvorSound.ini" the build still runs, and says why nothing is packed.
  std::filesystem::remove(dir.Path("ZelvorSound.ini"));
  build = Cli(dir, "build");
  EXPECT_EQ(build.Code, 0);
  EXPECT_EQ(build.Err.rfind("zelvorsound-cli: build: no \"ZelvorSound.ini\" in " + dir.Folder(), 0),
            0u)
      << build.Err;
  EXPECT_NE(build.Err.find("0 sounds packed, 128 slots left empty"), std::string::npos);

  // A source that breaks off is named with its slot; the package is left as it was.
  dir.Write("ZelvorSound.ini", "[SourceFileNames]\nName2=cut.wav\n");
  dir.Write("cut.wav", LoudWav().substr(0, 30));
  const std::string before = dir.Read("Sounds.zvd");
  build = Cli(dir, "build");
  EXPECT_EQ(build.Code, 2);
  EXPECT_EQ(build.Err, "zelvorsound-cli: build: slot 2, cut.wav: Read beyond end of file\n");
  EXPECT_EQ(dir.Read("Sounds.zvd"), before);

  std::string damaged(512, '\0');
  damaged[0] = static_cast<char>(0x00);
  damaged[1] = static_cast<char>(0x10);  // slot 0 at 4096, past the end
  dir.Write("d.zvd", damaged);
  TRun list = Cli(dir, "list d.zvd");
  EXPECT_EQ(list.Code, 2);
  EXPECT_EQ(list.Err, "zelvorsound-cli: list: d.zvd: Read beyond end of file\n");
  EXPECT_EQ(Cli(dir, "extract d.zvd 0 x.wav").Code, 2);
  EXPECT_EQ(Cli(dir, "list missing.zvd").Code, 2);
}

}  // namespace
