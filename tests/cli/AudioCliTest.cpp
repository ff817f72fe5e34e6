// zelvorsound-cli record / play end to end: through the ALSA driver over the file device of
// tests/platform/alsa/asound.conf (no sound card needed), and on the virtual device for
// Ctrl-C and the error exits.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "cli/CliRun.h"
#include "codec/CodecTestKit.h"

namespace {

TRun Cli(const TempDir& dir, const std::string& env, const std::string& args,
         const std::string& wrapper = "") {
  return RunCliIn(dir, args, env, wrapper);
}

// The file device; device is ZELVOR_ALSA_DEVICE, none when empty (the command line chooses).
std::string AlsaEnv(const TempDir& dir, const std::string& device = "zelvor_file") {
  return (device.empty() ? "-u ZELVOR_ALSA_DEVICE" : "ZELVOR_ALSA_DEVICE=" + device) +
         " ZELVOR_AUDIO=alsa ALSA_CONFIG_PATH=" +
         Quote(std::string(ZS_SOURCE_DIR) + "/tests/platform/alsa/asound.conf") +
         " ZELVOR_TEST_CAPTURE=" + Quote(dir.Path("capture.raw")) +
         " ZELVOR_TEST_PLAYBACK=" + Quote(dir.Path("played.raw"));
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, 0);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// The checks every take must pass: 46-byte header, sizes that match the file (the recorder
// pads odd data; the rewritten take of the conversion does not). Returns the data bytes.
std::string TakeData(const std::string& file, bool padded = true) {
  EXPECT_GE(file.size(), 46u);
  if (file.size() < 46) return {};
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(file.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(GetU32(file, 16), 18u);
  EXPECT_EQ(file.substr(38, 4), "data");
  const uint32_t size = GetU32(file, 42);
  const uint32_t pad = padded ? (size & 1) : 0;
  EXPECT_EQ(GetU32(file, 4), 38u + size + pad);
  EXPECT_EQ(file.size(), 46u + size + pad);
  return file.substr(46, size);
}

// 8000 Hz 8-bit mono, two samples: "ab".
std::string TwoSampleWav() {
  return std::string(
      "RIFF\x26\0\0\0WAVEfmt "
      "\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0data\x02\0\0\0ab",
      46);
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
  EXPECT_NE(r.Out.find("recorded 2.00 s (16000 bytes"), std::string::npos) << r.Out;
  // Not on a terminal: no redrawn live line, only its last state once.
  EXPECT_EQ(r.Err.find('\r'), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.rfind("Recording 2.00 s  level ", 0), 0u) << r.Err;
  EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
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
  EXPECT_NE(r.Err.find("/ 2.00 s"), std::string::npos) << r.Err;
}

TEST(AudioCliAlsa, NoSoundCardIsAClearErrorNotAHang) {
  TempDir dir;
  const std::string env = "ZELVOR_AUDIO=alsa ALSA_CONFIG_PATH=" +
                          Quote(std::string(ZS_SOURCE_DIR) + "/tests/platform/alsa/asound.conf") +
                          " ZELVOR_ALSA_DEVICE=zelvor_nocard";
  const TRun rec = Cli(dir, env, "record t.wav --seconds 1 --raw");
  EXPECT_EQ(rec.Code, 2);
  EXPECT_EQ(rec.Err.rfind("zelvorsound-cli: record: t.wav: ", 0), 0u) << rec.Err;
  dir.Write("p.wav", TwoSampleWav());
  const TRun play = Cli(dir, env, "play p.wav");
  EXPECT_EQ(play.Code, 2);
  EXPECT_EQ(play.Err.rfind("zelvorsound-cli: play: p.wav: ", 0), 0u) << play.Err;
}

// --device picks the ALSA device of one run for both directions; ZELVOR_ALSA_DEVICE, which
// the tests rely on, wins over it; a device that is not there is named in the error.
TEST(AudioCliAlsa, DeviceChoosesTheAlsaDeviceOfTheRun) {
  TempDir dir;
  const std::string input = RandomBytes(8000, 21);
  dir.Write("capture.raw", input);
  dir.Write("p.wav", TwoSampleWav());
  struct Case {
    const char* Forced;  // ZELVOR_ALSA_DEVICE, or nothing
    const char* Args;
    int Code;
    const char* Says;  // on stdout or stderr
  };
  const Case cases[] = {
      {nullptr, "record t.wav --seconds 1 --raw --device zelvor_file", 0, "(8000 bytes"},
      {nullptr, "play p.wav --device=zelvor_file", 0, "played "},
      {nullptr, "record u.wav --seconds 1 --raw --device no_such_pcm", 2, "no_such_pcm"},
      {nullptr, "play p.wav --device zelvor_nocard", 2, "zelvor_nocard"},
      {nullptr, "test Sounds.zvd --device ''", 64, "--device needs a device name"},
      {"zelvor_file", "record v.wav --seconds 1 --raw --device no_such_pcm", 0,
       "ZELVOR_ALSA_DEVICE=zelvor_file overrides --device no_such_pcm"},
      {nullptr, "devices --device zelvor_file", 0, "Sound driver: alsa (device \"zelvor_file\")"},
      {nullptr, "devices --device no_such_pcm", 1, "Devices to choose from"},
  };
  for (const Case& c : cases) {
    const TRun r = Cli(dir, AlsaEnv(dir, c.Forced ? c.Forced : ""), c.Args);
    EXPECT_EQ(r.Code, c.Code) << c.Args << "\n" << r.Out << r.Err;
    EXPECT_NE((r.Out + r.Err).find(c.Says), std::string::npos) << c.Args << "\n" << r.Out << r.Err;
  }
  EXPECT_TRUE(TakeData(dir.Read("t.wav")) == input);
  EXPECT_TRUE(TakeData(dir.Read("v.wav")) == input);
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
  std::string wav = std::string(
      "RIFF\x24\xfa\0\0WAVEfmt "
      "\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0data\0\xfa\0\0",
      44);
  wav += std::string(64000, '\x40');  // eight seconds
  dir.Write("long.wav", wav);
  const TRun r =
      Cli(dir,
          "ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_PACING=realtime ZELVOR_VIRTUAL_PLAYBACK=" +
              Quote(dir.Path("out.raw")),
          "play long.wav", "timeout --foreground --preserve-status -s INT 1");
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("stopped "), std::string::npos) << r.Out;
  EXPECT_LT(dir.Read("out.raw").size(), 64000u);
}

TEST(AudioCliVirtual, FilesItCannotUseAreNamedInTheError) {
  TempDir dir;
  const std::string env = "ZELVOR_AUDIO=virtual";
  const TRun missing = Cli(dir, env, "play gone.wav");
  EXPECT_EQ(missing.Code, 2);
  EXPECT_EQ(missing.Err, "zelvorsound-cli: play: gone.wav: File not found\n");
  dir.Write("text.wav", std::string(100, 'x'));
  const TRun text = Cli(dir, env, "play text.wav");
  EXPECT_EQ(text.Code, 2);
  EXPECT_EQ(text.Err, "zelvorsound-cli: play: text.wav: not a RIFF WAVE file\n");
  const TRun noFolder = Cli(dir, env, "record no/such/dir/a.wav --seconds 1");
  EXPECT_EQ(noFolder.Code, 2);
  EXPECT_EQ(noFolder.Err, "zelvorsound-cli: record: no/such/dir/a.wav: Cannot create file " +
                              dir.Path("no/such/dir/a.wav") + "\n");
}

// Without any setting of its own the virtual device is a quiet room in real time: a timed
// recording ends with exactly that much silence, and the take is coded.
TEST(AudioCliVirtual, OutOfTheBoxTheMicrophoneHearsSilence) {
  TempDir dir;
  const std::string env = "-u ZELVOR_VIRTUAL_PACING ZELVOR_AUDIO=virtual";
  const TRun raw = Cli(dir, env, "record quiet.wav --seconds 0.5 --raw");
  ASSERT_EQ(raw.Code, 0) << raw.Err;
  EXPECT_TRUE(TakeData(dir.Read("quiet.wav")) == std::string(4000, '\x80'));
  // Nothing heard and no take before: the silent take is kept, and said.
  const TRun coded = Cli(dir, env, "record coded.wav --seconds 0.3");
  ASSERT_EQ(coded.Code, 1) << coded.Err;
  EXPECT_NE(coded.Err.find("coded.wav: nothing was heard"), std::string::npos) << coded.Err;
  EXPECT_NE(coded.Out.find("coded " + dir.Path("coded.vox")), std::string::npos) << coded.Out;
  EXPECT_TRUE(dir.Exists("coded.vox"));
}

TEST(AudioCliVirtual, TheLiveLineIsRedrawnOnATerminal) {
  TempDir dir;
  // script(1) gives the command a terminal and writes what the terminal showed.
  const std::string cmd = "ZELVOR_AUDIO=virtual script -qec \"" + Quote(ZS_CLI_PATH) + " record " +
                          Quote(dir.Path("t.wav")) + " --seconds 1 --raw --folder " +
                          Quote(dir.Folder()) + "\" /dev/null >" + Quote(dir.Path("screen"));
  ASSERT_EQ(std::system(cmd.c_str()), 0) << dir.Read("screen");
  EXPECT_NE(dir.Read("screen").find("\rRecording 1.00 s  level "), std::string::npos)
      << dir.Read("screen");
}

namespace {

std::string Loud(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 16 < 8 ? 224 : 32);
  return s;
}

}  // namespace

// A take is replaced only by a finished recording, whatever goes wrong on the way.
TEST(AudioCliRecord, ATakeIsReplacedOnlyByAFinishedRecording) {
  const std::string virtualDevice =
      "ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_CAPTURE=";  // followed by the capture file
  const std::string noCard =
      "ZELVOR_AUDIO=alsa ALSA_CONFIG_PATH=" +
      Quote(std::string(ZS_SOURCE_DIR) + "/tests/platform/alsa/asound.conf") +
      " ZELVOR_ALSA_DEVICE=zelvor_nocard";
  // ulimit -f: the file may grow to 24 KiB, then the disk is "full" (writes fail, EFBIG).
  const std::string fullDisk = "bash -c 'trap \"\" XFSZ; ulimit -f 24; exec \"$@\"' limited";
  const std::string quiet(8000, '\x80');
  const struct {
    std::string What;
    std::string Earlier;  // the take before; empty: none
    bool ReadOnly;
    std::string Capture;  // what the microphone hears
    bool NoCard;
    std::string Wrapper;
    int Code;
    std::string Message;  // in stderr
    std::string After;    // the take's samples afterwards; "=" for the earlier take unchanged
  } cases[] = {
      {"no sound device", MakeTake(Loud(900)), false, "", true, "", 2, "No sound device", "="},
      {"read-only take", MakeTake(Loud(900)), true, Loud(8000), false, "", 2,
       "take.wav: Cannot create file ", "="},
      {"nothing heard", MakeTake(Loud(900)), false, quiet, false, "", 1,
       "Nothing was heard in the recording: the earlier take ", "="},
      {"nothing heard, no sound before", MakeTake(quiet), false, quiet, false, "", 1,
       "take.wav: nothing was heard: the take and its", ""},
      {"nothing heard, no take before", "", false, quiet, false, "", 1, "nothing was heard", ""},
      {"disk full", MakeTake(Loud(900)), false, Loud(40000), false, fullDisk, 2,
       "Disk full: the recording stopped after 3.07 seconds, and what was captured is kept in ",
       Loud(24576 - 46)},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (!c.Earlier.empty()) {
      dir.Write("take.wav", c.Earlier);
      dir.Write("take.vox", "old codes");
    }
    if (c.ReadOnly) ::chmod(dir.Path("take.wav").c_str(), 0444);
    dir.Write("capture.raw", c.Capture);
    const std::string env = c.NoCard ? noCard : virtualDevice + Quote(dir.Path("capture.raw"));
    const TRun r = Cli(dir, env, "record take.wav --seconds 5", c.Wrapper);
    EXPECT_EQ(r.Code, c.Code) << c.What << ": " << r.Err;
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << c.What << ": " << r.Err;
    if (!c.Message.empty()) {
      EXPECT_EQ(r.Err.find(c.Message), r.Err.rfind(c.Message)) << c.What << ": said once";
    }
    if (c.After == "=") {
      EXPECT_EQ(dir.Read("take.wav"), c.Earlier) << c.What;
      EXPECT_EQ(dir.Read("take.vox"), "old codes") << c.What;
    } else {
      EXPECT_EQ(TakeData(dir.Read("take.wav"), false), c.After) << c.What;
      EXPECT_EQ(dir.Read("take.vox").size(), c.After.size() / 2) << c.What;
    }
    EXPECT_FALSE(dir.Exists("take (unfinished recording).wav")) << c.What;
  }
}

// A recording whose program is killed leaves its file beside the take as a WAV file that
// holds all but the last moments; the take is untouched, and the folder is free at once.
TEST(AudioCliRecord, AKilledRecordingLeavesAReadableWavFile) {
  TempDir dir;
  const std::string earlier = MakeTake(Loud(900));
  dir.Write("take.wav", earlier);
  const std::string capture = Loud(80000);
  dir.Write("capture.raw", capture);
  const std::string captureEnv = "ZELVOR_VIRTUAL_CAPTURE=" + dir.Path("capture.raw");
  const pid_t pid =
      Spawn({"/usr/bin/env", "ZELVOR_AUDIO=virtual", "ZELVOR_VIRTUAL_PACING=realtime", captureEnv,
             ZS_CLI_PATH, "record", dir.Path("take.wav"), "--folder", dir.Folder()},
            "/dev/null", "/dev/null");
  ASSERT_GT(pid, 0);
  // Killed once a second and a half of sound is in the file.
  const std::string left = dir.Path("take (unfinished recording).wav");
  for (int i = 0; i < 600 && dir.Read("take (unfinished recording).wav").size() < 46 + 12000; ++i)
    ::usleep(50 * 1000);
  ::kill(pid, SIGKILL);
  WaitExit(pid);

  const std::string file = dir.Read("take (unfinished recording).wav");
  ASSERT_GE(file.size(), 46u + 12000u) << "the recording did not get going";
  const uint32_t data = GetU32(file, 42);
  EXPECT_EQ(GetU32(file, 4), data + 38);
  EXPECT_LE(46 + data, file.size());
  EXPECT_LT(file.size() - 46 - data, 8000u) << "more than the last second is not counted";
  EXPECT_EQ(file.substr(46, data), capture.substr(0, data));
  EXPECT_EQ(dir.Read("take.wav"), earlier);
  // It plays back as a WAV file, and no lock was left behind: a command that writes in the
  // folder and will not wait runs at once.
  const TRun play =
      Cli(dir, "ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_PLAYBACK=" + Quote(dir.Path("played")),
          "play " + Quote(left));
  EXPECT_EQ(play.Code, 0) << play.Err;
  EXPECT_EQ(dir.Read("played"), capture.substr(0, data));
  EXPECT_EQ(Cli(dir, "", "decode take.wav --wait 0 -o out.wav").Code, 0);
}
