// The whole session of a user under a real X server (scripts/xvfb-session.sh): record into a
// slot, play it, build the package, test it, and the mishaps of ordinary use (another row
// double-clicked while recording, silence over a good take, a read-only take, a busy
// folder, closing while recording, no sound device); then the files on disk are checked
// byte for byte. A row chosen with Return, the message boxes' icons, a sound file imported
// through the list's context menu and the package test's highlight are seen on the screen.
// Skipped where Xvfb, xdotool or ImageMagick is not installed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

TEST(UnderXServer, RecordPlayBuildAndTestThePackageWithTheMouse) {
  const std::string command =
      "timeout 180 '" ZS_SOURCE_DIR "/scripts/xvfb-session.sh' '" ZS_APP_PATH "' 2>&1";
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = ::pclose(p);
  const int status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  if (status == 77) GTEST_SKIP() << out;
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("PASS"), std::string::npos) << out;
}

}  // namespace
