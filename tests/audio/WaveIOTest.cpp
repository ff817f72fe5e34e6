// The common engine: properties, the buffer pool, errors, time conversion, the protocol's
// guards, the notification channel in both modes, and destruction of an active component.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "WaveIOTestSupport.h"

using namespace wavetest;

namespace {

class WaveIOTest : public DeviceTest {};

}  // namespace

TEST_F(WaveIOTest, StartsWithTheDocumentedDefaults) {
  TTestIn in;
  EXPECT_EQ(in.GetDeviceID(), WAVE_MAPPER);
  EXPECT_EQ(in.GetBufferLength(), 1000);
  EXPECT_EQ(in.GetBufferCount(), 2);
  EXPECT_FALSE(in.GetAsync());
  EXPECT_FALSE(in.GetActive());
  EXPECT_FALSE(in.GetPaused());
  EXPECT_EQ(in.GetLastError(), 0u);
  EXPECT_EQ(in.GetCallbackHandle(), 0u);
  EXPECT_EQ(in.GetThreadHandle(), nullptr);
  EXPECT_EQ(in.GetPCMFormat(), Mono16bit8000Hz);
  EXPECT_EQ(in.ActiveBufferCount(), 0);
}

TEST_F(WaveIOTest, BufferLengthBelowTenIsStoredAsTenAndCountIsStoredUnchecked) {
  TTestIn in;
  in.SetBufferLength(0);
  EXPECT_EQ(in.GetBufferLength(), 10);
  in.SetBufferLength(5);
  EXPECT_EQ(in.GetBufferLength(), 10);
  in.SetBufferLength(10);
  EXPECT_EQ(in.GetBufferLength(), 10);
  in.SetBufferLength(100);
  EXPECT_EQ(in.GetBufferLength(), 100);
  in.SetBufferCount(0);
  EXPECT_EQ(in.GetBufferCount(), 0);
}

TEST_F(WaveIOTest, MillisecondsFromEveryTimeFormat) {
  TTestIn in;
  WAVEFORMATEX f{};
  FillPCMWaveFormatByIndex(&f, Mono8Bit8000Hz);
  in.SetFormatRecord(f);
  MMTIME t{};
  t.wType = TIME_MS;
  t.u.ms = 1234;
  EXPECT_EQ(in.MMTimeToMs(t), 1234u);
  t.wType = TIME_SAMPLES;
  t.u.sample = 4000;
  EXPECT_EQ(in.MMTimeToMs(t), 500u);
  t.wType = TIME_BYTES;
  t.u.cb = 12;  // 1.5 ms: rounds half away from zero
  EXPECT_EQ(in.MMTimeToMs(t), 2u);
  t.u.cb = 4000000000u;  // beyond the signed range, no overflow
  EXPECT_EQ(in.MMTimeToMs(t), 500000000u);
  t.wType = TIME_SMPTE;
  t.u.smpte.hour = 1;
  t.u.smpte.min = 2;
  t.u.smpte.sec = 3;
  t.u.smpte.frame = 29;
  EXPECT_EQ(in.MMTimeToMs(t), 3723000u);
  t.wType = TIME_MIDI;
  EXPECT_EQ(in.MMTimeToMs(t), 0u);

  in.SetFormatRecord(WAVEFORMATEX{});  // no rates: nothing to divide by
  t.wType = TIME_BYTES;
  t.u.cb = 8000;
  EXPECT_EQ(in.MMTimeToMs(t), 0u);
  t.wType = TIME_SAMPLES;
  EXPECT_EQ(in.MMTimeToMs(t), 0u);
}

TEST_F(WaveIOTest, ReallocateBufferAllocatesResizesAndReleasesOwnedBlocks) {
  TTestIn in;
  PWAVEHDR h = nullptr;
  EXPECT_TRUE(in.ReallocateBuffer(h, 0, nullptr));  // nothing to release
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(in.ActiveBufferCount(), 0);

  ASSERT_TRUE(in.ReallocateBuffer(h, 16, nullptr));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(in.ActiveBufferCount(), 1);
  EXPECT_EQ(h->dwBufferLength, 16u);
  EXPECT_EQ(h->dwUser, reinterpret_cast<DWORD_PTR>(&in));
  std::memcpy(h->lpData, "0123456789abcdef", 16);
  h->dwFlags = WHDR_PREPARED | WHDR_DONE;
  h->dwBytesRecorded = 9;

  // Growing keeps the leading contents and zeroes the rest of the header.
  PWAVEHDR same = h;
  ASSERT_TRUE(in.ReallocateBuffer(h, 64, nullptr));
  EXPECT_EQ(h, same);
  EXPECT_EQ(std::string(h->lpData, 16), "0123456789abcdef");
  EXPECT_EQ(h->dwFlags, 0u);
  EXPECT_EQ(h->dwBytesRecorded, 0u);
  EXPECT_EQ(h->dwBufferLength, 64u);
  EXPECT_EQ(in.ActiveBufferCount(), 1);

  // The same size keeps the very same block: a returning buffer costs no allocation.
  char* block = h->lpData;
  ASSERT_TRUE(in.ReallocateBuffer(h, 64, nullptr));
  EXPECT_EQ(h->lpData, block);

  ASSERT_TRUE(in.ReallocateBuffer(h, 0, nullptr));
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(in.ActiveBufferCount(), 0);
}

TEST_F(WaveIOTest, ReallocateBufferNeverFreesACallersBlock) {
  TTestIn in;
  char caller[32] = "caller's block";
  PWAVEHDR h = nullptr;
  ASSERT_TRUE(in.ReallocateBuffer(h, 40, nullptr));  // the component's own block first
  // Re-pointing at a caller's block frees the component's block (ASan reports a leak
  // otherwise) and leaves the header unmarked.
  ASSERT_TRUE(in.ReallocateBuffer(h, sizeof(caller), caller));
  EXPECT_EQ(h->lpData, caller);
  EXPECT_EQ(h->dwUser, 0u);
  EXPECT_EQ(h->dwBufferLength, sizeof(caller));
  // Going back to an own block forgets the caller's block without touching it.
  ASSERT_TRUE(in.ReallocateBuffer(h, 8, nullptr));
  EXPECT_NE(h->lpData, caller);
  EXPECT_EQ(h->dwUser, reinterpret_cast<DWORD_PTR>(&in));
  EXPECT_STREQ(caller, "caller's block");
  ASSERT_TRUE(in.ReallocateBuffer(h, sizeof(caller), caller));
  // Releasing a header over a caller's block (a stack array here) must not free it.
  ASSERT_TRUE(in.ReallocateBuffer(h, 0, nullptr));
  EXPECT_STREQ(caller, "caller's block");
}

TEST_F(WaveIOTest, SuccessReportsThroughOnErrorOrRaisesWithTheDevicesText) {
  TTestIn in;
  EXPECT_TRUE(in.Success(MMSYSERR_NOERROR));
  EXPECT_EQ(in.GetLastError(), 0u);

  try {
    in.Success(MMSYSERR_INVALHANDLE);
    FAIL() << "no exception without OnError";
  } catch (const EWaveAudioSysError& e) {
    EXPECT_EQ(in.GetLastError(), MMSYSERR_INVALHANDLE);
    EXPECT_FALSE(in.LastErrorText().empty());
    EXPECT_EQ(std::string(e.what()), in.LastErrorText());
  }

  int errors = 0;
  MMRESULT seen = 0;
  in.OnError = [&](TComponent* sender) {
    ++errors;
    seen = static_cast<TWaveAudioIO*>(sender)->GetLastError();
  };
  EXPECT_FALSE(in.Success(MMSYSERR_NOMEM));
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(seen, MMSYSERR_NOMEM);
  // A code the device has no words for still gives a text that says what failed.
  EXPECT_FALSE(in.Success(12345));
  EXPECT_EQ(in.LastErrorText(), "The sound device reported error 12345");
}

TEST_F(WaveIOTest, LevelIsOnlyMeasuredForPcm) {
  TTestIn in;
  std::vector<int> levels;
  in.OnLevel = [&](TComponent*, int level) { levels.push_back(level); };
  const unsigned char loud[4] = {128, 255, 128, 128};
  WAVEFORMATEX f{};
  FillPCMWaveFormatByIndex(&f, Mono8Bit8000Hz);
  in.SetFormatRecord(f);
  in.CallDoLevel(loud, 4);
  in.CallDoLevel(nullptr, 0);
  f.wFormatTag = 3;  // not PCM
  in.SetFormatRecord(f);
  in.CallDoLevel(loud, 4);
  EXPECT_EQ(levels, (std::vector<int>{100, 0}));
}

TEST_F(WaveIOTest, PcmFormatSupportAsksTheDeviceAndRefusesNonePcm) {
  TTestIn in;
  EXPECT_TRUE(in.IsPCMFormatSupported(Mono8Bit8000Hz));
  EXPECT_FALSE(in.IsPCMFormatSupported(nonePCM));
  EXPECT_FALSE(in.IsPCMFormatSupported(static_cast<TPCMFormat>(21)));
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Query, WAVERR_BADFORMAT);
  EXPECT_FALSE(in.IsPCMFormatSupported(Mono8Bit8000Hz));
}

TEST_F(WaveIOTest, OpenAndCloseGuardsFollowTheState) {
  TTestIn in;
  EXPECT_NO_THROW(in.SetActive(false));  // inactive: nothing happens
  try {
    in.CloseDevice();
    FAIL() << "closing a closed device must raise";
  } catch (const EWaveAudioInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Device is aleardy close");
  }
  int activations = 0;
  in.OnActivate = [&](TComponent*) { ++activations; };
  in.SetActive(true);
  ASSERT_TRUE(in.GetActive());
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  EXPECT_NO_THROW(in.SetActive(true));  // active: nothing happens
  try {
    in.OpenDevice();
    FAIL() << "opening an open device must raise";
  } catch (const EWaveAudioInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Device is aleardy open");
  }
  ASSERT_TRUE(in.CloseDevice());
  EXPECT_TRUE(in.GetClosing());
  EXPECT_FALSE(in.CloseDevice());  // a close is already pending: nothing changes
  EXPECT_TRUE(in.GetClosing());
  ASSERT_TRUE(PumpUntil([&] { return !in.GetActive(); }));
  EXPECT_FALSE(in.GetClosing());
  EXPECT_EQ(activations, 1);
}

TEST_F(WaveIOTest, AsyncIsOnlyChangedWhileInactive) {
  TTestIn in;
  in.SetActive(true);
  in.SetAsync(true);
  EXPECT_FALSE(in.GetAsync());
  EXPECT_EQ(in.GetCallbackType(), CALLBACK_WINDOW);
  in.SetActive(false);
  ASSERT_TRUE(PumpUntil([&] { return !in.GetActive(); }));
  in.SetAsync(true);
  EXPECT_TRUE(in.GetAsync());
  in.SetActive(true);
  EXPECT_EQ(in.GetCallbackType(), CALLBACK_THREAD);
  EXPECT_NE(in.GetThreadHandle(), nullptr);
  in.SetActive(false);
  in.WaitForClosing();
  EXPECT_FALSE(in.GetActive());
}

TEST_F(WaveIOTest, OpenRightAfterACloseWithBuffersOutWaitsForTheClosedNotification) {
  TTestIn in;
  in.SetPCMFormat(Mono8Bit8000Hz);
  in.SetBufferLength(100);
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 140, n); });
  std::vector<std::string> events;
  in.OnActivate = [&](TComponent*) { events.push_back("activate"); };
  in.OnDeactivate = [&](TComponent*) { events.push_back("deactivate"); };
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls >= 3; }));
  in.SetActive(false);
  ASSERT_TRUE(in.GetClosing());
  ASSERT_GT(in.ActiveBufferCount(), 0);  // the reset buffers are still on their way back
  EXPECT_TRUE(in.OpenDevice());          // waits for the close, then opens anew
  EXPECT_TRUE(in.GetActive());
  EXPECT_FALSE(in.GetClosing());
  ASSERT_TRUE(PumpUntil([&] { return events.size() == 3; }));
  EXPECT_EQ(events, (std::vector<std::string>{"activate", "deactivate", "activate"}));
  in.SetActive(false);
  ASSERT_TRUE(PumpUntil([&] { return !in.GetActive(); }));
}

TEST_F(WaveIOTest, PausingAnInactiveComponentOnlySetsTheFlagForTheNextCycle) {
  TTestIn in;
  int pauses = 0;
  in.OnPause = [&](TComponent*) { ++pauses; };
  in.SetPaused(true);
  in.SetPaused(true);
  EXPECT_EQ(pauses, 1);
  EXPECT_TRUE(in.GetPaused());
  EXPECT_TRUE(winmm::virt::CallLog().empty());  // no device call
}

TEST_F(WaveIOTest, DestroyingAnActiveComponentClosesItSilently) {
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 200, n); });
  int deactivations = 0;
  int levelsAfterDestroy = 0;
  bool destroying = false;
  {
    TTestIn in;
    in.SetBufferLength(100);
    in.OnDeactivate = [&](TComponent*) { ++deactivations; };
    in.OnLevel = [&](TComponent*, int) {
      if (destroying) ++levelsAfterDestroy;
    };
    in.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return in.DataCalls >= 2; }));
    destroying = true;
  }
  EXPECT_EQ(deactivations, 0);
  EXPECT_EQ(levelsAfterDestroy, 0);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
}

TEST_F(WaveIOTest, DestroyingAComponentWhoseCloseIsPendingWaitsForIt) {
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 200, n); });
  {
    TTestIn in;
    in.SetBufferLength(100);
    in.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return in.DataCalls >= 1; }));
    in.SetActive(false);
    ASSERT_TRUE(in.GetClosing());
  }
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
}

TEST_F(WaveIOTest, ChannelIgnoresForeignMessagesAndDoesNothingWithoutAHandle) {
  TTestIn in;
  EXPECT_FALSE(in.ProcessWaveMessage(WM_USER + 1, 0));
  EXPECT_FALSE(in.ProcessWaveMessage(WM_QUIT, 0));
  TMessage m{WM_USER + 1, 0, 0, 77};
  in.CallbackWndProc(m);
  EXPECT_EQ(m.Result, 0);  // answered by the default window procedure
  EXPECT_NO_THROW(in.DestroyCallback());
  in.PostWaveMessage(MM_WOM_DONE, 0);
  MSG msg;
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_NO_THROW(in.WaitForClosing());
  EXPECT_NO_THROW(in.WaitForOpening());
}

TEST_F(WaveIOTest, AHandlerThatRaisesReachesTheApplicationAndTheChannelGoesOn) {
  TTestIn in;
  in.SetPCMFormat(Mono8Bit8000Hz);
  in.SetBufferLength(100);
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 150, n); });
  in.OnDataReady = [&] {
    if (in.DataCalls == 2) throw EWaveAudioError("disk is full");
  };
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls >= 6; }));
  ASSERT_EQ(Handled(), (std::vector<std::string>{"disk is full"}));
  // The lock was released: another thread can take it.
  std::atomic<bool> locked{false};
  std::thread other([&] {
    in.Lock();
    locked = true;
    in.Unlock();
  });
  other.join();
  EXPECT_TRUE(locked);
  in.SetActive(false);
  ASSERT_TRUE(PumpUntil([&] { return !in.GetActive(); }));
}

TEST_F(WaveIOTest, AsyncModeDeliversOnTheWorkerAndClearsTheThreadHandleAfterItsLoop) {
  TTestIn in;
  in.SetAsync(true);
  in.SetPCMFormat(Mono8Bit8000Hz);
  in.SetBufferLength(100);
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 150, n); });
  const auto main = std::this_thread::get_id();
  std::atomic<int> onMain{0}, onWorker{0};
  std::atomic<bool> deactivated{false};
  std::atomic<DWORD_PTR> callbackAtDeactivate{1};
  auto where = [&] { (std::this_thread::get_id() == main ? onMain : onWorker)++; };
  in.OnActivate = [&](TComponent*) { where(); };
  in.OnLevel = [&](TComponent*, int) { where(); };
  in.OnDeactivate = [&](TComponent*) {
    where();
    callbackAtDeactivate = in.GetCallbackHandle();
    deactivated = true;
  };
  in.SetActive(true);
  ASSERT_NE(in.GetThreadHandle(), nullptr);
  // Nothing needs to be pumped here: the worker runs the handlers.
  // The worker counts under the component's lock; so does this look.
  auto calls = [&] {
    in.Lock();
    const int n = in.DataCalls;
    in.Unlock();
    return n;
  };
  for (int i = 0; i < 500 && calls() < 3; ++i) Sleep(2);
  EXPECT_GE(calls(), 3);
  in.SetActive(false);
  for (int i = 0; i < 1000 && !deactivated; ++i) Sleep(2);
  ASSERT_TRUE(deactivated);
  EXPECT_EQ(callbackAtDeactivate, 0u);   // the channel ended before OnDeactivate
  EXPECT_NO_THROW(in.WaitForClosing());  // returns at once: no close is pending
  for (int i = 0; i < 1000 && in.GetThreadHandle() != nullptr; ++i) Sleep(2);
  EXPECT_EQ(in.GetThreadHandle(), nullptr);
  EXPECT_EQ(onMain, 0);
  EXPECT_GT(onWorker, 3);
}

TEST_F(WaveIOTest, ARefusedCloseLeavesTheComponentActiveAndStoppableAgain) {
  TTestIn in;
  in.SetBufferLength(100);
  int errors = 0, deactivations = 0;
  in.OnError = [&](TComponent*) { ++errors; };
  in.OnDeactivate = [&](TComponent*) { ++deactivations; };
  winmm::virt::SetCaptureBytes("");  // buffers stay empty at the device
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.ActiveBufferCount() == 2; }));
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Close, MMSYSERR_ERROR, 1);
  in.SetActive(false);
  // The close comes from the last returned buffer and is refused.
  ASSERT_TRUE(PumpUntil([&] { return errors == 1; }));
  EXPECT_TRUE(in.GetActive());
  EXPECT_FALSE(in.GetClosing());
  // A new open does not wait for a closed notification that never comes.
  EXPECT_THROW(in.OpenDevice(), EWaveAudioInvalidOperation);
  in.SetActive(false);
  ASSERT_TRUE(PumpUntil([&] { return deactivations == 1; }));
  EXPECT_FALSE(in.GetActive());
  EXPECT_EQ(errors, 1);
}

TEST_F(WaveIOTest, ACloseFromInsideTheOpenIsRefusedInsteadOfWaitingForever) {
  TTestIn in;
  in.SetPCMFormat(nonePCM);
  bool closeResult = true;
  WAVEFORMATEX format{};
  FillPCMWaveFormatByIndex(&format, Mono8Bit8000Hz);
  in.OnFormat = [&](TComponent*, PWaveFormatEx& f, bool& freeIt) {
    closeResult = in.CloseDevice();
    f = &format;
    freeIt = false;
  };
  in.SetActive(true);
  EXPECT_FALSE(closeResult);
  EXPECT_TRUE(in.GetActive());
  EXPECT_EQ(+in.GetWaveFormatRecord().nSamplesPerSec, 8000u);
  in.SetActive(false);
  ASSERT_TRUE(PumpUntil([&] { return !in.GetActive(); }));
}

TEST_F(WaveIOTest, ProcessWaveMessageHandlesEveryDeviceNotification) {
  // A recorder driven by hand: the six codes reach their handlers and report True.
  class TCounting : public TTestIn {
   public:
    std::vector<UINT> Seen;

   protected:
    void WimOpen() override { Seen.push_back(MM_WIM_OPEN); }
    void WimClose() override { Seen.push_back(MM_WIM_CLOSE); }
    void WimData(PWAVEHDR) override { Seen.push_back(MM_WIM_DATA); }
    void WomOpen() override { Seen.push_back(MM_WOM_OPEN); }
    void WomClose() override { Seen.push_back(MM_WOM_CLOSE); }
    void WomDone(PWAVEHDR) override { Seen.push_back(MM_WOM_DONE); }
  } c;
  const std::vector<UINT> codes{MM_WOM_OPEN, MM_WOM_CLOSE, MM_WOM_DONE,
                                MM_WIM_OPEN, MM_WIM_CLOSE, MM_WIM_DATA};
  for (UINT code : codes) EXPECT_TRUE(c.ProcessWaveMessage(code, 0));
  EXPECT_EQ(c.Seen, codes);
}

TEST_F(WaveIOTest, WaitForClosingReturnsOnlyAfterTheClosedNotificationHasRun) {
  TTestIn in;
  in.SetBufferLength(100);
  winmm::virt::SetCaptureBytes("");  // both buffers stay at the device
  int deactivations = 0;
  in.OnDeactivate = [&](TComponent*) { ++deactivations; };
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.ActiveBufferCount() == 2; }));
  ASSERT_TRUE(in.CloseDevice());
  ASSERT_TRUE(in.GetActive());
  in.WaitForClosing();
  EXPECT_FALSE(in.GetActive());
  EXPECT_EQ(deactivations, 1);
  EXPECT_EQ(in.ActiveBufferCount(), 0);
}

// The package tester plays one sound after another; starting the next cycle from the
// previous cycle's OnDeactivate must work in both channel modes.
class WaveIOChainTest : public DeviceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WaveIOChainTest, ANewCycleCanStartFromOnDeactivate) {
  TTestOut out;
  out.SetAsync(GetParam());
  out.SetBufferLength(10);
  out.Data = Pattern(500);
  std::atomic<int> cycles{0};
  out.OnDeactivate = [&](TComponent*) {
    if (++cycles < 5) {
      out.Offset = 0;
      out.SetActive(true);
    }
  };
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return cycles == 5; }));
  out.WaitForClosing();
  EXPECT_FALSE(out.GetActive());
  EXPECT_EQ(winmm::virt::PlayedBytes().size(), 5u * 500);
}

INSTANTIATE_TEST_SUITE_P(BothChannels, WaveIOChainTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Async" : "Window"; });

TEST_F(WaveIOTest, AnOpenFromInsideAHandlerWhileClosingFailsInsteadOfWaitingForever) {
  TTestIn in;
  in.SetBufferLength(100);
  in.SetPCMFormat(Mono8Bit8000Hz);
  winmm::virt::SetCaptureBytes(Pattern(1000));  // the second buffer holds 200 bytes
  int deactivations = 0;
  bool raised = false;
  in.OnDeactivate = [&](TComponent*) { ++deactivations; };
  in.OnDataReady = [&] {
    if (!in.GetClosing()) return;
    try {
      in.OpenDevice();  // the close cannot finish while this handler runs
    } catch (const EWaveAudioInvalidOperation&) {
      raised = true;
    }
  };
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls == 1; }));
  PumpFor(20);
  in.SetActive(false);
  ASSERT_TRUE(PumpUntil([&] { return deactivations == 1; }));
  EXPECT_TRUE(raised);
  EXPECT_FALSE(in.GetActive());
}

TEST_F(WaveIOTest, DestroyingAnActiveAsyncComponentJoinsItsWorker) {
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 200, n); });
  const int handlesBefore = OpenHandleCount();
  std::atomic<int> deactivations{0};
  {
    TTestIn in;
    in.SetAsync(true);
    in.SetBufferLength(10);
    in.OnDeactivate = [&](TComponent*) { ++deactivations; };
    in.SetActive(true);
    for (int i = 0; i < 1000; ++i) {
      in.Lock();
      const bool some = in.DataCalls >= 3;
      in.Unlock();
      if (some) break;
      Sleep(1);
    }
  }
  EXPECT_EQ(deactivations, 0);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
  EXPECT_EQ(OpenHandleCount(), handlesBefore);  // the worker's handle was closed
}

// A stop followed at once by a new open in Async mode, while the waiting thread keeps
// receiving messages as a user-interface thread does: every open waits for the closed
// notification and never finds the component half closed ("Device is aleardy open").
TEST_F(WaveIOTest, AnAsyncOpenRightAfterAStopWaitsForTheCloseEveryTime) {
  struct TBusyQueue {  // posts to this thread's queue until it goes
    std::atomic<bool> Stop{false};
    std::thread Poster;
    explicit TBusyQueue(DWORD thread)
        : Poster([this, thread] {
            while (!Stop) {
              PostThreadMessage(thread, WM_USER, 0, 0);
              std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
          }) {}
    ~TBusyQueue() {
      Stop = true;
      Poster.join();
      DrainMessageQueue();
    }
  };
  TTestIn in;
  in.SetAsync(true);
  in.SetBufferLength(10);
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 140, n); });
  std::atomic<int> deactivations{0};
  in.OnDeactivate = [&](TComponent*) { ++deactivations; };
  constexpr int kRestarts = 3000;
  std::vector<std::string> refusals;
  {
    TBusyQueue busy(GetCurrentThreadId());
    in.SetActive(true);
    for (int i = 0; i < kRestarts; ++i) {
      try {
        in.SetActive(false);
        if (!in.OpenDevice()) refusals.push_back("refused");
      } catch (const EWaveAudioError& e) {
        refusals.push_back(e.what());
        if (!in.GetActive()) in.SetActive(true);
      }
    }
  }
  EXPECT_TRUE(refusals.empty()) << refusals.size() << " times, first: " << refusals.front();
  in.SetActive(false);
  in.WaitForClosing();
  EXPECT_FALSE(in.GetActive());
  EXPECT_EQ(deactivations, kRestarts + 1);
}

// The driver's explanation travels with the failure into the one text the window and the
// CLI show: for an open that fails (the format query or the open itself) and for a device
// lost mid-stream, in both directions.
TEST_F(WaveIOTest, AFailureCarriesTheDriversReasonIntoTheTextEveryFrontEndShows) {
  using winmm::WaveCall;
  using winmm::WaveDir;
  const std::string why = "ALSA: Unknown PCM default";
  const std::string text = "No sound device is available (" + why + ")";
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 140, n); });
  const struct {
    WaveDir Dir;
    WaveCall Call;
  } failures[] = {{WaveDir::In, WaveCall::Query},    {WaveDir::In, WaveCall::Open},
                  {WaveDir::In, WaveCall::Transfer}, {WaveDir::Out, WaveCall::Query},
                  {WaveDir::Out, WaveCall::Open},    {WaveDir::Out, WaveCall::Transfer}};
  for (const auto& f : failures) {
    SCOPED_TRACE(std::string(f.Dir == WaveDir::In ? "In " : "Out ") + winmm::WaveCallName(f.Call));
    winmm::virt::ClearFailures();
    winmm::virt::InjectFailure(f.Dir, f.Call, MMSYSERR_NODRIVER, -1, 0, why);
    TTestIn in;
    TTestOut out;
    out.Data = Pattern(8000);
    TWaveAudioIO& io = f.Dir == WaveDir::In ? static_cast<TWaveAudioIO&>(in) : out;
    io.SetBufferLength(100);        // ten buffers of data: some are still to come when it is lost
    std::vector<std::string> seen;  // text, then reason, as the handler reads them
    io.OnError = [&](TComponent*) {
      seen.push_back(io.LastErrorText());
      seen.push_back(io.GetLastErrorReason());
    };
    // A lost device opens first and fails with its first buffers.
    EXPECT_EQ(io.OpenDevice(), f.Call == WaveCall::Transfer);
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen[0], text);
    EXPECT_EQ(seen[1], why);
    if (io.GetActive() && !io.GetClosing()) io.SetActive(false);
    ASSERT_TRUE(PumpUntil([&] { return !io.GetActive(); }));
  }
  // Without OnError the same text is the message of the error raised.
  winmm::virt::ClearFailures();
  winmm::virt::InjectFailure(WaveDir::In, WaveCall::Query, MMSYSERR_NODRIVER, -1, 0, why);
  TTestIn in;
  try {
    in.OpenDevice();
    FAIL() << "a refused format must raise without OnError";
  } catch (const EWaveAudioSysError& e) {
    EXPECT_EQ(std::string(e.what()), text);
  }
}
