// The ALSA driver end to end, without a sound card: the sound system reads our own
// configuration (tests/platform/alsa/asound.conf), whose "zelvor_file" device records from
// one file and plays into another over the "null" device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include "EnvVar.h"
#include "TempDir.h"
#include "WaveTestDevice.h"

namespace {

constexpr UINT kHdr = sizeof(WAVEHDR);

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, 0);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

class WinmmAlsa : public ::testing::Test {
 protected:
  WinmmAlsa()
      : FAudio("ZELVOR_AUDIO", "alsa"),
        FConfig("ALSA_CONFIG_PATH",
                std::string(ZS_SOURCE_DIR) + "/tests/platform/alsa/asound.conf"),
        FDevice("ZELVOR_ALSA_DEVICE", "zelvor_file"),
        FPlayback("ZELVOR_TEST_PLAYBACK", FDir.Path("played.raw")),
        FCapture("ZELVOR_TEST_CAPTURE", FDir.Path("capture.raw")) {}

  void TearDown() override {
    EXPECT_EQ(winmm::OpenDeviceCount(), 0);
    EXPECT_EQ(winmm::LiveDeviceThreadCount(), 0);
    EXPECT_EQ(winmm::PreparedHeaderCount(), 0);
  }

  TempDir FDir;
  TSoundEnvVar FAudio;
  TEnvVar FConfig;
  TSoundEnvVar FDevice;
  TEnvVar FPlayback, FCapture;
};

TEST_F(WinmmAlsa, TheFileDeviceIsListedWithItsFormatsAndSoftwareVolume) {
  FDir.Write("capture.raw", "");  // the file device records only when its input file exists
  ASSERT_EQ(waveOutGetNumDevs(), 1u);
  ASSERT_EQ(waveInGetNumDevs(), 1u);
  WAVEOUTCAPSA out{};
  ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &out, sizeof out), MMSYSERR_NOERROR);
  EXPECT_STREQ(out.szPname, "ALSA zelvor_file");
  EXPECT_EQ(out.dwFormats, 0x0FFFu);
  EXPECT_TRUE(out.dwSupport & WAVECAPS_VOLUME);
  EXPECT_FALSE(out.dwSupport & WAVECAPS_PITCH);
  WAVEINCAPSA in{};
  ASSERT_EQ(waveInGetDevCapsA(0, &in, sizeof in), MMSYSERR_NOERROR);
  EXPECT_EQ(in.wChannels, 2);
  EXPECT_EQ(waveInGetDevCapsA(1, &in, sizeof in), MMSYSERR_BADDEVICEID);
  const WAVEFORMATEX f = PcmFormat(22050, 2, 16);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
}

TEST_F(WinmmAlsa, CaptureReturnsExactlyTheBytesOfTheInputFile) {
  const std::string input = RandomBytes(16000, 1);
  FDir.Write("capture.raw", input);
  TNoteWindow w;
  HWAVEIN h = 0;
  std::vector<std::unique_ptr<TTestBuffer>> bufs;
  ASSERT_EQ(OpenCaptureQueued(w, h, bufs, 4, 4000), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 4, 10000));
  MMTIME t{};
  t.wType = TIME_BYTES;
  ASSERT_EQ(waveInGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.u.cb, 16000u);
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  std::string got;
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(w.Notes()[i + 1].Header, &bufs[i]->Header);
    got += bufs[i]->Bytes();
    ASSERT_EQ(waveInUnprepareHeader(h, &bufs[i]->Header, kHdr), MMSYSERR_NOERROR);
  }
  EXPECT_TRUE(got == input) << "captured " << got.size() << " bytes differ from the file";
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_CLOSE, 1));
}

TEST_F(WinmmAlsa, StereoSixteenBitCaptureKeepsEveryFrame) {
  const std::string input = RandomBytes(3 * 17640, 2);
  FDir.Write("capture.raw", input);
  TNoteWindow w;
  HWAVEIN h = 0;
  const WAVEFORMATEX f = PcmFormat(44100, 2, 16);
  ASSERT_EQ(waveInOpen(&h, 0, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  TTestBuffer a(17640), b(2 * 17640);
  for (auto* t : {&a, &b}) {
    ASSERT_EQ(waveInPrepareHeader(h, &t->Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(h, &t->Header, kHdr), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 2, 10000));
  MMTIME t{};
  t.wType = TIME_MS;
  ASSERT_EQ(waveInGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.u.ms, 300u);
  EXPECT_TRUE(a.Bytes() + b.Bytes() == input);
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  for (auto* t : {&a, &b}) ASSERT_EQ(waveInUnprepareHeader(h, &t->Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(WinmmAlsa, PlaybackWritesExactlyTheBytesGivenInOrder) {
  TNoteWindow w;
  HWAVEOUT h = 0;
  const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
  ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  TTestBuffer a(RandomBytes(5000, 3)), b(RandomBytes(123, 4)), c(RandomBytes(2900, 5));
  for (auto* t : {&a, &b, &c}) {
    ASSERT_EQ(waveOutPrepareHeader(h, &t->Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &t->Header, kHdr), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 3, 10000));
  for (auto* t : {&a, &b, &c})
    ASSERT_EQ(waveOutUnprepareHeader(h, &t->Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_CLOSE, 1));
  const std::string played = FDir.Read("played.raw");
  EXPECT_EQ(played.size(), 8023u);
  EXPECT_TRUE(played == RandomBytes(5000, 3) + RandomBytes(123, 4) + RandomBytes(2900, 5));
}

TEST_F(WinmmAlsa, SoftwareVolumeScalesWhatReachesTheDevice) {
  TNoteWindow w;
  HWAVEOUT h = 0;
  const WAVEFORMATEX f = PcmFormat(8000, 1, 16);
  ASSERT_EQ(waveOutOpen(&h, 0, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutSetVolume(h, 0x80008000), MMSYSERR_NOERROR);
  std::vector<int16_t> samples(800, 10000);
  TTestBuffer a(std::string(reinterpret_cast<char*>(samples.data()), samples.size() * 2));
  ASSERT_EQ(waveOutPrepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1, 10000));
  ASSERT_EQ(waveOutUnprepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  std::string played = FDir.Read("played.raw");
  ASSERT_EQ(played.size(), 1600u);
  int16_t first;
  std::memcpy(&first, played.data(), 2);
  EXPECT_EQ(first, static_cast<int16_t>(10000 * 0x8000 / 0xFFFF));
}

TEST_F(WinmmAlsa, ResetDropsWhatIsQueuedAndTheDevicePlaysOnFromZero) {
  TNoteWindow w;
  HWAVEOUT h = 0;
  const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
  ASSERT_EQ(waveOutOpen(&h, 0, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  TTestBuffer a(RandomBytes(4000, 6)), b(RandomBytes(1000, 7));
  ASSERT_EQ(waveOutPrepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  ASSERT_EQ(waveOutPrepareHeader(h, &b.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(h, &b.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 2, 10000));
  MMTIME t{};
  t.wType = TIME_BYTES;
  ASSERT_TRUE(PumpUntil(
      [&] { return waveOutGetPosition(h, &t, sizeof t) == MMSYSERR_NOERROR && t.u.cb == 1000; }));
  for (auto* x : {&a, &b}) ASSERT_EQ(waveOutUnprepareHeader(h, &x->Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_TRUE(FDir.Read("played.raw") == RandomBytes(1000, 7));  // the paused block never played
}

TEST_F(WinmmAlsa, WithoutASoundCardNothingIsListedAndOpenFailsCleanly) {
  for (const char* name : {"zelvor_nocard", "default", "no_such_device"}) {
    TSoundEnvVar device("ZELVOR_ALSA_DEVICE", name);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waveOutGetNumDevs(), 0u) << name;
    EXPECT_EQ(waveInGetNumDevs(), 0u) << name;
    WAVEOUTCAPSA caps;
    EXPECT_NE(waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    TNoteWindow w;
    HWAVEOUT h = 9;
    const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NODRIVER)
        << name;
    EXPECT_EQ(h, 0u);
    HWAVEIN hi = 9;
    EXPECT_EQ(waveInOpen(&hi, WAVE_MAPPER, &f, w.Callback(), 0, CALLBACK_WINDOW),
              MMSYSERR_NODRIVER);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << name;
    DrainMessageQueue();
    EXPECT_TRUE(w.Notes().empty());
  }
}

TEST_F(WinmmAlsa, TheSoundSystemsReasonIsKeptForTheUser) {
  TSoundEnvVar device("ZELVOR_ALSA_DEVICE", "zelvor_nocard");
  EXPECT_EQ(waveOutGetNumDevs(), 0u);
  winmm::WaveDeviceInfo info;
  std::string why = winmm::SystemDriver().Caps(winmm::WaveDir::Out, 0, info).Reason;
  EXPECT_NE(why.find("zelvor_nocard"), std::string::npos) << why;
  // A failed open returns the reason with its code, for the text the user is shown.
  TNoteWindow w;
  HWAVEOUT h = 0;
  const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
  const winmm::WaveResult opened =
      winmm::OpenWave(winmm::WaveDir::Out, &h, WAVE_MAPPER, &f, w.Callback(), CALLBACK_WINDOW);
  ASSERT_NE(opened.Code, MMSYSERR_NOERROR);
  EXPECT_EQ(opened.Reason.rfind("ALSA", 0), 0u) << opened.Reason;
  EXPECT_NE(opened.Reason.find("zelvor_nocard"), std::string::npos) << opened.Reason;
}

TEST_F(WinmmAlsa, AThousandOpenCloseCyclesOfEachDirectionLeaveNothingBehind) {
  FDir.Write("capture.raw", RandomBytes(64, 8));
  TNoteWindow w;
  const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
  TTestBuffer buf(RandomBytes(64, 9));
  for (int i = 0; i < 1000; ++i) {
    HWAVEIN in = 0;
    ASSERT_EQ(waveInOpen(&in, 0, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInPrepareHeader(in, &buf.Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &buf.Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInUnprepareHeader(in, &buf.Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    HWAVEOUT out = 0;
    ASSERT_EQ(waveOutOpen(&out, 0, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPrepareHeader(out, &buf.Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &buf.Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutUnprepareHeader(out, &buf.Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    if (i % 100 == 0) DrainMessageQueue();
  }
  DrainMessageQueue();
  EXPECT_EQ(w.Count(MM_WIM_CLOSE), 1000u);
  EXPECT_EQ(w.Count(MM_WOM_CLOSE), 1000u);
  EXPECT_EQ(w.Count(MM_WOM_DONE), 1000u);
  EXPECT_EQ(w.Count(MM_WIM_DATA), 1000u);
}

}  // namespace
