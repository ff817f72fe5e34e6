// A long recording in real time into a file, as zelvorsound-cli records (8000 Hz 8-bit mono,
// buffers of a tenth of a second, 20 of them queued): no buffer may be lost or reordered on
// the way into the take, and the take holds duration x rate bytes within one buffer. It takes
// a minute of wall time, so it runs only when asked for:
//   ZELVOR_LONG_TESTS=1 ./tests/test_audio --gtest_filter='StockRecorderLong.*'
// ZELVOR_LONG_SECONDS changes the length (default 60), ZELVOR_LONG_BUFFERS the number of
// buffers kept at the device (2 is the window's queue), ZELVOR_LONG_MEMORY=1 records into a
// memory storage item instead of a file. The buffers are written on the thread that receives
// the device's notifications, so a write the disk holds up for longer than the queue lasts
// starves the device: on a busy disk the window's two buffers are not enough.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "StockTestKit.h"
#include "TempDir.h"
#include "WaveIOTestSupport.h"
#include "audio/WaveRecorders.h"

using namespace wavetest;
using namespace stocktest;

namespace {

// The byte the capture signal has at an offset: a sequence whose every position shows, so a
// lost, doubled or swapped buffer breaks it.
char SignalAt(uint64_t offset) { return static_cast<char>((offset * 131 + offset / 251) & 0xFF); }

class StockRecorderLong : public DeviceTest {};

}  // namespace

TEST_F(StockRecorderLong, ARealTimeRecordingLosesNoBuffer) {
  const char* enabled = std::getenv("ZELVOR_LONG_TESTS");
  if (enabled == nullptr || std::string(enabled) != "1")
    GTEST_SKIP() << "a minute of wall time: set ZELVOR_LONG_TESTS=1 to run it";
  int seconds = 60;
  if (const char* s = std::getenv("ZELVOR_LONG_SECONDS")) seconds = std::max(1, std::atoi(s));

  winmm::virt::Config cfg = winmm::virt::CurrentConfig();
  cfg.Pace = winmm::virt::Pacing::RealTime;
  cfg.AtEnd = winmm::virt::CaptureEnd::Silence;
  winmm::virt::Configure(cfg);
  winmm::virt::SetCaptureSignal([](uint64_t offset, char* data, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) data[i] = SignalAt(offset + i);
  });

  TempDir dir;
  TStockAudioRecorder rec;
  rec.SetBufferLength(100);
  rec.SetPCMFormat(Mono8Bit8000Hz);
  rec.SetBufferCount(20);
  if (const char* b = std::getenv("ZELVOR_LONG_BUFFERS"))
    rec.SetBufferCount(static_cast<uint16_t>(std::max(1, std::atoi(b))));
  // The longest wait between two buffers handed on: more than the queue holds starves the
  // device.
  auto last = std::chrono::steady_clock::now();
  double longestGapMs = 0;
  rec.OnLevel = [&](TComponent*, int32_t) {
    const auto now = std::chrono::steady_clock::now();
    longestGapMs = std::max(longestGapMs, std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  };
  const uint32_t rate = 8000, buffer = 800;
  TMemoryWaveStorage storage;
  rec.SetStock(&storage);
  const bool inMemory = std::getenv("ZELVOR_LONG_MEMORY") != nullptr;
  ASSERT_TRUE(inMemory ? rec.StartRecordingToStockItem(0) : rec.StartRecordingToFile(dir.Path("long.wav")));
  const auto start = std::chrono::steady_clock::now();
  last = start;
  PumpFor(seconds * 1000);
  rec.SetActive(false);
  const auto stopped = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpUntil([&] { return !rec.GetActive(); }));
  const double elapsed = std::chrono::duration<double>(stopped - start).count();

  const TWavParts w = ParseWav(inMemory ? storage.Bytes(0) : dir.Read("long.wav"));
  ASSERT_TRUE(w.Valid);
  const double expected = elapsed * rate;
  std::printf("recorded %u bytes in %.3f s of wall time: %.1f bytes per second, %+.0f bytes "
              "against duration x rate (one buffer is %u); longest wait between buffers %.0f ms "
              "with %u buffers of 100 ms queued\n",
              w.DataSize, elapsed, w.DataSize / elapsed, w.DataSize - expected, buffer,
              longestGapMs, rec.GetBufferCount());
  EXPECT_EQ(w.DataSize, winmm::virt::CapturedBytes());  // every captured byte is in the take
  EXPECT_LE(std::abs(static_cast<double>(w.DataSize) - expected), buffer);
  size_t firstBad = w.Data.size();
  for (size_t i = 0; i < w.Data.size(); ++i)
    if (w.Data[i] != SignalAt(i)) {
      firstBad = i;
      break;
    }
  EXPECT_EQ(firstBad, w.Data.size()) << "the take breaks off from the signal here";
}
