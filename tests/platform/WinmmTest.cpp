// The wave-audio calls on the virtual device: what the device layer relies on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "TempDir.h"
#include "WaveTestDevice.h"

namespace {

using winmm::WaveCall;
using winmm::WaveDir;
namespace virt = winmm::virt;

constexpr UINT kHdr = sizeof(WAVEHDR);

const WAVEFORMATEX kMono8 = PcmFormat(8000, 1, 8);
const WAVEFORMATEX kStereo16 = PcmFormat(44100, 2, 16);

HWAVEOUT OpenOut(TNoteWindow& w, const WAVEFORMATEX& f = kMono8) {
  HWAVEOUT h = 0;
  EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  return h;
}

HWAVEIN OpenIn(TNoteWindow& w, const WAVEFORMATEX& f = kMono8) {
  HWAVEIN h = 0;
  EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  return h;
}

DWORD PositionIn(HWAVEIN h, UINT type) {
  MMTIME t{};
  t.wType = type;
  EXPECT_EQ(waveInGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  return t.u.cb;
}

DWORD PositionOut(HWAVEOUT h, UINT type = TIME_BYTES) {
  MMTIME t{};
  t.wType = type;
  EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  return t.u.cb;
}

void Play(HWAVEOUT h, TTestBuffer& b) {
  ASSERT_EQ(waveOutPrepareHeader(h, &b.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(h, &b.Header, kHdr), MMSYSERR_NOERROR);
}

void Queue(HWAVEIN h, TTestBuffer& b) {
  ASSERT_EQ(waveInPrepareHeader(h, &b.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInAddBuffer(h, &b.Header, kHdr), MMSYSERR_NOERROR);
}

std::string ErrorText(MMRESULT code) {
  char text[256];
  EXPECT_EQ(waveOutGetErrorTextA(code, text, sizeof text), MMSYSERR_NOERROR) << code;
  return text;
}

// --- devices and capabilities ---

TEST(WinmmDevices, CountsNamesFormatsAndSupportComeFromTheConfiguration) {
  TWaveTestDevice dev;
  virt::Config c;
  c.Inputs = {{"Mic A", WAVE_FORMAT_1M08 | WAVE_FORMAT_4S16, 1, 0}, {"Mic B", 0, 2, 0}};
  c.Outputs = {{"Speaker with a name far longer than the record holds", WAVE_FORMAT_2M16, 2,
                WAVECAPS_VOLUME | WAVECAPS_PITCH}};
  virt::Configure(c);

  EXPECT_EQ(waveInGetNumDevs(), 2u);
  EXPECT_EQ(waveOutGetNumDevs(), 1u);
  WAVEINCAPSA in{};
  ASSERT_EQ(waveInGetDevCapsA(1, &in, sizeof in), MMSYSERR_NOERROR);
  EXPECT_STREQ(in.szPname, "Mic B");
  EXPECT_EQ(in.wChannels, 2);
  ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &in, sizeof in), MMSYSERR_NOERROR);
  EXPECT_STREQ(in.szPname, "Mic A");  // the mapper stands for the first device
  EXPECT_EQ(in.dwFormats, WAVE_FORMAT_1M08 | WAVE_FORMAT_4S16);

  WAVEOUTCAPSA out{};
  ASSERT_EQ(waveOutGetDevCapsA(0, &out, sizeof out), MMSYSERR_NOERROR);
  EXPECT_EQ(std::strlen(out.szPname), size_t(MAXPNAMELEN - 1));  // cut, still terminated
  EXPECT_EQ(std::string(out.szPname), std::string(c.Outputs[0].Name, 0, MAXPNAMELEN - 1));
  EXPECT_EQ(out.dwFormats, WAVE_FORMAT_2M16);
  EXPECT_EQ(out.dwSupport, WAVECAPS_VOLUME | WAVECAPS_PITCH);

  EXPECT_EQ(waveInGetDevCapsA(2, &in, sizeof in), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutGetDevCapsA(1, &out, sizeof out), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutGetDevCapsA(0, nullptr, sizeof out), MMSYSERR_INVALPARAM);
}

TEST(WinmmDevices, ASmallCapsRecordGetsOnlyWhatFits) {
  TWaveTestDevice dev;
  WAVEOUTCAPSA out;
  std::memset(&out, 0x5A, sizeof out);
  ASSERT_EQ(waveOutGetDevCapsA(0, &out, 8), MMSYSERR_NOERROR);
  EXPECT_EQ(out.vDriverVersion, 0x0100u);
  EXPECT_EQ(static_cast<unsigned char>(out.szPname[0]), 0x5A);  // untouched beyond 8 bytes
}

TEST(WinmmDevices, WithoutDevicesTheMapperHasNoDriverAndNothingOpens) {
  TWaveTestDevice dev;
  virt::Config c;
  c.Inputs.clear();
  c.Outputs.clear();
  virt::Configure(c);
  EXPECT_EQ(waveInGetNumDevs(), 0u);
  EXPECT_EQ(waveOutGetNumDevs(), 0u);
  WAVEOUTCAPSA caps;
  EXPECT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NODRIVER);
  TNoteWindow w;
  HWAVEOUT h = 77;
  EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &kMono8, w.Callback(), 0, CALLBACK_WINDOW),
            MMSYSERR_NODRIVER);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &kMono8, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
}

TEST(WinmmDevices, EveryResultCodeHasItsOwnTextAndUnknownCodesAreRefused) {
  const MMRESULT codes[] = {MMSYSERR_NOERROR,    MMSYSERR_ERROR,     MMSYSERR_BADDEVICEID,
                            MMSYSERR_NOTENABLED, MMSYSERR_ALLOCATED, MMSYSERR_INVALHANDLE,
                            MMSYSERR_NODRIVER,   MMSYSERR_NOMEM,     MMSYSERR_NOTSUPPORTED,
                            MMSYSERR_BADERRNUM,  MMSYSERR_INVALFLAG, MMSYSERR_INVALPARAM,
                            MMSYSERR_HANDLEBUSY, WAVERR_BADFORMAT,   WAVERR_STILLPLAYING,
                            WAVERR_UNPREPARED,   WAVERR_SYNC};
  std::vector<std::string> seen;
  for (MMRESULT c : codes) {
    std::string t = ErrorText(c);
    EXPECT_FALSE(t.empty()) << c;
    for (auto& s : seen) EXPECT_NE(s, t) << c;
    seen.push_back(t);
    char in[256];
    ASSERT_EQ(waveInGetErrorTextA(c, in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(t, in);
  }
  char text[256] = "junk";
  EXPECT_EQ(waveOutGetErrorTextA(999, text, sizeof text), MMSYSERR_BADERRNUM);
  EXPECT_STREQ(text, "");
  char small[8];
  ASSERT_EQ(waveOutGetErrorTextA(WAVERR_STILLPLAYING, small, sizeof small), MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(small), ErrorText(WAVERR_STILLPLAYING).substr(0, 7));
  EXPECT_EQ(waveOutGetErrorTextA(WAVERR_STILLPLAYING, nullptr, 10), MMSYSERR_INVALPARAM);
}

// --- opening ---

TEST(WinmmOpen, AFormatQueryAnswersWithoutOpeningAnything) {
  TWaveTestDevice dev;
  virt::Config c;
  c.Accepts = [](WaveDir, UINT, const WAVEFORMATEX& f) { return f.nSamplesPerSec != 44100; };
  virt::Configure(c);
  EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &kMono8, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &kStereo16, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
  WAVEFORMATEX odd = kMono8;
  odd.wBitsPerSample = 24;
  odd.nBlockAlign = 3;
  odd.nAvgBytesPerSec = 24000;
  EXPECT_EQ(waveOutOpen(nullptr, 0, &odd, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
  WAVEFORMATEX lying = kMono8;
  lying.nAvgBytesPerSec = 1;  // does not match rate × block
  EXPECT_EQ(waveInOpen(nullptr, 0, &lying, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
  EXPECT_EQ(waveInOpen(nullptr, 0, nullptr, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_INVALPARAM);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);

  TNoteWindow w;
  HWAVEOUT h = 0;
  EXPECT_EQ(waveOutOpen(&h, 0, &kStereo16, w.Callback(), 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  EXPECT_EQ(h, 0u);
  DrainMessageQueue();
  EXPECT_TRUE(w.Notes().empty());
}

TEST(WinmmOpen, BadArgumentsAreRefused) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEIN h = 0;
  EXPECT_EQ(waveInOpen(nullptr, 0, &kMono8, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInOpen(&h, 0, &kMono8, w.Callback(), 0, 0x00030000), MMSYSERR_INVALFLAG);
  EXPECT_EQ(waveInOpen(&h, 0, &kMono8, 12345, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInOpen(&h, 5, &kMono8, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
}

TEST(WinmmOpen, HandlesAreSmallDistinctAndChecked) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEIN in = OpenIn(w);
  HWAVEOUT out = OpenOut(w);
  EXPECT_NE(in, 0u);
  EXPECT_NE(out, 0u);
  EXPECT_NE(in, out);
  EXPECT_LE(in, 0xFFFFu);
  EXPECT_EQ(waveOutReset(in), MMSYSERR_INVALHANDLE);  // an input handle is no output handle
  EXPECT_EQ(waveInReset(out), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInStart(0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(in), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInStart(in), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  MMTIME t{};
  EXPECT_EQ(waveOutGetPosition(out, &t, sizeof t), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
}

// --- notifications ---

TEST(WinmmNotify, PlaybackPostsOpenOneDonePerBufferAndCloseInOrderToTheWindow) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(Pattern(700, 1)), b(Pattern(300, 2)), c(Pattern(1, 3));
  Play(h, a);
  Play(h, b);
  Play(h, c);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 3));
  EXPECT_EQ(PositionOut(h), 1001u);
  ASSERT_EQ(waveOutUnprepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_CLOSE, 1));

  auto& n = w.Notes();
  ASSERT_EQ(n.size(), 5u);
  EXPECT_EQ(n[0].Msg, MM_WOM_OPEN);
  EXPECT_EQ(n[1].Header, &a.Header);
  EXPECT_EQ(n[2].Header, &b.Header);
  EXPECT_EQ(n[3].Header, &c.Header);
  EXPECT_EQ(n[4].Msg, MM_WOM_CLOSE);
  for (auto& note : n) {
    EXPECT_EQ(note.Handle, h);
    EXPECT_EQ(note.Thread, GetCurrentThreadId());
  }
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(n[i].Msg, MM_WOM_DONE);
    EXPECT_TRUE(n[i].Flags & WHDR_DONE);
    EXPECT_FALSE(n[i].Flags & WHDR_INQUEUE);
  }
  EXPECT_EQ(virt::PlayedBytes(), Pattern(700, 1) + Pattern(300, 2) + Pattern(1, 3));
}

TEST(WinmmNotify, CaptureNotificationsReachTheThreadGivenAtOpen) {
  TWaveTestDevice dev;
  virt::SetCaptureBytes(Pattern(2000));
  std::atomic<DWORD> tid{0};
  std::vector<TWaveNote> notes;
  std::thread listener([&] {
    EnsureMessageQueue();
    tid = GetCurrentThreadId();
    MSG m;
    while (GetMessage(&m, nullptr, 0, 0) > 0) {
      notes.push_back(MakeNote(m.message, m.wParam, m.lParam));
      if (m.message == MM_WIM_CLOSE) break;
    }
  });
  while (tid == 0) std::this_thread::yield();

  HWAVEIN h = 0;
  ASSERT_EQ(waveInOpen(&h, 0, &kMono8, tid, 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
  TTestBuffer a(1000), b(1000);
  Queue(h, a);
  Queue(h, b);
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(PumpUntil([&] { return !(FlagsNow(b.Header) & WHDR_INQUEUE); }));
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
  listener.join();

  ASSERT_EQ(notes.size(), 4u);
  EXPECT_EQ(notes[0].Msg, MM_WIM_OPEN);
  EXPECT_EQ(notes[1].Msg, MM_WIM_DATA);
  EXPECT_EQ(notes[1].Header, &a.Header);
  EXPECT_EQ(notes[1].Bytes, 1000u);
  EXPECT_EQ(notes[2].Header, &b.Header);
  EXPECT_EQ(notes[3].Msg, MM_WIM_CLOSE);
  for (auto& n : notes) {
    EXPECT_EQ(n.Thread, tid.load());
    EXPECT_EQ(n.Handle, h);
  }
  EXPECT_EQ(a.Bytes() + b.Bytes(), Pattern(2000));
}

TEST(WinmmNotify, NoCallbackMeansNoNotificationsButTheDeviceStillWorks) {
  TWaveTestDevice dev;
  EnsureMessageQueue();
  DrainMessageQueue();
  HWAVEOUT h = 0;
  ASSERT_EQ(waveOutOpen(&h, 0, &kMono8, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  TTestBuffer a(Pattern(64));
  Play(h, a);
  ASSERT_TRUE(PumpUntil([&] { return (FlagsNow(a.Header) & WHDR_DONE) != 0; }));
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  MSG m;
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(virt::PlayedBytes(), Pattern(64));
}

// --- capture: start, stop, reset, partial buffers ---

TEST(WinmmCapture, StopReturnsTheBufferBeingFilledWithWhatItHoldsAndKeepsTheEmptyOnes) {
  TWaveTestDevice dev;
  virt::SetCaptureBytes(Pattern(1500));
  TNoteWindow w;
  HWAVEIN h = OpenIn(w);
  TTestBuffer a(1000), b(1000), c(1000);
  Queue(h, a);
  Queue(h, b);
  Queue(h, c);
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 0u);  // nothing before the start
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(PumpUntil([&] { return PositionIn(h, TIME_BYTES) == 1500; }));
  ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 2));
  auto& n = w.Notes();
  ASSERT_EQ(n.size(), 3u);
  EXPECT_EQ(n[1].Header, &a.Header);
  EXPECT_EQ(n[1].Bytes, 1000u);
  EXPECT_EQ(n[2].Header, &b.Header);
  EXPECT_EQ(n[2].Bytes, 500u);
  EXPECT_EQ(a.Bytes() + b.Bytes(), Pattern(1500));
  EXPECT_TRUE(c.Header.dwFlags & WHDR_INQUEUE);  // the empty one waits at the device
  EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 1500u);  // stop keeps the position

  // Started again, the kept buffer receives what comes next.
  virt::SetCaptureBytes(Pattern(1000, 9));
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 3));
  EXPECT_EQ(c.Bytes(), Pattern(1000, 9));
  EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmCapture, StopWithAnEmptyCurrentBufferReturnsNothing) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEIN h = OpenIn(w);
  TTestBuffer a(100);
  Queue(h, a);
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);  // no capture source: the device holds
  ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
  DrainMessageQueue();
  EXPECT_EQ(w.Count(MM_WIM_DATA), 0u);
  EXPECT_TRUE(a.Header.dwFlags & WHDR_INQUEUE);
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmCapture, ResetReturnsEveryBufferInOrderWithWhatItHoldsAndClearsThePosition) {
  TWaveTestDevice dev;
  virt::SetCaptureBytes(Pattern(1300));
  TNoteWindow w;
  HWAVEIN h = OpenIn(w);
  TTestBuffer a(1000), b(1000), c(1000);
  Queue(h, a);
  Queue(h, b);
  Queue(h, c);
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(PumpUntil([&] { return PositionIn(h, TIME_BYTES) == 1300; }));
  EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  // Everything is back by the time reset returns.
  EXPECT_FALSE(c.Header.dwFlags & WHDR_INQUEUE);
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 0u);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 3));
  auto& n = w.Notes();
  EXPECT_EQ(n[1].Bytes, 1000u);
  EXPECT_EQ(n[2].Header, &b.Header);
  EXPECT_EQ(n[2].Bytes, 300u);
  EXPECT_EQ(n[3].Header, &c.Header);
  EXPECT_EQ(n[3].Bytes, 0u);
  EXPECT_TRUE(n[3].Flags & WHDR_DONE);
  EXPECT_EQ(a.Bytes() + b.Bytes(), Pattern(1300));

  // Reset stops the capture: a buffer added now stays empty until the next start.
  virt::SetCaptureBytes(Pattern(50));
  b.Header.dwBytesRecorded = 0;
  ASSERT_EQ(waveInAddBuffer(h, &b.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(PumpUntil([&] { return PositionIn(h, TIME_BYTES) == 50; }));
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 4));
  EXPECT_EQ(b.Bytes(), Pattern(50));
  for (auto* t : {&a, &b, &c}) EXPECT_EQ(waveInUnprepareHeader(h, &t->Header, kHdr), 0u);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_CLOSE, 1));
  EXPECT_EQ(w.Notes().back().Msg, MM_WIM_CLOSE);
}

TEST(WinmmCapture, ASignalSourceAndQuietSilenceFillBuffers) {
  TWaveTestDevice dev;
  virt::SetCaptureSignal([](uint64_t offset, char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>((offset + i) % 251);
  });
  TNoteWindow w;
  HWAVEIN h = OpenIn(w);
  TTestBuffer a(600);
  Queue(h, a);
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 1));
  for (size_t i = 0; i < 600; ++i) ASSERT_EQ(static_cast<unsigned char>(a.Data[i]), i % 251);

  virt::Config c;
  c.AtEnd = virt::CaptureEnd::Silence;
  virt::Configure(c);
  virt::SetCaptureBytes("\x01\x02");
  ASSERT_EQ(waveInAddBuffer(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 2));
  EXPECT_EQ(a.Bytes(), std::string("\x01\x02", 2) + std::string(598, '\x80'));
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmCapture, AnEmptyCaptureBufferIsRefused) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEIN h = OpenIn(w);
  TTestBuffer empty(0);
  ASSERT_EQ(waveInPrepareHeader(h, &empty.Header, kHdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInAddBuffer(h, &empty.Header, kHdr), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

// --- headers ---

TEST(WinmmHeaders, PrepareMarksAndUnprepareClearsAndQueuedHeadersAreLeftAlone) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEIN h = OpenIn(w);
  TTestBuffer a(100);
  EXPECT_EQ(waveInAddBuffer(h, &a.Header, kHdr), WAVERR_UNPREPARED);
  EXPECT_EQ(waveInPrepareHeader(h, &a.Header, 16), MMSYSERR_INVALPARAM);  // size too small
  EXPECT_EQ(waveInPrepareHeader(h, nullptr, kHdr), MMSYSERR_INVALPARAM);
  ASSERT_EQ(waveInPrepareHeader(h, &a.Header, 32), MMSYSERR_NOERROR);  // the platform's size
  EXPECT_TRUE(a.Header.dwFlags & WHDR_PREPARED);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 1);
  EXPECT_EQ(waveInPrepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);  // twice is harmless
  EXPECT_EQ(winmm::PreparedHeaderCount(), 1);
  ASSERT_EQ(waveInAddBuffer(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInAddBuffer(h, &a.Header, kHdr), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInUnprepareHeader(h, &a.Header, kHdr), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInPrepareHeader(h, &a.Header, kHdr), WAVERR_STILLPLAYING);
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInUnprepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  EXPECT_FALSE(a.Header.dwFlags & WHDR_PREPARED);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 0);
  EXPECT_EQ(waveInAddBuffer(h, &a.Header, kHdr), WAVERR_UNPREPARED);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

// --- playback: pause, restart, reset, loops ---

TEST(WinmmPlayback, PauseKeepsQueuedBuffersAndRestartPlaysOnWithoutLossOrRepeat) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  virt::SetPlaybackBudget(300);
  TTestBuffer a(Pattern(1000, 4)), b(Pattern(500, 5));
  Play(h, a);
  Play(h, b);
  ASSERT_TRUE(PumpUntil([&] { return PositionOut(h) == 300; }));
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  virt::SetPlaybackBudget(-1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(PositionOut(h), 300u);  // a paused device plays nothing more
  EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
  DrainMessageQueue();
  EXPECT_EQ(w.Count(MM_WOM_DONE), 0u);
  ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 2));
  EXPECT_EQ(virt::PlayedBytes(), Pattern(1000, 4) + Pattern(500, 5));
  EXPECT_EQ(PositionOut(h), 1500u);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmPlayback, WritesWhilePausedWaitForTheRestart) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  TTestBuffer a(Pattern(100));
  Play(h, a);
  EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
  ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  EXPECT_EQ(virt::PlayedBytes(), Pattern(100));
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmPlayback, ResetReturnsEveryQueuedBufferAndRestartsThePositionAtZero) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  virt::SetPlaybackBudget(250);
  TTestBuffer a(Pattern(400, 1)), b(Pattern(400, 2)), c(Pattern(400, 3));
  Play(h, a);
  Play(h, b);
  Play(h, c);
  ASSERT_TRUE(PumpUntil([&] { return PositionOut(h) == 250; }));
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(PositionOut(h), 0u);
  for (auto* t : {&a, &b, &c}) EXPECT_EQ(t->Header.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 3));
  EXPECT_EQ(w.Notes()[1].Header, &a.Header);
  EXPECT_EQ(w.Notes()[3].Header, &c.Header);
  EXPECT_EQ(virt::PlayedBytes(), Pattern(400, 1).substr(0, 250));

  // After the reset the device plays (it is not left paused) and counts from zero.
  virt::SetPlaybackBudget(-1);
  virt::ClearPlayed();
  ASSERT_EQ(waveOutWrite(h, &b.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 4));
  EXPECT_EQ(virt::PlayedBytes(), Pattern(400, 2));
  EXPECT_EQ(PositionOut(h), 400u);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmPlayback, ALoopedBufferPlaysDwLoopsTimesAndComesBackOnce) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(Pattern(100, 1)), b(Pattern(10, 2));
  ASSERT_EQ(waveOutPrepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  a.Header.dwFlags |= WHDR_BEGINLOOP | WHDR_ENDLOOP;
  a.Header.dwLoops = 3;
  ASSERT_EQ(waveOutWrite(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  Play(h, b);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 2));
  EXPECT_EQ(w.Notes()[1].Header, &a.Header);
  EXPECT_EQ(virt::PlayedBytes(),
            Pattern(100, 1) + Pattern(100, 1) + Pattern(100, 1) + Pattern(10, 2));
  EXPECT_EQ(PositionOut(h), 310u);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmPlayback, ALoopOverSeveralBuffersReturnsThemAfterTheLastPass) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(Pattern(20, 1)), b(Pattern(30, 2));
  ASSERT_EQ(waveOutPrepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutPrepareHeader(h, &b.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);  // both queued before the loop begins
  a.Header.dwFlags |= WHDR_BEGINLOOP;
  a.Header.dwLoops = 2;
  b.Header.dwFlags |= WHDR_ENDLOOP;
  ASSERT_EQ(waveOutWrite(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(h, &b.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 2));
  EXPECT_EQ(virt::PlayedBytes(), Pattern(20, 1) + Pattern(30, 2) + Pattern(20, 1) + Pattern(30, 2));
  EXPECT_EQ(w.Notes()[1].Header, &a.Header);
  EXPECT_EQ(w.Notes()[2].Header, &b.Header);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmPlayback, ALoopWithoutItsEndPlaysOnceInsteadOfHanging) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(Pattern(40, 1));
  ASSERT_EQ(waveOutPrepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  a.Header.dwFlags |= WHDR_BEGINLOOP;
  a.Header.dwLoops = 5;
  ASSERT_EQ(waveOutWrite(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  EXPECT_EQ(virt::PlayedBytes(), Pattern(40, 1));
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmPlayback, ResetInsideALoopReturnsEveryBuffer) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  virt::SetPlaybackBudget(150);
  TTestBuffer a(Pattern(100, 1));
  ASSERT_EQ(waveOutPrepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  a.Header.dwFlags |= WHDR_BEGINLOOP | WHDR_ENDLOOP;
  a.Header.dwLoops = 1000;
  ASSERT_EQ(waveOutWrite(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_TRUE(PumpUntil([&] { return PositionOut(h) == 150; }));
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmPlayback, PlaybackAlsoGoesToTheChosenFile) {
  TWaveTestDevice dev;
  TempDir dir;
  ASSERT_TRUE(virt::SetPlaybackFile(dir.Path("out.raw")));
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(Pattern(333));
  Play(h, a);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(dir.Read("out.raw"), Pattern(333));
  EXPECT_FALSE(virt::SetPlaybackFile(dir.Path("no/such/folder/out.raw")));
}

TEST(WinmmPlayback, RealTimePacingTakesAboutAsLongAsTheSound) {
  TWaveTestDevice dev;
  virt::Config c;
  c.Pace = virt::Pacing::RealTime;
  virt::Configure(c);
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(2000);  // 250 ms at 8000 bytes a second
  auto start = std::chrono::steady_clock::now();
  Play(h, a);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  auto took = std::chrono::steady_clock::now() - start;
  // Only the lower bound is a property of the device; the upper one is the machine's.
  EXPECT_GE(took, std::chrono::milliseconds(200));
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

// --- positions ---

TEST(WinmmPosition, AnswersInTheAskedUnitOrInBytes) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w, kStereo16);
  virt::SetPlaybackBudget(17640);  // 100 ms of 44.1 kHz 16-bit stereo
  TTestBuffer a(40000);
  Play(h, a);
  ASSERT_TRUE(PumpUntil([&] { return PositionOut(h) == 17640; }));
  EXPECT_EQ(PositionOut(h, TIME_MS), 100u);
  EXPECT_EQ(PositionOut(h, TIME_SAMPLES), 4410u);
  MMTIME t{};
  t.wType = TIME_SMPTE;
  ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.wType, TIME_BYTES);
  EXPECT_EQ(t.u.cb, 17640u);
  EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t - 1), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutGetPosition(h, nullptr, sizeof t), MMSYSERR_INVALPARAM);
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

// --- volume, pitch, rate ---

TEST(WinmmVolume, TheVolumeWordScalesEachChannelOfWhatIsPlayed) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w, PcmFormat(8000, 2, 16));
  DWORD v = 0;
  ASSERT_EQ(waveOutGetVolume(h, &v), MMSYSERR_NOERROR);
  EXPECT_EQ(v, 0xFFFFFFFFu);
  ASSERT_EQ(waveOutSetVolume(h, 0x4000FFFF), MMSYSERR_NOERROR);  // right quarter, left full
  ASSERT_EQ(waveOutGetVolume(h, &v), MMSYSERR_NOERROR);
  EXPECT_EQ(v, 0x4000FFFFu);
  int16_t frames[4] = {20000, 20000, -20000, -20000};
  TTestBuffer a(std::string(reinterpret_cast<char*>(frames), sizeof frames));
  Play(h, a);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  std::string played = virt::PlayedBytes();
  ASSERT_EQ(played.size(), sizeof frames);
  int16_t out[4];
  std::memcpy(out, played.data(), sizeof out);
  EXPECT_EQ(out[0], 20000);
  EXPECT_EQ(out[1], static_cast<int16_t>(20000LL * 0x4000 / 0xFFFF));
  EXPECT_EQ(out[2], -20000);
  EXPECT_EQ(out[3], static_cast<int16_t>(-20000LL * 0x4000 / 0xFFFF));
  EXPECT_EQ(a.Data[0], reinterpret_cast<char*>(frames)[0]);  // the caller's block is untouched
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmVolume, EightBitSamplesScaleAroundTheirMiddle) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  ASSERT_EQ(waveOutSetVolume(h, 0x80008000), MMSYSERR_NOERROR);
  TTestBuffer a(std::string("\xFF\x80\x00", 3));
  Play(h, a);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  std::string p = virt::PlayedBytes();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(static_cast<unsigned char>(p[0]), 128 + 127 * 0x8000 / 0xFFFF);
  EXPECT_EQ(static_cast<unsigned char>(p[1]), 128);
  EXPECT_EQ(static_cast<unsigned char>(p[2]), 128 - 128 * 0x8000 / 0xFFFF);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmVolume, PitchAndRateNeedTheDevicesSupportAndOneSidedVolumeKeepsTheLeftWord) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  DWORD v = 0;
  EXPECT_EQ(waveOutSetPitch(h, 0x00018000), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(waveOutGetPitch(h, &v), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(waveOutGetPlaybackRate(h, &v), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(waveOutSetPlaybackRate(h, 0x00020000), MMSYSERR_NOTSUPPORTED);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);

  virt::Config c;
  c.Outputs[0].Support = WAVECAPS_PITCH | WAVECAPS_PLAYBACKRATE | WAVECAPS_VOLUME;
  virt::Configure(c);
  h = OpenOut(w);
  ASSERT_EQ(waveOutGetPitch(h, &v), MMSYSERR_NOERROR);
  EXPECT_EQ(v, 0x00010000u);
  ASSERT_EQ(waveOutSetPitch(h, 0x00018000), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutGetPitch(h, &v), MMSYSERR_NOERROR);
  EXPECT_EQ(v, 0x00018000u);
  ASSERT_EQ(waveOutSetPlaybackRate(h, 0x0000C000), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutGetPlaybackRate(h, &v), MMSYSERR_NOERROR);
  EXPECT_EQ(v, 0x0000C000u);
  ASSERT_EQ(waveOutSetVolume(h, 0x1234BFFF), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutGetVolume(h, &v), MMSYSERR_NOERROR);
  EXPECT_EQ(v, 0xBFFFBFFFu);
  EXPECT_EQ(waveOutGetVolume(h, nullptr), MMSYSERR_INVALPARAM);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);

  c.Outputs[0].Support = 0;
  virt::Configure(c);
  h = OpenOut(w);
  EXPECT_EQ(waveOutSetVolume(h, 0), MMSYSERR_NOTSUPPORTED);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

// --- injected failures ---

TEST(WinmmFailures, EachCallFailsWithTheChosenCodeAndLeavesTheDeviceAsItWas) {
  TWaveTestDevice dev;
  TNoteWindow w;
  virt::InjectFailure(WaveDir::Out, WaveCall::Open, MMSYSERR_ALLOCATED, 1);
  HWAVEOUT out = 5;
  EXPECT_EQ(waveOutOpen(&out, 0, &kMono8, w.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_ALLOCATED);
  EXPECT_EQ(out, 0u);
  DrainMessageQueue();
  EXPECT_TRUE(w.Notes().empty());  // a failed open announces nothing
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
  out = OpenOut(w);  // only once

  virt::InjectFailure(WaveDir::Out, WaveCall::Query, WAVERR_BADFORMAT, 1);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &kMono8, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &kMono8, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);

  virt::InjectFailure(WaveDir::Out, WaveCall::Caps, MMSYSERR_NODRIVER, 1);
  WAVEOUTCAPSA caps;
  EXPECT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NODRIVER);

  TTestBuffer a(Pattern(10)), b(Pattern(20));
  virt::InjectFailure(WaveDir::Out, WaveCall::Prepare, MMSYSERR_NOMEM, 1);
  EXPECT_EQ(waveOutPrepareHeader(out, &a.Header, kHdr), MMSYSERR_NOMEM);
  EXPECT_FALSE(a.Header.dwFlags & WHDR_PREPARED);
  ASSERT_EQ(waveOutPrepareHeader(out, &a.Header, kHdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutPrepareHeader(out, &b.Header, kHdr), MMSYSERR_NOERROR);

  // The second write fails, once.
  virt::InjectFailure(WaveDir::Out, WaveCall::Add, MMSYSERR_ERROR, 1, 1);
  ASSERT_EQ(waveOutPause(out), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutWrite(out, &a.Header, kHdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutWrite(out, &b.Header, kHdr), MMSYSERR_ERROR);
  EXPECT_FALSE(b.Header.dwFlags & WHDR_INQUEUE);

  virt::InjectFailure(WaveDir::Out, WaveCall::Start, MMSYSERR_ERROR, 1);
  EXPECT_EQ(waveOutRestart(out), MMSYSERR_ERROR);
  virt::InjectFailure(WaveDir::Out, WaveCall::Position, MMSYSERR_NODRIVER, 1);
  MMTIME t{};
  t.wType = TIME_BYTES;
  EXPECT_EQ(waveOutGetPosition(out, &t, sizeof t), MMSYSERR_NODRIVER);
  virt::InjectFailure(WaveDir::Out, WaveCall::Reset, MMSYSERR_ERROR, 1);
  EXPECT_EQ(waveOutReset(out), MMSYSERR_ERROR);
  EXPECT_TRUE(a.Header.dwFlags & WHDR_INQUEUE);  // a failed reset returns nothing
  ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);

  for (WaveCall c : {WaveCall::SetVolume, WaveCall::GetVolume}) {
    virt::InjectFailure(WaveDir::Out, c, MMSYSERR_NOTSUPPORTED, 1);
  }
  DWORD v = 0;
  EXPECT_EQ(waveOutSetVolume(out, 0), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(waveOutGetVolume(out, &v), MMSYSERR_NOTSUPPORTED);
  ASSERT_EQ(waveOutGetVolume(out, &v), MMSYSERR_NOERROR);
  EXPECT_EQ(v, 0xFFFFFFFFu);  // the failed set changed nothing

  virt::InjectFailure(WaveDir::Out, WaveCall::Unprepare, MMSYSERR_ERROR, 1);
  EXPECT_EQ(waveOutUnprepareHeader(out, &a.Header, kHdr), MMSYSERR_ERROR);
  EXPECT_TRUE(a.Header.dwFlags & WHDR_PREPARED);

  virt::InjectFailure(WaveDir::Out, WaveCall::Close, MMSYSERR_HANDLEBUSY, 1);
  EXPECT_EQ(waveOutClose(out), MMSYSERR_HANDLEBUSY);
  EXPECT_EQ(winmm::OpenDeviceCount(), 1);  // still open after a refused close
  ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 0);

  auto log = virt::CallLog();
  EXPECT_NE(std::find(log.begin(), log.end(), "Out Close"), log.end());
}

TEST(WinmmFailures, CaptureStartAndStopFailuresKeepTheirState) {
  TWaveTestDevice dev;
  virt::SetCaptureBytes(Pattern(100));
  TNoteWindow w;
  HWAVEIN h = OpenIn(w);
  TTestBuffer a(100);
  Queue(h, a);
  virt::InjectFailure(WaveDir::In, WaveCall::Start, MMSYSERR_NOTENABLED, 1);
  EXPECT_EQ(waveInStart(h), MMSYSERR_NOTENABLED);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 0u);  // a failed start records nothing
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 1));
  virt::InjectFailure(WaveDir::In, WaveCall::Stop, MMSYSERR_ERROR);
  EXPECT_EQ(waveInStop(h), MMSYSERR_ERROR);
  EXPECT_EQ(waveInStop(h), MMSYSERR_ERROR);  // times -1: every call
  virt::ClearFailures();
  EXPECT_EQ(waveInStop(h), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST(WinmmFailures, ALostPlaybackDeviceHandsBackItsBuffersAndRefusesMore) {
  TWaveTestDevice dev;
  virt::InjectFailure(WaveDir::Out, WaveCall::Transfer, MMSYSERR_NODRIVER, -1, 150);
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(Pattern(100, 1)), b(Pattern(100, 2)), c(Pattern(100, 3));
  // Paused while the three are queued, so the loss cannot come before the last of them.
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  Play(h, a);
  Play(h, b);
  Play(h, c);
  ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 3));
  EXPECT_EQ(w.Notes()[3].Header, &c.Header);
  EXPECT_EQ(virt::PlayedBytes(), Pattern(100, 1) + Pattern(50, 2));
  EXPECT_EQ(PositionOut(h), 150u);
  EXPECT_EQ(waveOutWrite(h, &a.Header, kHdr), MMSYSERR_NODRIVER);
  EXPECT_FALSE(a.Header.dwFlags & WHDR_INQUEUE);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);  // nothing is left out to wait for
}

TEST(WinmmFailures, ALostCaptureDeviceHandsBackWhatItRecorded) {
  TWaveTestDevice dev;
  virt::SetCaptureBytes(Pattern(1000));
  virt::InjectFailure(WaveDir::In, WaveCall::Transfer, MMSYSERR_NODRIVER, -1, 250);
  TNoteWindow w;
  HWAVEIN h = OpenIn(w);
  TTestBuffer a(200), b(200), c(200);
  Queue(h, a);
  Queue(h, b);
  Queue(h, c);
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(w.WaitCount(MM_WIM_DATA, 3));
  EXPECT_EQ(w.Notes()[2].Bytes, 50u);
  EXPECT_EQ(w.Notes()[3].Bytes, 0u);
  EXPECT_EQ(a.Bytes() + b.Bytes(), Pattern(250));
  EXPECT_EQ(waveInAddBuffer(h, &a.Header, kHdr), MMSYSERR_NODRIVER);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

// The driver's explanation goes with the failure it explains: a lost device keeps it, for
// any thread, until it closes; a failed open returns it with its code.
TEST(WinmmFailures, TheDriversExplanationIsKeptWithWhatFailed) {
  TWaveTestDevice dev;
  virt::InjectFailure(WaveDir::Out, WaveCall::Transfer, MMSYSERR_NODRIVER, -1, 0, "unplugged");
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(Pattern(100));
  Play(h, a);
  ASSERT_TRUE(w.WaitCount(MM_WOM_DONE, 1));
  EXPECT_EQ(waveOutWrite(h, &a.Header, kHdr), MMSYSERR_NODRIVER);
  std::string elsewhere;
  std::thread([&] { elsewhere = winmm::FailureReason(WaveDir::Out, h, MMSYSERR_NODRIVER); }).join();
  EXPECT_EQ(elsewhere, "unplugged");
  EXPECT_EQ(winmm::FailureReason(WaveDir::Out, h, MMSYSERR_ERROR), "");  // not that code's
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(winmm::FailureReason(WaveDir::Out, h, MMSYSERR_NODRIVER), "");  // gone with it

  virt::InjectFailure(WaveDir::In, WaveCall::Open, MMSYSERR_ALLOCATED, 1, 0, "busy elsewhere");
  HWAVEIN in = 0;
  const winmm::WaveResult refused =
      winmm::OpenWave(WaveDir::In, &in, 0, &kMono8, w.Callback(), CALLBACK_WINDOW);
  EXPECT_EQ(refused.Code, MMSYSERR_ALLOCATED);
  EXPECT_EQ(refused.Reason, "busy elsewhere");
  EXPECT_EQ(in, 0u);
  const winmm::WaveResult opened =
      winmm::OpenWave(WaveDir::In, &in, 0, &kMono8, w.Callback(), CALLBACK_WINDOW);
  EXPECT_TRUE(opened.Ok());
  EXPECT_EQ(opened.Reason, "");
  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

// A device that stops answering (its thread hangs in the sound system, deaf to any wake)
// holds no call longer than the stall limit, a fifth of a second here. A capture's reset
// waits that long for the transfer in hand, then gives the device up: its buffer comes
// back and further buffers are refused with the reason. A close goes through, leaving the
// hung thread behind (said once, unless the device was given up already); the thread ends
// when the sound system answers again.
TEST(WinmmFailures, ADeviceThatStopsAnsweringHoldsNoCallLongerThanTheStallLimit) {
  TWaveTestDevice dev;
  TSoundEnvVar stall("ZELVOR_STALL_SECONDS", "0.2");
  std::mutex m;
  std::vector<std::string> said;
  winmm::SetNoticeSink([&](const winmm::WaveNotice& n) {
    std::lock_guard lk(m);
    said.push_back(n.Text);
  });
  const struct {
    WaveDir Dir;
    bool GivenUp;  // by the reset; a playback's reset waits for nothing
    size_t Notices;
  } rows[] = {{WaveDir::In, true, 0}, {WaveDir::Out, false, 1}};
  for (const auto& row : rows) {
    const bool in = row.Dir == WaveDir::In;
    said.clear();
    TNoteWindow w;
    TTestBuffer a(Pattern(400));
    virt::SetPlaybackBudget(0);  // the playback waits for room, the capture for sound
    const uint32_t h = in ? OpenIn(w) : OpenOut(w);
    if (in) {
      Queue(h, a);
      ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    } else {
      Play(h, a);
    }
    PumpFor(20);
    virt::InjectHang(row.Dir);
    EXPECT_EQ(in ? waveInReset(h) : waveOutReset(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(w.WaitCount(in ? MM_WIM_DATA : MM_WOM_DONE, 1));
    const std::string why = winmm::FailureReason(row.Dir, h, MMSYSERR_ERROR);
    EXPECT_EQ(why.find(" stopped answering (no sound moved for 0.2 s)") != std::string::npos,
              row.GivenUp)
        << why;
    if (in) {
      EXPECT_EQ(waveInAddBuffer(h, &a.Header, kHdr), MMSYSERR_ERROR);
    }
    EXPECT_EQ((in ? waveInUnprepareHeader : waveOutUnprepareHeader)(h, &a.Header, kHdr),
              MMSYSERR_NOERROR);
    EXPECT_EQ(in ? waveInClose(h) : waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_TRUE(w.WaitCount(in ? MM_WIM_CLOSE : MM_WOM_CLOSE, 1));
    EXPECT_EQ(winmm::OpenDeviceCount(), 0);
    EXPECT_EQ(winmm::LiveDeviceThreadCount(), 1);  // the hung thread, left behind
    {
      std::lock_guard lk(m);
      ASSERT_EQ(said.size(), row.Notices) << ::testing::PrintToString(said);
      if (row.Notices) {
        EXPECT_NE(said[0].find("it was left behind"), std::string::npos) << said[0];
      }
    }
    virt::ClearFailures();  // the sound system answers again
    EXPECT_TRUE(PumpUntil([] { return winmm::LiveDeviceThreadCount() == 0; }));
    virt::SetPlaybackBudget(-1);
  }
  winmm::SetNoticeSink(nullptr);
}

// --- a program on the virtual device ---

TEST(WinmmVirtualProgram, TheEnvironmentGivesAProgramItsCaptureFilePlaybackFileAndPacing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  dir.Write("say.raw", Pattern(300));
  // The child process meets the virtual device for the first time inside the statement.
  EXPECT_EXIT(
      {
        SetEnvVar("ZELVOR_AUDIO", "virtual");
        SetEnvVar("ZELVOR_VIRTUAL_PACING", "realtime");
        SetEnvVar("ZELVOR_VIRTUAL_CAPTURE", dir.Path("say.raw").c_str());
        SetEnvVar("ZELVOR_VIRTUAL_PLAYBACK", dir.Path("heard.raw").c_str());
        int fails = 0;
        virt::Config c = virt::CurrentConfig();
        fails += c.Pace != virt::Pacing::RealTime;
        fails += c.AtEnd != virt::CaptureEnd::Silence;
        static TNoteWindow w;
        static TTestBuffer in(400);
        HWAVEIN hi = OpenIn(w);
        waveInPrepareHeader(hi, &in.Header, kHdr);
        waveInAddBuffer(hi, &in.Header, kHdr);
        waveInStart(hi);
        fails += !w.WaitCount(MM_WIM_DATA, 1);
        fails += in.Bytes() != Pattern(300) + std::string(100, '\x80');
        waveInClose(hi);
        static TTestBuffer out(Pattern(80, 5));
        HWAVEOUT ho = OpenOut(w);
        waveOutPrepareHeader(ho, &out.Header, kHdr);
        waveOutWrite(ho, &out.Header, kHdr);
        fails += !w.WaitCount(MM_WOM_DONE, 1);
        waveOutClose(ho);
        fails += dir.Read("heard.raw") != Pattern(80, 5);
        std::exit(fails);
      },
      ::testing::ExitedWithCode(0), "");
}

// Left to itself a program's virtual device keeps real time over a quiet microphone; "fast"
// is asked for explicitly (the test suite does), and its microphone hears silence as well.
TEST(WinmmVirtualProgram, KeepsRealTimeUnlessToldToRunFast) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* pacing : {"", "fast"}) {
    EXPECT_EXIT(
        {
          SetEnvVar("ZELVOR_AUDIO", "virtual");
          SetEnvVar("ZELVOR_VIRTUAL_PACING", pacing);
          const virt::Config c = virt::CurrentConfig();
          const auto expected = *pacing ? virt::Pacing::Fast : virt::Pacing::RealTime;
          std::exit((c.Pace == expected ? 0 : 1) + (c.AtEnd == virt::CaptureEnd::Silence ? 0 : 2));
        },
        ::testing::ExitedWithCode(0), "")
        << "ZELVOR_VIRTUAL_PACING=" << pacing;
  }
}

// --- leaks ---

TEST(WinmmLeaks, AThousandOpenCloseCyclesOfEachDirectionLeaveNothingBehind) {
  TWaveTestDevice dev;
  virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 0x42, n); });
  TNoteWindow w;
  TTestBuffer buf(Pattern(64));
  for (int i = 0; i < 1000; ++i) {
    HWAVEIN in = OpenIn(w);
    ASSERT_NE(in, 0u);
    Queue(in, buf);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInUnprepareHeader(in, &buf.Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    HWAVEOUT out = OpenOut(w);
    ASSERT_NE(out, 0u);
    Play(out, buf);
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutUnprepareHeader(out, &buf.Header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    if (i % 100 == 0) DrainMessageQueue();
  }
  DrainMessageQueue();
  EXPECT_EQ(w.Count(MM_WIM_OPEN), 1000u);
  EXPECT_EQ(w.Count(MM_WIM_CLOSE), 1000u);
  EXPECT_EQ(w.Count(MM_WOM_CLOSE), 1000u);
  EXPECT_EQ(w.Count(MM_WIM_DATA), 1000u);
  EXPECT_EQ(w.Count(MM_WOM_DONE), 1000u);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
  EXPECT_EQ(winmm::LiveDeviceThreadCount(), 0);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 0);
}

TEST(WinmmLeaks, ClosingForgetsHeadersLeftPrepared) {
  TWaveTestDevice dev;
  TNoteWindow w;
  HWAVEOUT h = OpenOut(w);
  TTestBuffer a(10);
  ASSERT_EQ(waveOutPrepareHeader(h, &a.Header, kHdr), MMSYSERR_NOERROR);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 1);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 0);
}

TEST(WinmmLeaks, AProgramThatEndsWithDevicesOpenExitsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetEnvVar("ZELVOR_AUDIO", "virtual");
        virt::Reset();
        virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 1, n); });
        static TNoteWindow w;
        static TTestBuffer a(100);
        static TTestBuffer b(100);
        HWAVEIN in = OpenIn(w);
        HWAVEOUT out = OpenOut(w);
        waveInPrepareHeader(in, &a.Header, kHdr);
        waveInAddBuffer(in, &a.Header, kHdr);
        waveOutPause(out);
        waveOutPrepareHeader(out, &b.Header, kHdr);
        waveOutWrite(out, &b.Header, kHdr);
        std::exit(winmm::LiveDeviceThreadCount() == 2 ? 7 : 8);
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
