// The virtual sound device: captures from a signal or bytes the test gives, plays into
// memory (and a file), fast or in real time, and fails any call on demand. One lock and one
// condition variable serve every virtual stream: tests are small, and a change of source or
// budget must wake whichever device waits for it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <utility>

#include "platform/winmm_driver.h"

namespace winmm {
namespace virt {
namespace {

using Clock = std::chrono::steady_clock;

// What a test may keep in memory of the playback; beyond it bytes are counted only, so a
// desktop session on the virtual device cannot eat the memory.
constexpr size_t kPlayedLimit = 256u << 20;
constexpr size_t kLogLimit = 100000;

struct FailureRule {
  WaveDir Dir;
  WaveCall Call;
  MMRESULT Code;
  int Times;
  int Skip;
  std::string Explanation;

  // The rule fires: the code, with the driver's word on it when the test gave one.
  WaveResult Fire() {
    if (Times > 0) --Times;
    return {Code, Explanation};
  }
};

class VirtualStream;

struct State {
  std::mutex M;
  std::condition_variable Cv;
  Config Cfg;
  std::function<void(uint64_t, char*, size_t)> Signal;
  std::string Bytes;
  bool HasBytes = false;
  uint64_t Captured = 0;
  std::string Played;
  std::string PlaybackFile;
  int64_t Budget = -1;
  std::vector<FailureRule> Rules;
  std::vector<std::string> Log;
  double Gap[2] = {0, 0};         // a gap to tell at the next transfer, per direction (In, Out)
  bool Hang[2] = {false, false};  // the devices of that direction answer nothing
};

// A program (not a test) that runs on the virtual device is set up from its environment
// once, at the first use. It behaves like a sound card in a quiet room: real time, and
// silence once the capture source ends, so a recording of some seconds ends and holds them.
// ZELVOR_VIRTUAL_PACING=fast moves the sound as fast as it can instead (the test suite's
// choice); ZELVOR_VIRTUAL_CAPTURE names a file of bytes to record, ZELVOR_VIRTUAL_PLAYBACK a
// file that receives what is played. Reset gives the plain defaults of the tests again.
State* FromEnvironment() {
  auto* s = new State;
  const char* pacing = std::getenv("ZELVOR_VIRTUAL_PACING");
  const bool fast = pacing != nullptr && std::strcmp(pacing, "fast") == 0;
  s->Cfg.Pace = fast ? Pacing::Fast : Pacing::RealTime;
  s->Cfg.AtEnd = CaptureEnd::Silence;
  if (const char* capture = std::getenv("ZELVOR_VIRTUAL_CAPTURE")) {
    std::ifstream in(capture, std::ios::binary);
    s->Bytes.assign(std::istreambuf_iterator<char>(in), {});
    s->HasBytes = true;
  }
  if (const char* playback = std::getenv("ZELVOR_VIRTUAL_PLAYBACK")) {
    std::ofstream(playback, std::ios::binary | std::ios::trunc);
    s->PlaybackFile = playback;
  }
  return s;
}

// Never destroyed: device threads stopped at program exit may still reach it.
State& S() {
  static State* s = FromEnvironment();
  return *s;
}

class VirtualStream : public WaveStream {
 public:
  VirtualStream(WaveDir dir, const WAVEFORMATEX& format, bool realTime)
      : FDir(dir), FFormat(format), FRealTime(realTime) {}

  WaveResult Transfer(char* data, size_t bytes, size_t& moved) override {
    moved = 0;
    State& s = S();
    std::unique_lock lk(s.M);
    if (const double gap = std::exchange(s.Gap[FDir == WaveDir::In ? 0 : 1], 0); gap > 0) {
      // Told as the sound card's driver tells a gap it recovered from, without the lock.
      lk.unlock();
      Notice({FDir, gap,
              std::string(FDir == WaveDir::In ? "Virtual Wave In" : "Virtual Wave Out") +
                  ": a gap in the sound; it goes on"});
      lk.lock();
    }
    for (;;) {
      if (s.Hang[FDir == WaveDir::In ? 0 : 1]) {
        s.Cv.wait(lk);
        continue;
      }
      if (FInterrupted) {
        FInterrupted = false;
        return {};
      }
      FailureRule* lost = LossRule(s);
      if (lost && lost->Skip == 0) return lost->Fire();
      size_t n = Available(s, bytes);
      if (n == 0) {
        s.Cv.wait(lk);
        continue;
      }
      if (lost) n = std::min<size_t>(n, static_cast<size_t>(lost->Skip));
      if (s.Cfg.Pace == Pacing::RealTime && FFormat.nAvgBytesPerSec > 0) {
        // A device that sat starved does not owe the time it waited: it counts afresh.
        if (FClockRunning && Clock::now() > FClockStart +
                                                std::chrono::microseconds(FClockBytes * 1000000ull /
                                                                          FFormat.nAvgBytesPerSec) +
                                                std::chrono::milliseconds(50))
          FClockRunning = false;
        if (!FClockRunning) {
          FClockRunning = true;
          FClockStart = Clock::now();
          FClockBytes = 0;
        }
        auto due = FClockStart + std::chrono::microseconds((FClockBytes + n) * 1000000ull /
                                                           FFormat.nAvgBytesPerSec);
        if (s.Cv.wait_until(lk, due) == std::cv_status::no_timeout && Clock::now() < due)
          continue;  // woken early: look again at the interrupt, the source, the budget
        FClockBytes += n;
      }
      Move(s, data, n);
      if (lost) lost->Skip -= static_cast<int>(n);
      moved = n;
      return {};
    }
  }

  void Interrupt() override {
    State& s = S();
    std::lock_guard lk(s.M);
    FInterrupted = true;
    s.Cv.notify_all();
  }

  bool KeepsTime() const override { return FRealTime; }

  void Halt() override {
    std::lock_guard lk(S().M);
    FClockRunning = false;  // real time counts again from the next byte
  }

 private:
  // The injected loss of the device that applies to this direction, if any.
  FailureRule* LossRule(State& s) const {
    for (auto& r : s.Rules)
      if (r.Dir == FDir && r.Call == WaveCall::Transfer && r.Times != 0) return &r;
    return nullptr;
  }

  // How many of the wanted bytes can move now; 0 means wait.
  size_t Available(State& s, size_t want) const {
    if (FDir == WaveDir::Out) {
      if (s.Budget < 0) return want;
      return static_cast<size_t>(std::min<int64_t>(s.Budget, static_cast<int64_t>(want)));
    }
    if (s.Signal) return want;
    if (s.HasBytes && s.Captured < s.Bytes.size())
      return static_cast<size_t>(std::min<uint64_t>(s.Bytes.size() - s.Captured, want));
    return s.Cfg.AtEnd == CaptureEnd::Silence ? want : 0;
  }

  void Move(State& s, char* data, size_t n) {
    if (FDir == WaveDir::Out) {
      if (s.Budget > 0) s.Budget -= static_cast<int64_t>(n);
      if (s.Played.size() + n <= kPlayedLimit) s.Played.append(data, n);
      if (!s.PlaybackFile.empty()) {
        std::ofstream f(s.PlaybackFile, std::ios::binary | std::ios::app);
        f.write(data, static_cast<std::streamsize>(n));
      }
      return;
    }
    if (s.Signal) {
      s.Signal(s.Captured, data, n);
      s.Captured += n;
    } else if (s.HasBytes && s.Captured < s.Bytes.size()) {
      std::memcpy(data, s.Bytes.data() + s.Captured, n);
      s.Captured += n;
    } else {
      // A quiet microphone: the middle of the unsigned 8-bit range, or signed zero.
      std::memset(data, FFormat.wBitsPerSample == 8 ? kDriverSilence8 : 0, n);
    }
  }

  WaveDir FDir;
  WAVEFORMATEX FFormat;
  bool FRealTime;  // the pacing when the device was opened
  bool FInterrupted = false;
  bool FClockRunning = false;
  Clock::time_point FClockStart;
  uint64_t FClockBytes = 0;
};

class VirtualWaveDriver : public WaveDriver {
 public:
  const char* Name() const override { return "virtual"; }

  UINT NumDevs(WaveDir dir) override {
    std::lock_guard lk(S().M);
    return static_cast<UINT>(Devices(dir).size());
  }

  WaveResult Caps(WaveDir dir, UINT id, WaveDeviceInfo& info) override {
    std::lock_guard lk(S().M);
    auto& list = Devices(dir);
    if (id >= list.size()) return MMSYSERR_BADDEVICEID;
    info = list[id];
    if (dir == WaveDir::In) info.Support = 0;
    return {};
  }

  WaveResult CheckFormat(WaveDir dir, UINT id, const WAVEFORMATEX& format) override {
    std::function<bool(WaveDir, UINT, const WAVEFORMATEX&)> accepts;
    {
      std::lock_guard lk(S().M);
      if (id >= Devices(dir).size()) return MMSYSERR_BADDEVICEID;
      accepts = S().Cfg.Accepts;
    }
    if (accepts && !accepts(dir, id, format)) return WAVERR_BADFORMAT;
    return {};
  }

  WaveResult Open(WaveDir dir, UINT id, const WAVEFORMATEX& format,
                  std::unique_ptr<WaveStream>& stream) override {
    WaveResult rc = CheckFormat(dir, id, format);
    if (!rc.Ok()) return rc;
    stream = std::make_unique<VirtualStream>(dir, format, CurrentConfig().Pace == Pacing::RealTime);
    return {};
  }

  WaveResult Admit(WaveDir dir, WaveCall call) override {
    State& s = S();
    std::lock_guard lk(s.M);
    if (s.Log.size() < kLogLimit)
      s.Log.push_back(std::string(dir == WaveDir::In ? "In " : "Out ") + WaveCallName(call));
    for (auto& r : s.Rules) {
      if (r.Dir != dir || r.Call != call || r.Times == 0) continue;
      if (r.Skip > 0) {
        --r.Skip;
        continue;
      }
      return r.Fire();
    }
    return {};
  }

 private:
  std::vector<WaveDeviceInfo>& Devices(WaveDir dir) {
    return dir == WaveDir::In ? S().Cfg.Inputs : S().Cfg.Outputs;
  }
};

}  // namespace

void Reset() {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Cfg = Config{};
  s.Signal = nullptr;
  s.Bytes.clear();
  s.HasBytes = false;
  s.Captured = 0;
  s.Played.clear();
  s.PlaybackFile.clear();
  s.Budget = -1;
  s.Rules.clear();
  s.Log.clear();
  s.Gap[0] = s.Gap[1] = 0;
  s.Hang[0] = s.Hang[1] = false;
  s.Cv.notify_all();
}

void Configure(const Config& config) {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Cfg = config;
  s.Cv.notify_all();
}

Config CurrentConfig() {
  std::lock_guard lk(S().M);
  return S().Cfg;
}

void SetCaptureSignal(std::function<void(uint64_t, char*, size_t)> signal) {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Signal = std::move(signal);
  s.Bytes.clear();
  s.HasBytes = false;
  s.Captured = 0;
  s.Cv.notify_all();
}

void SetCaptureBytes(std::string bytes) {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Signal = nullptr;
  s.Bytes = std::move(bytes);
  s.HasBytes = true;
  s.Captured = 0;
  s.Cv.notify_all();
}

bool SetCaptureFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  SetCaptureBytes(std::string((std::istreambuf_iterator<char>(in)), {}));
  return true;
}

uint64_t CapturedBytes() {
  std::lock_guard lk(S().M);
  return S().Captured;
}

std::string PlayedBytes() {
  std::lock_guard lk(S().M);
  return S().Played;
}

void ClearPlayed() {
  std::lock_guard lk(S().M);
  S().Played.clear();
}

bool SetPlaybackFile(const std::string& path) {
  if (!path.empty()) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
  }
  std::lock_guard lk(S().M);
  S().PlaybackFile = path;
  return true;
}

void SetPlaybackBudget(int64_t bytes) {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Budget = bytes < 0 ? -1 : bytes;
  s.Cv.notify_all();
}

void InjectFailure(WaveDir dir, WaveCall call, MMRESULT code, int times, int skip,
                   std::string explanation) {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Rules.push_back({dir, call, code, times, skip, std::move(explanation)});
  s.Cv.notify_all();  // a device waiting for data may be lost now
}

void InjectGap(WaveDir dir, double lostSeconds) {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Gap[dir == WaveDir::In ? 0 : 1] = lostSeconds;
  s.Cv.notify_all();
}

void InjectHang(WaveDir dir) {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Hang[dir == WaveDir::In ? 0 : 1] = true;
  s.Cv.notify_all();
}

void ClearFailures() {
  State& s = S();
  std::lock_guard lk(s.M);
  s.Rules.clear();
  s.Hang[0] = s.Hang[1] = false;
  s.Cv.notify_all();
}

std::vector<std::string> CallLog() {
  std::lock_guard lk(S().M);
  return S().Log;
}

}  // namespace virt

WaveDriver& VirtualDriver() {
  static virt::VirtualWaveDriver driver;
  return driver;
}

}  // namespace winmm
