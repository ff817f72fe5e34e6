// The whole session of a user under a real X server (scripts/xvfb-session.sh): record into a
// slot, play it, build the package, test it, and the mishaps of ordinary use (another row
// double-clicked while recording, silence over a good take, a read-only take, a busy
// folder, closing while recording, no sound device); then the files on disk are checked
// byte for byte. A row chosen with Return, the message boxes' icons, a sound file imported
// through the list's context menu and the package test's highlight are seen on the screen;
// the keys build and test the package, and play and stop a slot another run named meanwhile.
// A second session records, stops and plays through a real sound server. Skipped where
// Xvfb, xdotool or ImageMagick (or, for the second, pulseaudio) is not installed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct TSession {
  int Status = -1;
  std::string Out;
};

TSession RunSession(const std::string& options) {
  const std::string command = "timeout 180 '" ZS_SOURCE_DIR
                              "/scripts/xvfb-session.sh' '" ZS_APP_PATH "' " +
                              options + " 2>&1";
  TSession s;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) s.Out.append(buf, n);
  const int st = ::pclose(p);
  s.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return s;
}

TEST(UnderXServer, RecordPlayBuildAndTestThePackageWithTheMouse) {
  const TSession s = RunSession("");
  if (s.Status == 77) GTEST_SKIP() << s.Out;
  EXPECT_EQ(s.Status, 0) << s.Out;
  EXPECT_NE(s.Out.find("PASS"), std::string::npos) << s.Out;
}

TEST(UnderXServer, RecordStopAndPlayThroughASoundServer) {
  const TSession s = RunSession("--sound-server");
  if (s.Status == 77) GTEST_SKIP() << s.Out;
  EXPECT_EQ(s.Status, 0) << s.Out;
  EXPECT_NE(s.Out.find("played the take through the server\nPASS"), std::string::npos) << s.Out;
}

}  // namespace
