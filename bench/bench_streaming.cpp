// Steady-state streaming on the virtual device: how many heap allocations one recorded or
// played buffer costs once the queue is running. Every malloc, calloc and realloc of the
// process is counted (operator new ends in malloc), split by thread: the user-interface
// thread runs the device components, the device threads belong to the driver.
//
//   ZELVOR_AUDIO=virtual ./bench_streaming
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "BenchOut.h"
#include "audio/WaveIn.h"
#include "platform/messages.h"
#include "platform/winmm_driver.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZS_COUNT_ALLOCATIONS 0
#else
#define ZS_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<uint64_t> gMainAllocs{0};
std::atomic<uint64_t> gOtherAllocs{0};
pthread_t gMainThread;
std::atomic<bool> gCounting{false};

void CountOne() {
  if (!gCounting.load(std::memory_order_relaxed)) return;
  if (pthread_equal(pthread_self(), gMainThread))
    gMainAllocs.fetch_add(1, std::memory_order_relaxed);
  else
    gOtherAllocs.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if ZS_COUNT_ALLOCATIONS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t n) {
  CountOne();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
  CountOne();
  return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
  CountOne();
  return __libc_realloc(p, n);
}
}
#endif

namespace {

class TBenchIn : public TWaveAudioIn {
 public:
  using TWaveAudioIn::TWaveAudioIn;
  ~TBenchIn() override { ShutDown(); }
  uint64_t Buffers = 0;

 protected:
  void DataReady(void*, uint32_t, bool&) override { ++Buffers; }
};

void PumpUntilBuffers(const uint64_t& counter, uint64_t target) {
  while (counter < target) {
    DrainMessageQueue();
    if (counter < target)
      MsgWaitForMultipleObjects(0, nullptr, FALSE_, 1, QS_POSTMESSAGE | QS_ALLPOSTMESSAGE);
  }
}

template <class TDevice>
void Stream(benchmark::State& state, TDevice& device) {
  device.SetBufferLength(10);
  device.SetActive(true);
  PumpUntilBuffers(device.Buffers, 200);  // warm-up: queues, pools and logs reach size
  gMainAllocs = 0;
  gOtherAllocs = 0;
  gCounting = true;
  const uint64_t start = device.Buffers;
  for (auto _ : state) PumpUntilBuffers(device.Buffers, device.Buffers + 1);
  gCounting = false;
  const double buffers = static_cast<double>(device.Buffers - start);
  state.counters["buffers"] = buffers;
  state.counters["ui_allocs_per_buffer"] = gMainAllocs / buffers;
  state.counters["driver_allocs_per_buffer"] = gOtherAllocs / buffers;
  state.counters["measured"] = ZS_COUNT_ALLOCATIONS;
  device.SetActive(false);
  while (device.GetActive()) {
    DrainMessageQueue();
    MsgWaitForMultipleObjects(0, nullptr, FALSE_, 1, QS_POSTMESSAGE | QS_ALLPOSTMESSAGE);
  }
}

void BM_RecordSteadyState(benchmark::State& state) {
  winmm::virt::Reset();
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 140, n); });
  TBenchIn in;
  in.SetPCMFormat(Mono8Bit8000Hz);
  Stream(state, in);
}
BENCHMARK(BM_RecordSteadyState)->Iterations(20000);

void BM_PlaySteadyState(benchmark::State& state) {
  winmm::virt::Reset();
  TBenchOut out;
  Stream(state, out);
}
BENCHMARK(BM_PlaySteadyState)->Iterations(20000);

}  // namespace

int main(int argc, char** argv) {
  gMainThread = pthread_self();
  return RunDeviceBenchmarks(argc, argv);
}
