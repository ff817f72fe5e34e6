// A thousand recordings and a thousand playbacks on the virtual device at full speed, each
// stopped at a random moment (while the open is pending, mid-stream, from inside a handler,
// during the drain) in both channel modes. Every cycle must end with OnDeactivate within a
// bounded time, and nothing may be left behind: devices, prepared headers, device threads,
// handles, pool buffers.
#include <atomic>
#include <random>

#include "WaveIOTestSupport.h"

using namespace wavetest;

namespace {

constexpr int kCycles = 1000;
constexpr int kCycleTimeoutMs = 5000;

class DeviceStressTest : public DeviceTest {};

// Waits until the counter reaches the target, dispatching this thread's messages (window
// mode) or just watching the worker (Async mode).
bool AwaitCount(const std::atomic<int>& counter, int target) {
  return PumpUntil([&] { return counter.load() >= target; }, kCycleTimeoutMs);
}

// In Async mode a playback may close by itself on the worker between the caller's look at
// Active and the close; the close then finds the device closed already.
void Stop(TWaveAudioIO& io) {
  try {
    io.SetActive(false);
  } catch (const EWaveAudioInvalidOperation&) {
    ASSERT_TRUE(io.GetAsync()) << "only a worker can close the device behind our back";
  }
}

}  // namespace

TEST_F(DeviceStressTest, RecordingCyclesStoppedAtRandomMomentsAllEndCleanly) {
  std::mt19937 rng(20261208);
  winmm::virt::SetCaptureSignal([](uint64_t offset, char* d, size_t n) {
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<char>((offset + i) * 3);
  });
  const int handlesBefore = OpenHandleCount();
  TTestIn in;
  in.SetPCMFormat(Mono8Bit8000Hz);
  in.SetBufferLength(10);
  std::atomic<int> deactivations{0}, activations{0};
  std::atomic<int> stopAfterData{-1};
  in.OnActivate = [&](TComponent*) { ++activations; };
  in.OnDeactivate = [&](TComponent*) { ++deactivations; };
  in.OnDataReady = [&] {
    if (in.DataCalls == stopAfterData) in.SetActive(false);  // from inside the handler
  };
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    const int mode = static_cast<int>(rng() % 4);
    const bool async = rng() % 4 == 0;
    in.SetAsync(async);
    in.SetBufferCount(static_cast<uint16_t>(1 + rng() % 3));
    in.DataCalls = 0;
    in.Recorded.clear();
    stopAfterData = mode == 2 ? static_cast<int>(1 + rng() % 4) : -1;
    in.SetActive(true);
    // In Async mode the worker may run the whole cycle before we look.
    ASSERT_TRUE(in.GetActive() || (async && deactivations > cycle)) << "cycle " << cycle;
    ASSERT_EQ(in.GetLastError(), 0u);
    if (mode == 0) {
      in.SetActive(false);  // before the opened notification has been handled
    } else if (mode == 1) {
      const int wanted = static_cast<int>(1 + rng() % 4);
      ASSERT_TRUE(PumpUntil(
          [&] {
            in.Lock();
            const bool enough = in.DataCalls >= wanted;
            in.Unlock();
            return enough;
          },
          kCycleTimeoutMs))
          << "cycle " << cycle;
      in.SetActive(false);
    } else if (mode == 3) {
      PumpFor(static_cast<int>(rng() % 3));
      in.SetActive(false);
    }
    ASSERT_TRUE(AwaitCount(deactivations, cycle + 1))
        << "cycle " << cycle << " mode " << mode << " async " << async << " data " << in.DataCalls
        << " active " << in.GetActive() << " closing " << in.GetClosing() << " buffers "
        << in.ActiveBufferCount() << " paused " << in.GetPaused() << " log " << [] {
             std::string all;
             for (auto& l : winmm::virt::CallLog()) all += l + ", ";
             return all.substr(all.size() > 600 ? all.size() - 600 : 0);
           }();
    in.WaitForClosing();
    ASSERT_FALSE(in.GetActive());
    ASSERT_EQ(in.ActiveBufferCount(), 0);
  }
  EXPECT_EQ(deactivations, kCycles);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 0);
  ASSERT_TRUE(PumpUntil([] { return winmm::LiveDeviceThreadCount() == 0; }, 2000));
  in.SetAsync(false);
  in.SetActive(true);  // one more cycle reaps the last worker thread
  in.SetActive(false);
  ASSERT_TRUE(AwaitCount(deactivations, kCycles + 1));
  EXPECT_EQ(OpenHandleCount(), handlesBefore);
}

TEST_F(DeviceStressTest, PlaybackCyclesStoppedAtRandomMomentsAllEndCleanly) {
  std::mt19937 rng(8122026);
  const int handlesBefore = OpenHandleCount();
  TTestOut out;
  out.SetBufferLength(10);  // 80-byte buffers
  std::atomic<int> deactivations{0};
  std::atomic<int> stopAtRequest{-1};
  std::atomic<int> requests{0};
  out.OnDeactivate = [&](TComponent*) { ++deactivations; };
  out.OnRequest = [&] {
    ++requests;
    if (out.Requests == stopAtRequest) out.SetActive(false);  // from inside the refill
  };
  int naturalEnds = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    const int mode = static_cast<int>(rng() % 5);
    const bool async = rng() % 4 == 0;
    out.SetAsync(async);
    out.SetBufferCount(static_cast<uint16_t>(1 + rng() % 3));
    out.Data = Pattern(rng() % 900);
    out.Offset = 0;
    out.Chunk = rng() % 3 == 0 ? static_cast<uint32_t>(1 + rng() % 80) : 0;
    out.Requests = 0;
    stopAtRequest = mode == 2 ? static_cast<int>(1 + rng() % 6) : -1;
    winmm::virt::ClearPlayed();
    out.SetActive(true);
    ASSERT_TRUE(out.GetActive() || (async && deactivations > cycle)) << "cycle " << cycle;
    ASSERT_EQ(out.GetLastError(), 0u);
    if (mode == 0) {
      Stop(out);  // before the opened notification
    } else if (mode == 1) {
      PumpFor(static_cast<int>(rng() % 2));
      if (out.GetActive() && !out.GetClosing()) Stop(out);
    } else if (mode == 3) {
      // Wait for the end of the data, then ask for a close during the drain: refused.
      PumpUntil([&] { return out.GetClosing() || !out.GetActive(); }, kCycleTimeoutMs);
      if (!out.GetAsync() && out.GetActive() && out.GetClosing()) {
        EXPECT_FALSE(out.CloseDevice());
      }
    } else if (mode == 4) {
      ++naturalEnds;
    }
    ASSERT_TRUE(AwaitCount(deactivations, cycle + 1)) << "cycle " << cycle << " mode " << mode;
    out.WaitForClosing();
    ASSERT_FALSE(out.GetActive());
    ASSERT_EQ(out.ActiveBufferCount(), 0);
    if (mode == 4) {
      // Left alone, the whole source is played, in order.
      ASSERT_EQ(winmm::virt::PlayedBytes(), out.Data) << "cycle " << cycle;
    } else {
      const std::string played = winmm::virt::PlayedBytes();
      ASSERT_EQ(played, out.Data.substr(0, played.size())) << "cycle " << cycle;
    }
  }
  EXPECT_GT(naturalEnds, 100);
  EXPECT_EQ(deactivations, kCycles);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 0);
  ASSERT_TRUE(PumpUntil([] { return winmm::LiveDeviceThreadCount() == 0; }, 2000));
  out.SetAsync(false);
  out.Data.clear();
  out.SetActive(true);  // one more cycle reaps the last worker thread
  ASSERT_TRUE(AwaitCount(deactivations, kCycles + 1));
  EXPECT_EQ(OpenHandleCount(), handlesBefore);
}
