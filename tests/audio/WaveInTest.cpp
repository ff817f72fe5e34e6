// The input device: buffer sizes and the recording cycle, empty and partial buffers,
// starting paused, failed starts and queues, kept blocks, formats and device queries.
#include <algorithm>
#include <set>

#include "WaveIOTestSupport.h"

using namespace wavetest;

namespace {

class WaveInTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    in.SetBufferLength(100);
    in.SetPCMFormat(Mono8Bit8000Hz);
    in.OnActivate = [&](TComponent*) { ++activations; };
    in.OnDeactivate = [&](TComponent*) { ++deactivations; };
    in.OnLevel = [&](TComponent*, int level) { levels.push_back(level); };
    in.OnBufferData = [&](TComponent*, void*, uint32_t size) { bufferSizes.push_back(size); };
  }
  void StopAndWait() {
    in.SetActive(false);
    ASSERT_TRUE(PumpUntil([&] { return deactivations > 0 && !in.GetActive(); }));
  }
  static size_t Count(const std::string& call) {
    const auto log = winmm::virt::CallLog();
    return static_cast<size_t>(std::count(log.begin(), log.end(), call));
  }

  TTestIn in;
  int activations = 0;
  int deactivations = 0;
  std::vector<int> levels;
  std::vector<uint32_t> bufferSizes;
};

}  // namespace

TEST_F(WaveInTest, RecordsEightHundredByteBuffersAtEightKilohertzAndHundredMilliseconds) {
  const std::string source = Pattern(800 * 5);
  winmm::virt::SetCaptureBytes(source);
  in.SetBufferCount(2);
  in.SetActive(true);
  EXPECT_EQ(in.CalcBufferSize(), 800u);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls == 5; }));
  EXPECT_EQ(activations, 1);
  EXPECT_EQ(in.ActiveBufferCount(), 2);  // every filled buffer went back to the device
  EXPECT_EQ(in.Recorded, source);
  EXPECT_EQ(bufferSizes, std::vector<uint32_t>(5, 800));
  EXPECT_EQ(levels.size(), 5u);
  StopAndWait();
  EXPECT_EQ(deactivations, 1);
  EXPECT_EQ(in.ActiveBufferCount(), 0);
  EXPECT_EQ(levels.back(), 0);  // the level display drops when the cycle ends
}

TEST_F(WaveInTest, SixteenBitMonoUsesBuffersOfSixteenHundredBytes) {
  in.SetPCMFormat(Mono16bit8000Hz);
  winmm::virt::SetCaptureBytes(std::string(1600 * 2, '\0'));
  in.SetActive(true);
  EXPECT_EQ(in.CalcBufferSize(), 1600u);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls == 2; }));
  EXPECT_EQ(bufferSizes, (std::vector<uint32_t>{1600, 1600}));
  StopAndWait();
}

TEST_F(WaveInTest, EmptyReturnedBuffersFireNothingAndThePartialLastBufferIsKept) {
  winmm::virt::SetCaptureBytes(Pattern(1000));  // one full buffer, then 200 bytes held
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls == 1; }));
  PumpFor(20);
  EXPECT_EQ(in.DataCalls, 1);
  StopAndWait();
  // The reset hands back the partial buffer (200 bytes) and an empty one; the empty one
  // reaches neither OnLevel, OnBufferData nor DataReady.
  EXPECT_EQ(in.DataCalls, 2);
  EXPECT_EQ(in.Recorded, Pattern(1000));
  EXPECT_EQ(bufferSizes, (std::vector<uint32_t>{800, 200}));
  EXPECT_EQ(levels.size(), 3u);  // two buffers and the drop to 0 at the close
  EXPECT_EQ(deactivations, 1);
}

TEST_F(WaveInTest, StartingPausedQueuesBuffersButRecordsOnlyAfterResume) {
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 160, n); });
  int resumes = 0;
  in.OnResume = [&](TComponent*) { ++resumes; };
  in.SetPaused(true);
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  EXPECT_EQ(in.ActiveBufferCount(), 2);
  PumpFor(30);
  EXPECT_EQ(in.DataCalls, 0);
  EXPECT_EQ(Count("In Start"), 0u);
  in.SetPaused(false);
  EXPECT_EQ(resumes, 1);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls >= 3; }));
  StopAndWait();
  EXPECT_FALSE(in.GetPaused());
}

TEST_F(WaveInTest, AFailedStartLeavesTheComponentPaused) {
  int errors = 0;
  in.OnError = [&](TComponent*) { ++errors; };
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Start, MMSYSERR_ERROR, 1);
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(in.GetPaused());
  StopAndWait();
  EXPECT_TRUE(in.GetPaused());  // the pause carries over into the next cycle
}

TEST_F(WaveInTest, AFailedStartWithoutOnErrorStillActivatesAndStaysPaused) {
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Start, MMSYSERR_ERROR, 1);
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  EXPECT_TRUE(in.GetPaused());
  EXPECT_EQ(Handled().size(), 1u);  // the device's error reached the application
  StopAndWait();
}

TEST_F(WaveInTest, PauseHandsOnThePartialBufferAndResumeGoesOn) {
  const std::string source = Pattern(800 * 3 + 300);
  winmm::virt::SetCaptureBytes(source);
  int pauses = 0;
  in.OnPause = [&](TComponent*) { ++pauses; };
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls == 3; }));
  PumpFor(20);  // the device now holds 300 bytes in the buffer being filled
  in.SetPaused(true);
  EXPECT_EQ(pauses, 1);
  ASSERT_TRUE(PumpUntil([&] { return in.Recorded.size() == source.size(); }));
  EXPECT_EQ(in.ActiveBufferCount(), 2);  // re-queued
  in.SetPaused(false);
  StopAndWait();
  EXPECT_EQ(in.Recorded, source);
}

TEST_F(WaveInTest, DataReadyKeepingItsBlockGivesTheHeaderAFreshOne) {
  winmm::virt::SetCaptureBytes(Pattern(800 * 6));
  in.KeepBlocks = true;
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls == 6; }));
  StopAndWait();
  EXPECT_EQ(in.Recorded, Pattern(800 * 6));
  // Every kept block is distinct and still holds its samples (freed by the test, once).
  std::set<void*> distinct(in.Kept.begin(), in.Kept.end());
  EXPECT_EQ(distinct.size(), 6u);
  EXPECT_EQ(std::memcmp(in.Kept[5], Pattern(800 * 6).data() + 4000, 800), 0);
}

TEST_F(WaveInTest, SteadyRecordingReusesTheSameBlocks) {
  std::set<void*> blocks;
  in.OnBufferData = [&](TComponent*, void* b, uint32_t) { blocks.insert(b); };
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 130, n); });
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls >= 40; }));
  StopAndWait();
  EXPECT_EQ(blocks.size(), 2u);
}

TEST_F(WaveInTest, AFailedQueueLeavesFewerBuffersAndTheCloseStillComes) {
  int errors = 0;
  in.OnError = [&](TComponent*) { ++errors; };
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 130, n); });
  // The first two adds (priming) succeed, the third (first re-queue) fails.
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Add, MMSYSERR_ERROR, 1, 2);
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls >= 5; }));
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(in.ActiveBufferCount(), 1);
  StopAndWait();
  EXPECT_EQ(winmm::PreparedHeaderCount(), 0);
}

TEST_F(WaveInTest, WhenEveryQueueFailsTheDeviceStaysOpenUntilClosed) {
  in.OnError = [&](TComponent*) {};
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Add, MMSYSERR_ERROR);
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  EXPECT_EQ(in.ActiveBufferCount(), 0);
  EXPECT_TRUE(in.GetActive());
  StopAndWait();  // no buffer out: closed at once
}

TEST_F(WaveInTest, ZeroBufferCountStillRecordsWithOneBuffer) {
  in.SetBufferCount(0);
  winmm::virt::SetCaptureBytes(Pattern(800 * 3));
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls == 3; }));
  EXPECT_EQ(in.ActiveBufferCount(), 1);
  StopAndWait();
  EXPECT_EQ(in.Recorded, Pattern(800 * 3));
}

TEST_F(WaveInTest, FormatIsLockedWhileTheDeviceIsOpen) {
  in.SetActive(true);
  EXPECT_NO_THROW(in.SetPCMFormat(Mono8Bit8000Hz));  // unchanged: nothing happens
  try {
    in.SetPCMFormat(Stereo16bit44100Hz);
    FAIL() << "a format change while open must raise";
  } catch (const EWaveAudioInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Audio format cannot be changed while device is open");
  }
  EXPECT_EQ(in.GetPCMFormat(), Mono8Bit8000Hz);
  StopAndWait();
  in.SetPCMFormat(Stereo16bit44100Hz);
  EXPECT_EQ(in.GetPCMFormat(), Stereo16bit44100Hz);
}

TEST_F(WaveInTest, NonePcmWithoutOnFormatFailsTheOpenCleanly) {
  in.SetPCMFormat(nonePCM);
  EXPECT_THROW(in.SetActive(true), EWaveAudioInvalidOperation);
  EXPECT_FALSE(in.GetActive());
  EXPECT_FALSE(in.GetOpening());
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
  // OnFormat supplies the record (and hands it over to be freed).
  in.OnFormat = [](TComponent*, PWaveFormatEx& f, bool& freeIt) {
    f = static_cast<PWaveFormatEx>(std::calloc(1, sizeof(WAVEFORMATEX)));
    FillPCMWaveFormatByIndex(f, Mono16bit22050Hz);
    freeIt = true;
  };
  in.SetActive(true);
  EXPECT_EQ(+in.GetWaveFormatRecord().nSamplesPerSec, 22050u);
  EXPECT_EQ(+in.GetWaveFormatRecord().cbSize, 0);
  StopAndWait();
}

TEST_F(WaveInTest, ARefusedFormatReachesTheCallerAndLeavesNothingOpen) {
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Query, WAVERR_BADFORMAT, 1);
  EXPECT_THROW(in.SetActive(true), EWaveAudioSysError);
  EXPECT_FALSE(in.GetActive());
  EXPECT_FALSE(in.GetOpening());
  EXPECT_EQ(in.GetLastError(), WAVERR_BADFORMAT);
  // A refused real open with OnError: inactive again, the channel ended.
  int errors = 0;
  in.OnError = [&](TComponent*) { ++errors; };
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Open, MMSYSERR_ALLOCATED, 1);
  EXPECT_FALSE(in.OpenDevice());
  EXPECT_EQ(errors, 1);
  EXPECT_FALSE(in.GetActive());
  EXPECT_EQ(in.GetCallbackHandle(), 0u);
  // And the next open works.
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  StopAndWait();
}

TEST_F(WaveInTest, AFailedResetIsSwallowedAndTheComponentStaysActive) {
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Reset, MMSYSERR_ERROR, 1);
  EXPECT_FALSE(in.CloseDevice());  // no OnError: the input device swallows the error
  EXPECT_FALSE(in.GetClosing());
  EXPECT_TRUE(in.GetActive());
  StopAndWait();
}

TEST_F(WaveInTest, DeviceQueries) {
  EXPECT_EQ(in.GetNumDevs(), 1u);
  EXPECT_EQ(in.DeviceName(), "Virtual Wave In");
  EXPECT_EQ(in.ValidateDeviceID(0), 0u);
  EXPECT_NE(in.ValidateDeviceID(7), 0u);
  EXPECT_EQ(in.GetPosition(), 0u);  // no device open

  TPCMFormats all = in.GetDeviceFormats();  // the default device has all twelve bits
  for (int f = 1; f <= 16; ++f) EXPECT_TRUE(all.Contains(static_cast<TPCMFormat>(f))) << f;
  for (int f = 17; f <= 20; ++f) EXPECT_FALSE(all.Contains(static_cast<TPCMFormat>(f))) << f;

  auto config = winmm::virt::CurrentConfig();
  config.Inputs[0].Formats = WAVE_FORMAT_2M16;
  winmm::virt::Configure(config);
  TPCMFormats few = in.GetDeviceFormats();
  TPCMFormats expected;
  for (TPCMFormat f :
       {Mono8Bit8000Hz, Stereo8bit8000Hz, Mono16bit8000Hz, Stereo16bit8000Hz, Mono16bit22050Hz})
    expected.Include(f);
  EXPECT_EQ(few, expected);

  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Caps, MMSYSERR_NODRIVER);
  EXPECT_TRUE(in.GetDeviceFormats().Empty());
  EXPECT_EQ(in.DeviceName(), "");
}

TEST_F(WaveInTest, PositionCountsWhatWasRecorded) {
  winmm::virt::SetCaptureBytes(Pattern(800 * 4));  // 400 ms
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls == 4; }));
  EXPECT_EQ(in.GetPosition(), 400u);
  StopAndWait();
}

TEST_F(WaveInTest, AddBufferQueuesACallersBlock) {
  static char block[400];
  winmm::virt::SetCaptureBytes(Pattern(800 * 2 + 400));
  std::set<void*> seen;
  in.OnBufferData = [&](TComponent*, void* b, uint32_t) { seen.insert(b); };
  in.SetPaused(true);
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  ASSERT_TRUE(in.AddBuffer(block, sizeof(block), false));
  EXPECT_EQ(in.ActiveBufferCount(), 3);
  in.SetPaused(false);
  ASSERT_TRUE(PumpUntil([&] { return in.Recorded.size() == 2000; }));
  EXPECT_TRUE(seen.count(block) == 1);
  EXPECT_EQ(std::string(block, 400), Pattern(2000).substr(1600));
  StopAndWait();
  // A block handed over with FreeIt is the component's to free (ASan checks it).
  in.SetActive(true);
  void* owned = std::malloc(100);
  EXPECT_TRUE(in.AddBuffer(owned, 100, true));
  StopAndWait();
}

TEST_F(WaveInTest, StoppingBeforeTheOpenedNotificationDoesNotPauseTheNextCycle) {
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 150, n); });
  in.SetActive(true);
  in.SetActive(false);  // the opened notification is still queued
  ASSERT_TRUE(PumpUntil([&] { return deactivations == 1; }));
  EXPECT_TRUE(Handled().empty());  // no start was tried on the closing device
  EXPECT_FALSE(in.GetPaused());
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.DataCalls >= 2; }));
  StopAndWait();
}

TEST_F(WaveInTest, ALostDeviceStopsTheDataAndStopStillCloses) {
  int errors = 0;
  in.OnError = [&](TComponent*) { ++errors; };
  winmm::virt::SetCaptureSignal([](uint64_t, char* d, size_t n) { std::memset(d, 150, n); });
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Transfer, MMSYSERR_NODRIVER, -1,
                             2000);
  in.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return in.ActiveBufferCount() == 0; }));
  EXPECT_GE(errors, 1);
  EXPECT_TRUE(in.GetActive());
  StopAndWait();
  EXPECT_LE(in.Recorded.size(), 2000u);
}
