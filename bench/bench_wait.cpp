// What a long wait of the device layer costs the waiting thread: its user and system CPU
// time (getrusage of that thread) over a wait of a couple of seconds, against the wall time.
// A wait that blocks shows a few milliseconds at most; one that ticks or spins shows the
// ticks, or a whole core.
//
//   ZELVOR_AUDIO=virtual ./bench_wait
//
// - WindowCloseWaitWithAForeignMessageQueued: the thread that owns a window-mode player
//   waits for its close while the device holds the last buffer, with a message for another
//   window of the same thread queued all the while (the wait dispatches only its own).
// - AsyncOpenWaitFromAnotherThread: a close asked for from another thread waits for an
//   open in progress (held in OnFormat) in Async mode.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "BenchOut.h"
#include "audio/WaveIn.h"
#include "platform/messages.h"
#include "platform/winmm_driver.h"

namespace {

constexpr auto kWait = std::chrono::seconds(2);

struct TCpu {
  double UserMs = 0;
  double SystemMs = 0;
};

TCpu ThreadCpu() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return {ms(usage.ru_utime), ms(usage.ru_stime)};
}

// Runs wait on this thread and reports what it cost.
template <class TWait>
void MeasureWait(benchmark::State& state, TWait wait) {
  const TCpu before = ThreadCpu();
  const auto start = std::chrono::steady_clock::now();
  wait();
  const double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const TCpu after = ThreadCpu();
  const double userMs = after.UserMs - before.UserMs;
  const double systemMs = after.SystemMs - before.SystemMs;
  state.counters["wait_ms"] = wallMs;
  state.counters["user_cpu_ms"] = userMs;
  state.counters["sys_cpu_ms"] = systemMs;
  state.counters["cpu_percent"] = 100.0 * (userMs + systemMs) / wallMs;
}

void BM_WindowCloseWaitWithAForeignMessageQueued(benchmark::State& state) {
  for (auto _ : state) {
    winmm::virt::Reset();
    winmm::virt::SetPlaybackBudget(0);  // the device holds what it is given
    TBenchOut out;
    out.Limit = 1;  // one buffer, then the data has ended
    out.SetBufferLength(100);
    out.SetActive(true);
    while (!out.GetClosing()) {  // the data ends; its one buffer stays at the device
      DrainMessageQueue();
      MsgWaitForMultipleObjects(0, nullptr, FALSE_, 10, QS_ALLPOSTMESSAGE);
    }
    HWND other = AllocateHWnd([](TMessage&) {});
    PostMessage(other, WM_USER, 0, 0);
    std::thread release([] {
      std::this_thread::sleep_for(kWait);
      winmm::virt::SetPlaybackBudget(-1);
    });
    MeasureWait(state, [&] { out.WaitForClosing(); });
    release.join();
    DrainMessageQueue();
    DeallocateHWnd(other);
  }
}
BENCHMARK(BM_WindowCloseWaitWithAForeignMessageQueued)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_AsyncOpenWaitFromAnotherThread(benchmark::State& state) {
  for (auto _ : state) {
    winmm::virt::Reset();
    TWaveAudioIn in;
    in.SetAsync(true);
    in.SetPCMFormat(nonePCM);
    WAVEFORMATEX format{};
    FillPCMWaveFormatByIndex(&format, Mono8Bit8000Hz);
    HANDLE inside = CreateEvent(TRUE_, FALSE_);
    HANDLE release = CreateEvent(TRUE_, FALSE_);
    in.OnFormat = [&](TComponent*, PWaveFormatEx& f, bool& freeIt) {
      SetEvent(inside);
      WaitForSingleObject(release, INFINITE);
      f = &format;
      freeIt = false;
    };
    std::thread opener([&] { in.SetActive(true); });
    WaitForSingleObject(inside, INFINITE);
    std::thread releaser([&] {
      std::this_thread::sleep_for(kWait);
      SetEvent(release);
    });
    MeasureWait(state, [&] { in.CloseDevice(); });
    opener.join();
    releaser.join();
    in.WaitForClosing();
    CloseHandle(inside);
    CloseHandle(release);
  }
}
BENCHMARK(BM_AsyncOpenWaitFromAnotherThread)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return RunDeviceBenchmarks(argc, argv); }
