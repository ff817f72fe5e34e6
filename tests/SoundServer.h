// A real sound server for the tests that run the ALSA driver against a device that keeps
// time: scripts/sound-server.sh starts a private PulseAudio (a null sink to play into, a
// tone to record) whose runtime folder, socket and ALSA configuration lie in a folder of the
// test's own, so nothing on the machine changes; ALSA's "default" reaches it through ALSA's
// pulse plugin. The server is ended by its pid when the object goes.
//
// The tests that use it have "SoundServer" in their names: scripts/test.sh runs them once,
// one at a time, in the normal build, and leaves them out of the sanitizer pass.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "platform/winmm_driver.h"

class TSoundServer {
 public:
  // Starts the server and points this process's environment (and so every program it
  // starts) at it, on the ALSA driver with its "default" device.
  TSoundServer() {
    const std::string cmd = "'" ZS_SOURCE_DIR "/scripts/sound-server.sh' '" + FDir.Path("server") +
                            "' 2>" + FDir.Path("why");
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
      FSkip = "cannot run scripts/sound-server.sh";
      return;
    }
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = ::pclose(p);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      FSkip = "no sound server to test with: " + FDir.Read("why") +
              "(scripts/setup.sh --tests installs pulseaudio and libasound2-plugins)";
      return;
    }
    for (size_t at = 0; at < out.size();) {
      const size_t end = out.find('\n', at);
      const std::string line = out.substr(at, end - at);
      at = end == std::string::npos ? out.size() : end + 1;
      const size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      if (line.compare(0, eq, "SOUND_SERVER_PID") == 0)
        FPid = static_cast<pid_t>(std::atol(line.c_str() + eq + 1));
      else
        Set(line.substr(0, eq), line.substr(eq + 1));
    }
    Set("ZELVOR_AUDIO", "alsa");
    Set("ZELVOR_ALSA_DEVICE", std::nullopt);
    winmm::ReadSoundEnvironment();
  }

  ~TSoundServer() {
    for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it) {
      if (it->second)
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        ::unsetenv(it->first.c_str());
    }
    winmm::ReadSoundEnvironment();
    if (FPid <= 0) return;
    Thaw();
    ::kill(FPid, SIGTERM);
    // Not this process's child (the script started it), so it is watched until it is gone
    // before its folder is removed.
    for (int i = 0; i < 500 && Alive(FPid); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  TSoundServer(const TSoundServer&) = delete;
  TSoundServer& operator=(const TSoundServer&) = delete;

  // Why there is no server (for GTEST_SKIP), or empty when it runs.
  const std::string& Skip() const { return FSkip; }

  // Holds the server still (it answers nobody, as a frozen desktop session), and lets it go
  // on; a server held still is let go before it is ended.
  void Freeze() {
    if (FPid > 0 && ::kill(FPid, SIGSTOP) == 0) FFrozen = true;
  }
  void Thaw() {
    if (FPid > 0 && FFrozen) ::kill(FPid, SIGCONT);
    FFrozen = false;
  }

  // Whether the server has a stream of that kind ("sink-inputs": something plays,
  // "source-outputs": something records), as its own command-line tool lists them.
  static bool HasStream(const char* kind) {
    const std::string cmd = std::string("pactl list short ") + kind + " 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return false;
    char buf[256];
    const bool any = std::fread(buf, 1, sizeof buf, p) > 0;
    ::pclose(p);
    return any;
  }

 private:
  void Set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    FSaved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }

  // True while the process exists and is not a zombie waiting to be reaped.
  static bool Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
  }

  TempDir FDir;
  pid_t FPid = 0;
  bool FFrozen = false;
  std::string FSkip;
  std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
};

// Holds this whole process still for ms milliseconds, as a machine under load or a debugger
// does (SIGSTOP, then SIGCONT from a helper process); every thread stops, the sound server
// does not. Returns when the process runs again.
inline void StallThisProcess(int ms) {
  const pid_t self = ::getpid();
  const pid_t helper = ::fork();
  if (helper == 0) {
    ::kill(self, SIGSTOP);
    ::usleep(static_cast<useconds_t>(ms) * 1000);
    ::kill(self, SIGCONT);
    ::_exit(0);
  }
  int status = 0;
  if (helper > 0) ::waitpid(helper, &status, 0);
}
