// The ALSA driver against a real sound server that keeps time (tests/SoundServer.h): what
// is recorded and played arrives whole, positions follow the sound and never go back, and
// a process held still for longer than the device's ring survives it, the gap said once.
// Nothing here asserts how long anything took.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SoundServer.h"
#include "WaveTestDevice.h"

namespace {

constexpr UINT kHdr = sizeof(WAVEHDR);
constexpr int kWaitMs = 30000;  // generous: the machine may be busy
constexpr int kStallMs = 600;   // three times the device's ring

// The driver's notices of this test.
class TNotices {
 public:
  TNotices() {
    winmm::SetNoticeSink([this](const winmm::WaveNotice& notice) {
      std::lock_guard lk(FM);
      FTexts.push_back(notice.Text);
    });
  }
  ~TNotices() { winmm::SetNoticeSink(nullptr); }
  std::vector<std::string> Texts() {
    std::lock_guard lk(FM);
    return FTexts;
  }

 private:
  std::mutex FM;
  std::vector<std::string> FTexts;
};

// The device's position in bytes; false when a position ever went back.
class TPositionWatch {
 public:
  template <typename H, typename Query>
  void Look(H handle, Query query) {
    MMTIME t{};
    t.wType = TIME_BYTES;
    if (query(handle, &t, sizeof t) != MMSYSERR_NOERROR) return;
    if (t.u.cb < FLast) FWentBack = true;
    FLast = t.u.cb;
  }
  DWORD Last() const { return FLast; }
  bool WentBack() const { return FWentBack; }

 private:
  DWORD FLast = 0;
  bool FWentBack = false;
};

TEST(SoundServer, RecordingGoesOnAfterAStallKeepsEveryByteAndItsPositionNeverGoesBack) {
  TSoundServer server;
  if (!server.Skip().empty()) GTEST_SKIP() << server.Skip();
  TNoteWindow w;
  HWAVEIN h = 0;
  std::vector<std::unique_ptr<TTestBuffer>> bufs;
  ASSERT_EQ(OpenCaptureQueued(w, h, bufs, 4, 800), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);

  uint64_t got = 0;
  bool heard = false;  // the server's tone, not a silent stream
  bool requeue = true;
  size_t seen = 0;
  TPositionWatch position;
  auto step = [&] {
    for (; seen < w.Notes().size(); ++seen) {
      const TWaveNote& note = w.Notes()[seen];
      if (note.Msg != MM_WIM_DATA) continue;
      got += note.Bytes;
      for (DWORD i = 0; i < note.Bytes; ++i)
        heard = heard || static_cast<uint8_t>(note.Header->lpData[i]) != 0x80;
      if (requeue) waveInAddBuffer(h, note.Header, kHdr);
    }
    position.Look(h, waveInGetPosition);
  };
  ASSERT_TRUE(PumpUntil(
      [&] {
        step();
        return got >= 8000;
      },
      kWaitMs));
  const uint64_t before = got;
  StallThisProcess(kStallMs);
  EXPECT_TRUE(PumpUntil(
      [&] {
        step();
        return got >= before + 8000;
      },
      kWaitMs))
      << "the recording did not go on after the stall: " << got << " bytes";

  // A stop hands back the buffer being filled with what it holds: every byte the device
  // counted is in the buffers.
  requeue = false;
  ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
  step();
  const DWORD counted = position.Last();
  DrainMessageQueue();
  step();
  EXPECT_EQ(counted, got);
  EXPECT_FALSE(position.WentBack());
  EXPECT_TRUE(heard);
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  DrainMessageQueue();
  for (auto& b : bufs) ASSERT_EQ(waveInUnprepareHeader(h, &b->Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
}

TEST(SoundServer, PlaybackSurvivesAStallSaysTheGapOnceAndItsPositionNeverGoesBack) {
  TSoundServer server;
  if (!server.Skip().empty()) GTEST_SKIP() << server.Skip();
  TNotices notices;
  TNoteWindow w;
  HWAVEOUT h = 0;
  const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
  ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  // Three seconds in 100 ms buffers, four of them queued at a time and refilled as they
  // come back, as the player does.
  const std::string sound = Pattern(24000);
  constexpr size_t kBlock = 800;
  size_t written = 0;
  std::vector<std::unique_ptr<TTestBuffer>> bufs;
  auto write = [&](TTestBuffer& b) {
    std::copy_n(sound.data() + written, kBlock, b.Data.data());
    written += kBlock;
    return waveOutWrite(h, &b.Header, kHdr);
  };
  for (int i = 0; i < 4; ++i) {
    bufs.push_back(std::make_unique<TTestBuffer>(kBlock));
    ASSERT_EQ(waveOutPrepareHeader(h, &bufs.back()->Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(write(*bufs.back()), MMSYSERR_NOERROR);
  }
  size_t done = 0, seen = 0;
  TPositionWatch position;
  auto step = [&] {
    for (; seen < w.Notes().size(); ++seen) {
      const TWaveNote& note = w.Notes()[seen];
      if (note.Msg != MM_WOM_DONE) continue;
      ++done;
      if (written < sound.size())
        for (auto& b : bufs)
          if (&b->Header == note.Header) write(*b);
    }
    position.Look(h, waveOutGetPosition);
  };
  // Held still once the server is really playing (half a second heard).
  ASSERT_TRUE(PumpUntil(
      [&] {
        step();
        return position.Last() >= 4000;
      },
      kWaitMs));
  StallThisProcess(kStallMs);
  EXPECT_TRUE(PumpUntil(
      [&] {
        step();
        return done == sound.size() / kBlock;
      },
      kWaitMs))
      << "the playback did not go on after the stall: " << done << " buffers back";
  // Once the ring has played out, the position is the whole sound, as far as the server's
  // latency report goes: to within one period of the ring.
  EXPECT_TRUE(PumpUntil(
      [&] {
        step();
        return position.Last() + 400 >= sound.size();
      },
      kWaitMs))
      << position.Last();
  EXPECT_LE(position.Last(), sound.size());
  EXPECT_FALSE(position.WentBack());
  const std::vector<std::string> said = notices.Texts();
  ASSERT_EQ(said.size(), 1u) << (said.empty() ? "nothing said" : said[0] + "\n" + said.back());
  EXPECT_NE(said[0].find("ALSA device \"default\""), std::string::npos) << said[0];
  EXPECT_NE(said[0].find("(underrun); it goes on"), std::string::npos) << said[0];
  for (auto& b : bufs) ASSERT_EQ(waveOutUnprepareHeader(h, &b->Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
}

}  // namespace
