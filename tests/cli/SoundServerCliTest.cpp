// zelvorsound-cli through a real sound server (tests/SoundServer.h) on ALSA's "default", as
// on a desktop: exact takes, a recording that goes on after the program was held still, and
// the device list with the server's own description. Nothing here asserts durations.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "SoundServer.h"
#include "WaveTestDevice.h"
#include "cli/CliRun.h"
#include "codec/CodecTestKit.h"

namespace {

// The data bytes of a take as the recorder writes it (46-byte header).
size_t TakeBytes(const std::string& file) { return file.size() < 46 ? 0 : file.size() - 46; }

TEST(SoundServerCli, RecordsPlaysAndListsThroughTheServer) {
  TSoundServer server;
  if (!server.Skip().empty()) GTEST_SKIP() << server.Skip();
  TempDir dir;
  const TRun raw = RunCliIn(dir, "record take.wav --seconds 2 --raw --device default");
  ASSERT_EQ(raw.Code, 0) << raw.Err;
  EXPECT_NE(raw.Out.find("recorded 2.00 s (16000 bytes"), std::string::npos) << raw.Out;
  EXPECT_EQ(TakeBytes(dir.Read("take.wav")), 16000u);
  // The server's tone is no silence: the take is trimmed, coded and kept.
  const TRun coded = RunCliIn(dir, "record tone.wav --seconds 1");
  ASSERT_EQ(coded.Code, 0) << coded.Err;
  EXPECT_GT(dir.Read("tone.vox").size(), 0u);

  const TRun play = RunCliIn(dir, "play take.wav");
  EXPECT_EQ(play.Code, 0) << play.Err;
  EXPECT_NE(play.Out.find("played "), std::string::npos) << play.Out;

  const TRun devices = RunCli("devices");
  EXPECT_EQ(devices.Code, 0) << devices.Err;
  EXPECT_NE(devices.Out.find("  default  (input and output, in use)\n"
                             "      The test's own sound server\n"),
            std::string::npos)
      << devices.Out;
}

TEST(SoundServerCli, ARecordingHeldStillGoesOnToItsFullLength) {
  TSoundServer server;
  if (!server.Skip().empty()) GTEST_SKIP() << server.Skip();
  TempDir dir;
  const pid_t cli = Spawn({ZS_CLI_PATH, "record", dir.Path("held.wav"), "--seconds", "3", "--raw",
                           "--folder", dir.Folder()},
                          dir.Path("out"), dir.Path("err"));
  ASSERT_GT(cli, 0);
  // Held still once a second of sound is in the take, while the server goes on.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (TakeBytes(dir.Read("held.wav")) < 8000 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::kill(cli, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ::kill(cli, SIGCONT);
  EXPECT_EQ(WaitExit(cli), 0) << dir.Read("err");
  EXPECT_EQ(TakeBytes(dir.Read("held.wav")), 24000u) << dir.Read("out") << dir.Read("err");
}

// A sound server that stops answering (held still, as a frozen desktop session) is given up
// once no sound has moved for the stall limit, shortened to 2 s here: the command ends with
// exit 2 and names the device; a recording keeps what it had captured as a cut-short take,
// trimmed and coded as any other.
// The watchdog only keeps the test from hanging: nothing asserts how fast the command ends.
TEST(SoundServerCli, AServerThatStopsAnsweringEndsTheCommandNamingTheDevice) {
  TSoundServer server;
  if (!server.Skip().empty()) GTEST_SKIP() << server.Skip();
  TSoundEnvVar stall("ZELVOR_STALL_SECONDS", "2");
  TempDir dir;
  dir.Write("long.wav", MakeTake(std::string(20 * 8000, '\x40')));
  const struct {
    std::vector<std::string> Args;
    const char* Stream;  // what the server lists while the command's sound moves
    const char* Kept;    // the take that keeps what was captured; none for a playback
  } rows[] = {
      {{"record", dir.Path("take.wav"), "--seconds", "20"}, "source-outputs", "take.wav"},
      {{"play", dir.Path("long.wav")}, "sink-inputs", nullptr},
  };
  for (const auto& row : rows) {
    std::vector<std::string> argv{ZS_CLI_PATH};
    argv.insert(argv.end(), row.Args.begin(), row.Args.end());
    argv.insert(argv.end(), {"--folder", dir.Folder()});
    const pid_t cli = Spawn(argv, dir.Path("out"), dir.Path("err"));
    ASSERT_GT(cli, 0);
    // Held once a second of sound has moved through the server.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!TSoundServer::HasStream(row.Stream) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    server.Freeze();
    const int code = WaitExitWithin(cli, 120);
    server.Thaw();
    const std::string err = dir.Read("err");
    EXPECT_EQ(code, 2) << row.Args[0] << "\n" << err;
    EXPECT_NE(err.find("ALSA device \"default\" stopped answering"), std::string::npos)
        << row.Args[0] << "\n"
        << err;
    if (row.Kept == nullptr) continue;
    EXPECT_NE(err.find("The recording was cut short"), std::string::npos) << err;
    EXPECT_GE(TakeBytes(dir.Read(row.Kept)), 4000u) << err;  // the tone, kept whole
    EXPECT_TRUE(dir.Exists("take.vox"));                     // and coded
    EXPECT_FALSE(dir.Exists("take (unfinished recording).wav"));
  }
}

}  // namespace
