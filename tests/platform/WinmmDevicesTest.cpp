// `zelvorsound-cli devices`: the device list a user sees, on the virtual device and on an
// ALSA without a sound card.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct TRun {
  int Exit = -1;
  std::string Out;
};

TRun RunCli(const std::string& env) {
  std::string cmd = env + " '" ZS_CLI_PATH "' devices 2>&1";
  TRun r;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  int status = ::pclose(p);
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

const std::string kAlsaConfig =
    "ALSA_CONFIG_PATH='" + std::string(ZS_SOURCE_DIR) + "/tests/platform/alsa/asound.conf'";

TEST(WinmmDevicesCommand, ListsTheVirtualDevicesWithDecodedFormatsAndSupport) {
  TRun r = RunCli("ZELVOR_AUDIO=virtual");
  EXPECT_EQ(r.Exit, 0) << r.Out;
  EXPECT_NE(r.Out.find("Sound driver: virtual"), std::string::npos) << r.Out;
  auto in = r.Out.find("Input devices:\n  0  Virtual Wave In");
  auto out = r.Out.find("Output devices:\n  0  Virtual Wave Out");
  ASSERT_NE(in, std::string::npos) << r.Out;
  ASSERT_NE(out, std::string::npos) << r.Out;
  EXPECT_LT(in, out);
  EXPECT_NE(r.Out.find("44100 Hz: mono 8-bit, stereo 8-bit, mono 16-bit, stereo 16-bit"),
            std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("support: volume, left/right volume\n"), std::string::npos) << r.Out;
}

TEST(WinmmDevicesCommand, SaysClearlyThatThereAreNoDevicesWithoutASoundCard) {
  TRun r = RunCli("ZELVOR_AUDIO=alsa ZELVOR_ALSA_DEVICE=zelvor_nocard " + kAlsaConfig);
  EXPECT_EQ(r.Exit, 1) << r.Out;
  EXPECT_NE(r.Out.find("Sound driver: alsa (device \"zelvor_nocard\")"), std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("No sound devices found"), std::string::npos) << r.Out;
  EXPECT_EQ(r.Out.find("Input devices"), std::string::npos) << r.Out;
}

TEST(WinmmDevicesCommand, ListsTheAlsaFileDevice) {
  TRun r =
      RunCli("ZELVOR_AUDIO=alsa ZELVOR_ALSA_DEVICE=zelvor_file ZELVOR_TEST_CAPTURE=/dev/null " +
             kAlsaConfig);
  EXPECT_EQ(r.Exit, 0) << r.Out;
  EXPECT_NE(r.Out.find("Output devices:\n  0  ALSA zelvor_file"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("sample-accurate position"), std::string::npos) << r.Out;
}

}  // namespace
