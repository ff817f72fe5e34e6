// Builds from configuration files full of random names (separators, dots, very long names,
// control characters, other letter cases) and checks that nothing outside the program's
// folder is ever created or changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "TempDir.h"
#include "codec/CodecTestKit.h"
#include "package/Builder.h"

namespace {

namespace fs = std::filesystem;

// The program's folder lies four levels below the test's, counted from "WAV Export", so even
// a name that climbed out as far as it can would land where this test looks.
constexpr const char* kProgram = "a/b/program/";
constexpr int kMostClimbs = 4;

// Every file and folder below root except the program's folder, with the files' contents.
std::map<std::string, std::string> Outside(const TempDir& dir) {
  std::map<std::string, std::string> seen;
  for (auto& e : fs::recursive_directory_iterator(dir.Folder())) {
    std::string rel = e.path().generic_string().substr(dir.Folder().size());
    if (rel.rfind(kProgram, 0) == 0) continue;
    seen[rel] = e.is_directory() ? "<folder>" : dir.Read(rel);
  }
  return seen;
}

// A random configured name made of pieces that mean something to a path.
std::string RandomName(std::mt19937& rng) {
  static const std::vector<std::string> pieces = [] {
    std::vector<std::string> p = {"..",   "..",       ".",    "/",         "/",     "\\",
                                  "\\",   "escaped",  "x",    "Hello.WAV", "a.wav", "WAV Export",
                                  "NONE", "",         "\x01", "\x1f",      "\t",    " ",
                                  "\x7f", "\xC3\xA9", "\xFF"};
    p.insert(p.begin() + 14, std::string(300, 'n'));  // the order the seed was chosen with
    p.push_back(std::string(1, '\0'));
    return p;
  }();
  std::uniform_int_distribution<size_t> count(1, 6), pick(0, pieces.size() - 1);
  std::string name;
  int climbs = 0;
  for (size_t n = count(rng); n > 0; --n) {
    std::string piece = pieces[pick(rng)];
    if (piece == ".." && ++climbs > kMostClimbs) piece = "x";
    name += piece;
  }
  return name;
}

TEST(BuilderNamesFuzz, NothingIsWrittenOutsideTheProgramsFolder) {
  TempDir dir;
  const std::string program = dir.Folder() + kProgram;
  fs::create_directories(program + "WAV Export");
  fs::create_directories(program + "sub");
  TWavSpec format;
  format.Rate = 44100;
  const std::string wav = MakeWav(format, std::string(64, static_cast<char>(200)));
  dir.Write(std::string(kProgram) + "a.wav", wav);
  dir.Write(std::string(kProgram) + "sub/Hello.wav", wav);
  // Files an escaped copy would overwrite, at every level a climb can reach; none of them is
  // a valid WAV, so a source that climbs out to them is read but never converted.
  for (const char* decoy : {"escaped.wav", "a/escaped.wav", "a/b/escaped.wav", "x.wav"})
    dir.Write(decoy, "RIFF" + std::string(100, '-') + " a user's file, not a WAV");
  const std::map<std::string, std::string> before = Outside(dir);

  // Sources are mostly names that reach a real file, written as users write them.
  const std::vector<std::string> sources = {"a.wav",         "A.WAV",   "sub\\Hello.WAV",
                                            "SUB/hello.wav", "./a.wav", "sub/../a.wav",
                                            "../escaped.wav"};
  std::mt19937 rng(13);
  std::uniform_int_distribution<size_t> source(0, sources.size() + 2);
  int refused = 0, copied = 0;
  for (int round = 0; round < 4; ++round) {
    std::string ini = "[SourceFileNames]\n", dest = "[DestinationFileNames]\n";
    for (int slot = 0; slot < 128; ++slot) {
      size_t s = source(rng);
      ini += "Name" + std::to_string(slot) + "=" +
             (s < sources.size() ? sources[s] : RandomName(rng)) + "\n";
      dest += "Name" + std::to_string(slot) + "=" + RandomName(rng) + "\n";
    }
    dir.Write(std::string(kProgram) + "ZelvorSound.ini", ini + dest);
    TAppContext ctx{program, ""};
    TRecordingShell shell;
    std::string error = ErrorOf([&] { Button2Click(ctx, shell, [](int) { return "row"; }); });
    EXPECT_EQ(error, "no error") << "round " << round;
    for (const std::string& line : shell.Status)
      if (line.rfind("Warning: destination ", 0) == 0) ++refused;
    ASSERT_EQ(Outside(dir), before) << "round " << round;
    // The sources are read, never written.
    ASSERT_EQ(dir.Read(std::string(kProgram) + "a.wav"), wav) << "round " << round;
    ASSERT_EQ(dir.Read(std::string(kProgram) + "sub/Hello.wav"), wav) << "round " << round;
  }
  for (auto& e : fs::directory_iterator(program + "WAV Export")) copied += e.is_regular_file();
  // Both ways were taken: names refused, and plain names copied into "WAV Export".
  EXPECT_GT(refused, 100) << refused;
  EXPECT_GT(copied, 10) << copied;
}

}  // namespace
