// The program as a user starts it: without a display, and under a real X server.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/Application.h"

namespace {

struct TRun {
  int Status = -1;
  std::string Output;
};

TRun RunCommand(const std::string& command) {
  TRun r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.Output.append(buf, n);
  int st = ::pclose(p);
  r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Sets or clears an environment variable for one test and puts it back afterwards.
class TEnvVar {
 public:
  TEnvVar(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~TEnvVar() { FOld ? ::setenv(FName, FOld->c_str(), 1) : ::unsetenv(FName); }

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

TEST(NoDisplay, ReasonNamesTheHeadlessWays) {
  TEnvVar qpa("QT_QPA_PLATFORM", nullptr), display("DISPLAY", nullptr),
      wayland("WAYLAND_DISPLAY", nullptr);
  std::optional<std::string> reason = NoDisplayReason();
  ASSERT_TRUE(reason);
  EXPECT_EQ(reason->find('\n'), std::string::npos);
  EXPECT_NE(reason->find("QT_QPA_PLATFORM=offscreen"), std::string::npos);
  EXPECT_NE(reason->find("zelvorsound-cli"), std::string::npos);
  {
    TEnvVar dead("DISPLAY", ":987");  // nobody listens there
    EXPECT_TRUE(NoDisplayReason());
  }
  {
    TEnvVar junk("DISPLAY", ":x");
    EXPECT_TRUE(NoDisplayReason());
  }
  TEnvVar chosen("QT_QPA_PLATFORM", "offscreen");
  EXPECT_FALSE(NoDisplayReason());
}

TEST(NoDisplay, ProgramPrintsOneLineAndEnds) {
  TRun r = RunCommand("timeout 30 env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                      Quoted(ZS_APP_PATH));
  EXPECT_EQ(r.Status, 2) << r.Output;
  ASSERT_FALSE(r.Output.empty());
  EXPECT_EQ(r.Output.find('\n'), r.Output.size() - 1) << r.Output;  // exactly one line
  EXPECT_NE(r.Output.find("no display"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("QT_QPA_PLATFORM=offscreen"), std::string::npos);

  TRun dead = RunCommand("timeout 30 env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:987 " +
                         Quoted(ZS_APP_PATH));
  EXPECT_EQ(dead.Status, 2) << dead.Output;
  EXPECT_EQ(dead.Output.find('\n'), dead.Output.size() - 1) << dead.Output;
}

TEST(NoDisplay, DisplayThatFailsToOpenGivesTheSameOneLine) {
  // Looks like a display on another host, so only the toolkit finds out; nothing listens.
  TRun r = RunCommand("timeout 60 env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=127.0.0.1:87 " +
                      Quoted(ZS_APP_PATH));
  EXPECT_EQ(r.Status, 2) << r.Output;
  EXPECT_NE(r.Output.find("no display"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("QT_QPA_PLATFORM=offscreen"), std::string::npos) << r.Output;
  EXPECT_EQ(r.Output.find('\n'), r.Output.size() - 1) << r.Output;  // exactly one line
}

TEST(UnderXServer, CaptionClientSizeAndCloseWritesTheNames) {
  TRun r =
      RunCommand("timeout 120 " + Quoted(std::string(ZS_SOURCE_DIR) + "/scripts/xvfb-check.sh") +
                 " " + Quoted(ZS_APP_PATH));
  if (r.Status == 77) GTEST_SKIP() << r.Output;
  EXPECT_EQ(r.Status, 0) << r.Output;
  EXPECT_NE(r.Output.find("PASS"), std::string::npos) << r.Output;
}

}  // namespace
