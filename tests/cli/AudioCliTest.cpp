// zelvorsound-cli record / play end to end: through the ALSA driver over the file device of
// tests/platform/alsa/asound.conf (no sound card needed), and on the virtual device for
// Ctrl-C and the error exits.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <random>
#include <string>

#include "TempDir.h"

namespace {

struct TRun {
  int Code = -1;
  std::string Out, Err;
};

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs the CLI in the folder with the environment prefix (VAR=value ...) and arguments.
TRun Cli(const TempDir& dir, const std::string& env, const std::string& args,
         const std::string& wrapper = "") {
  TempDir io;
  const std::string cmd = "env " + env + " " + wrapper + " " + Quote(ZS_CLI_PATH) + " " + args +
                          " --folder " + Quote(dir.Folder()) + " >" + Quote(io.Path("out")) +
                          " 2>" + Quote(io.Path("err"));
  const int status = std::system(cmd.c_str());
  TRun r;
  r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.Out = io.Read("out");
  r.Err = io.Read("err");
  return r;
}

std::string AlsaEnv(const TempDir& dir) {
  return "ZELVOR_AUDIO=alsa ALSA_CONFIG_PATH=" +
         Quote(std::string(ZS_SOURCE_DIR) + "/tests/platform/alsa/asound.conf") +
         " ZELVOR_ALSA_DEVICE=zelvor_file ZELVOR_TEST_CAPTURE=" + Quote(dir.Path("capture.raw")) +
         " ZELVOR_TEST_PLAYBACK=" + Quote(dir.Path("played.raw"));
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, 0);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

uint32_t LE32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s.at(at + i))) << (8 * i);
  return v;
}

// The checks every take must pass: 46-byte header, sizes that match the file (the recorder
// pads odd data; the rewritten take of the conversion does not). Returns the data bytes.
std::string TakeData(const std::string& file, bool padded = true) {
  EXPECT_GE(file.size(), 46u);
  if (file.size() < 46) return {};
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(file.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(LE32(file, 16), 18u);
  EXPECT_EQ(file.substr(38, 4), "data");
  const uint32_t size = LE32(file, 42);
  const uint32_t pad = padded ? (size & 1) : 0;
  EXPECT_EQ(LE32(file, 4), 38u + size + pad);
  EXPECT_EQ(file.size(), 46u + size + pad);
  return file.substr(46, size);
}

}  // namespace

TEST(AudioCliAlsa, RecordCapturesExactlyTheInputBytesIntoAValidTake) {
  TempDir dir;
  // The default format is 8000 Hz 8-bit mono: two seconds are 16000 bytes; the input holds
  // more than any take below.
  const std::string input = RandomBytes(48000, 11);
  dir.Write("capture.raw", input);
  const TRun r = Cli(dir, AlsaEnv(dir), "record take.wav --seconds 2 --raw");
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::string data = TakeData(dir.Read("take.wav"));
  EXPECT_EQ(data.size(), 16000u);
  EXPECT_TRUE(data == input.substr(0, 16000)) << "the take differs from the input";
  EXPECT_NE(r.Out.find("recorded 0:02.00 (16000 bytes"), std::string::npos) << r.Out;
  EXPECT_NE(r.Err.find("\rRecording "), std::string::npos);  // the live line
  EXPECT_FALSE(dir.Exists("take.vox"));

  // Stereo 16-bit at 11025 Hz (format 8): whole frames of four bytes.
  const TRun st = Cli(dir, AlsaEnv(dir), "record st.wav --seconds 1 --format 8 --raw");
  ASSERT_EQ(st.Code, 0) << st.Err;
  const std::string stData = TakeData(dir.Read("st.wav"));
  EXPECT_EQ(stData.size(), 44100u);
  EXPECT_TRUE(stData == input.substr(0, 44100));
}

TEST(AudioCliAlsa, RecordWithoutRawCodesTheTake) {
  TempDir dir;
  // A loud tone between two quiet stretches: the take is trimmed and coded.
  std::string input(16000, static_cast<char>(128));
  for (int i = 4000; i < 12000; ++i) input[i] = static_cast<char>(i % 16 < 8 ? 228 : 28);
  dir.Write("capture.raw", input);
  const TRun r = Cli(dir, AlsaEnv(dir), "record tone.wav --seconds 2");
  ASSERT_EQ(r.Code, 0) << r.Err << r.Out;
  const std::string data = TakeData(dir.Read("tone.wav"), false);
  EXPECT_GE(data.size(), 8000u);
  EXPECT_LT(data.size(), 16000u);  // the quiet stretches were trimmed away
  EXPECT_EQ(dir.Read("tone.vox").size(), data.size() / 2);
}

TEST(AudioCliAlsa, PlayWritesExactlyTheDataBytesOfTheWav) {
  TempDir dir;
  dir.Write("capture.raw", "");
  const std::string data = RandomBytes(22050, 3);  // 8-bit mono at 11025 Hz: two seconds
  std::string wav = "RIFF";
  auto put = [&](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) wav += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  put(4 + 24 + 8 + static_cast<uint32_t>(data.size()) + 1 + 12, 4);
  wav += "WAVEfmt ";
  put(16, 4);
  put(1, 2);
  put(1, 2);
  put(11025, 4);
  put(11025, 4);
  put(1, 2);
  put(8, 2);
  wav += "data";
  put(static_cast<uint32_t>(data.size()), 4);
  wav += data + '\0';
  wav += "LIST";
  put(4, 4);
  wav += "INFO";  // a chunk after the data is never played
  dir.Write("in.wav", wav);
  const TRun r = Cli(dir, AlsaEnv(dir), "play in.wav");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(dir.Read("played.raw") == data) << "played " << dir.Read("played.raw").size();
  EXPECT_NE(r.Out.find("played "), std::string::npos);
  EXPECT_NE(r.Err.find("/ 0:02.00"), std::string::npos) << r.Err;
}

TEST(AudioCliAlsa, NoSoundCardIsAClearErrorNotAHang) {
  TempDir dir;
  const std::string env = "ZELVOR_AUDIO=alsa ALSA_CONFIG_PATH=" +
                          Quote(std::string(ZS_SOURCE_DIR) + "/tests/platform/alsa/asound.conf") +
                          " ZELVOR_ALSA_DEVICE=zelvor_nocard";
  const TRun rec = Cli(dir, env, "record t.wav --seconds 1 --raw");
  EXPECT_EQ(rec.Code, 2);
  EXPECT_FALSE(rec.Err.empty());
  dir.Write("p.wav", std::string("RIFF\x26\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0data\x02\0\0\0ab", 46));
  const TRun play = Cli(dir, env, "play p.wav");
  EXPECT_EQ(play.Code, 2);
  EXPECT_FALSE(play.Err.empty());
}

// --foreground: a plain timeout also signals its whole process group, so the command would
// get a second Ctrl-C, which is meant to end it the hard way.
TEST(AudioCliVirtual, CtrlCStopsARecordingAndLeavesAFinishedTake) {
  TempDir dir;
  const TRun r = Cli(dir, "ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_PACING=realtime",
                     "record open.wav --raw", "timeout --foreground --preserve-status -s INT 1.5");
  EXPECT_EQ(r.Code, 0) << r.Err;
  const std::string data = TakeData(dir.Read("open.wav"));
  EXPECT_GT(data.size(), 0u);
  EXPECT_EQ(data.size() % 2, 0u);
  EXPECT_NE(r.Out.find("recorded "), std::string::npos);
}

TEST(AudioCliVirtual, CtrlCStopsPlayback) {
  TempDir dir;
  std::string wav = std::string("RIFF\x24\xfa\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0data\0\xfa\0\0", 44);
  wav += std::string(64000, '\x40');  // eight seconds
  dir.Write("long.wav", wav);
  const TRun r = Cli(dir, "ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_PACING=realtime ZELVOR_VIRTUAL_PLAYBACK=" +
                              Quote(dir.Path("out.raw")),
                     "play long.wav", "timeout --foreground --preserve-status -s INT 1");
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("stopped "), std::string::npos) << r.Out;
  EXPECT_LT(dir.Read("out.raw").size(), 64000u);
}

TEST(AudioCliVirtual, BadArgumentsAndFilesGiveTheirExitCodes) {
  TempDir dir;
  const std::string env = "ZELVOR_AUDIO=virtual";
  EXPECT_EQ(Cli(dir, env, "record").Code, 64);
  EXPECT_EQ(Cli(dir, env, "record a.wav --format 21").Code, 64);
  EXPECT_EQ(Cli(dir, env, "record a.wav --format x").Code, 64);
  EXPECT_EQ(Cli(dir, env, "record a.wav --seconds 0").Code, 64);
  EXPECT_EQ(Cli(dir, env, "record a.wav --seconds -3").Code, 64);
  EXPECT_EQ(Cli(dir, env, "play").Code, 64);
  EXPECT_FALSE(dir.Exists("a.wav"));

  const TRun missing = Cli(dir, env, "play gone.wav");
  EXPECT_EQ(missing.Code, 2);
  EXPECT_EQ(missing.Err, "Cannot open file " + dir.Path("gone.wav") + "\n");
  dir.Write("text.wav", std::string(100, 'x'));
  EXPECT_EQ(Cli(dir, env, "play text.wav").Code, 2);
  const TRun noFolder = Cli(dir, env, "record no/such/dir/a.wav --seconds 1");
  EXPECT_EQ(noFolder.Code, 2);
  EXPECT_EQ(noFolder.Err, "Cannot create file " + dir.Path("no/such/dir/a.wav") + "\n");
}
