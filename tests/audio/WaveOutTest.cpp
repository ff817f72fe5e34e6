// The output device: the refill chain and its drain, short and empty sources, loops,
// silence blocks, seeking, lowering the queue, failed writes and sources, and the volume,
// pitch and rate words.
#include <algorithm>
#include <set>

#include "WaveIOTestSupport.h"

using namespace wavetest;

namespace {

// Notes the flags of every buffer it hands to the device.
class TFlagOut : public TTestOut {
 public:
  using TTestOut::TTestOut;
  std::vector<std::pair<DWORD, DWORD>> Written;  // dwFlags, dwLoops

 protected:
  bool WriteBuffer(PWAVEHDR Header) override {
    Written.emplace_back(Header->dwFlags & (WHDR_BEGINLOOP | WHDR_ENDLOOP), Header->dwLoops);
    return TTestOut::WriteBuffer(Header);
  }
};

class WaveOutTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    out.SetBufferLength(100);
    out.OnActivate = [&](TComponent*) { ++activations; };
    out.OnDeactivate = [&](TComponent*) { ++deactivations; };
    out.OnBufferData = [&](TComponent*, void*, uint32_t size) { written.push_back(size); };
  }
  bool WaitDeactivated() {
    return PumpUntil([&] { return deactivations > 0 && !out.GetActive(); });
  }
  static size_t Count(const std::string& call) {
    const auto log = winmm::virt::CallLog();
    return static_cast<size_t>(std::count(log.begin(), log.end(), call));
  }
  DWORD DeviceWord(MMRESULT (*get)(HWAVEOUT, DWORD*)) {
    DWORD v = 0;
    EXPECT_EQ(get(out.GetDeviceHandle(), &v), 0u);
    return v;
  }
  void ParkDevice() { winmm::virt::SetPlaybackBudget(0); }

  TFlagOut out;
  int activations = 0;
  int deactivations = 0;
  std::vector<uint32_t> written;
};

}  // namespace

TEST_F(WaveOutTest, PlaysTheWholeSourceAndClosesByItselfAfterAShortLastBuffer) {
  out.Data = Pattern(2000);
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(activations, 1);
  EXPECT_EQ(deactivations, 1);
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);
  EXPECT_EQ(written, (std::vector<uint32_t>{800, 800, 400}));
  EXPECT_EQ(out.ActiveBufferCount(), 0);
  EXPECT_FALSE(out.GetClosing());
}

TEST_F(WaveOutTest, SixteenBitMonoPlaysBuffersOfSixteenHundredBytes) {
  FillPCMWaveFormatByIndex(&out.Format, Mono16bit8000Hz);
  out.Data = Pattern(3200);
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(written, (std::vector<uint32_t>{1600, 1600}));
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);
}

TEST_F(WaveOutTest, ASourceThatIsEmptyAtOnceOpensAndClosesWithoutPlaying) {
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(activations, 1);
  EXPECT_EQ(out.Requests, 1);
  EXPECT_TRUE(written.empty());
  EXPECT_TRUE(winmm::virt::PlayedBytes().empty());
}

TEST_F(WaveOutTest, AShortSourcePlaysItsPartialBufferOnly) {
  out.Data = Pattern(1000);
  out.Chunk = 300;  // the source answers with less than asked for
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(written, (std::vector<uint32_t>{300, 300, 300, 100}));
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);
}

TEST_F(WaveOutTest, LoopedRefillsCarryBothLoopMarks) {
  out.Data = Pattern(800);
  out.Loops = 3;
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  ASSERT_EQ(out.Written.size(), 1u);
  EXPECT_EQ(out.Written[0].first, 12u);
  EXPECT_EQ(out.Written[0].second, 3u);
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data + out.Data + out.Data);
}

TEST_F(WaveOutTest, SteadyPlaybackRefillsTheSameBlocks) {
  std::set<void*> blocks;
  out.OnBufferData = [&](TComponent*, void* b, uint32_t) { blocks.insert(b); };
  out.Data = Pattern(800 * 40);
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(blocks.size(), 2u);
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);
}

TEST_F(WaveOutTest, StoppingMidPlayEndsTheCycleWithAPrefixPlayed) {
  out.Data = Pattern(800 * 50);
  out.OnRequest = [&] {
    if (out.Requests == 5) out.SetActive(false);
  };
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  const std::string played = winmm::virt::PlayedBytes();
  EXPECT_LT(played.size(), out.Data.size());
  EXPECT_EQ(played, out.Data.substr(0, played.size()));
}

TEST_F(WaveOutTest, ACloseDuringTheDrainIsRefused) {
  out.Data = Pattern(1000);
  winmm::virt::SetPlaybackBudget(800);  // the first buffer plays, the second waits
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return out.GetClosing(); }));  // the data has ended
  EXPECT_FALSE(out.CloseDevice());
  winmm::virt::SetPlaybackBudget(-1);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);
}

TEST_F(WaveOutTest, StartingPausedPlaysNothingUntilResumed) {
  out.Data = Pattern(1600);
  out.SetPaused(true);
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1 && out.ActiveBufferCount() == 2; }));
  PumpFor(30);
  EXPECT_TRUE(out.GetPaused());
  EXPECT_TRUE(winmm::virt::PlayedBytes().empty());
  out.SetPaused(false);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);
}

TEST_F(WaveOutTest, SeekWhilePausedStaysPausedAndCountsFromTheNewBase) {
  out.Data = Pattern(8000 * 10);
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return out.Requests >= 4; }));
  out.SetPaused(true);
  out.SeekData(8000 * 5);  // what a file-backed player does before the queue is dropped
  out.Seek(5000);
  EXPECT_TRUE(out.GetPaused());
  EXPECT_EQ(out.GetPositionBase(), 5000u);
  ASSERT_TRUE(PumpUntil([&] { return out.ActiveBufferCount() == 2 && out.Offset > 8000 * 5; }));
  const std::string before = winmm::virt::PlayedBytes();
  PumpFor(20);
  EXPECT_EQ(winmm::virt::PlayedBytes(), before);  // still paused
  EXPECT_GE(out.GetPosition(), 5000u);
  out.SetPaused(false);
  ASSERT_TRUE(WaitDeactivated());
  // After the seek the device plays on from the new source position.
  const std::string played = winmm::virt::PlayedBytes();
  EXPECT_EQ(played.substr(played.size() - 8000 * 5), out.Data.substr(8000 * 5));
}

TEST_F(WaveOutTest, LoweringBufferCountDuringPlaybackShrinksTheQueue) {
  out.SetBufferCount(4);
  out.Data = Pattern(800 * 30);
  size_t most = 0;
  out.OnRequest = [&] {
    most = std::max<size_t>(most, out.ActiveBufferCount());
    if (out.Requests == 8) out.SetBufferCount(1);
  };
  std::vector<int> countsAfter;
  out.OnBufferData = [&](TComponent*, void*, uint32_t) {
    if (out.Requests > 14) countsAfter.push_back(out.ActiveBufferCount());
  };
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(most, 4u);
  ASSERT_FALSE(countsAfter.empty());
  for (int c : countsAfter) EXPECT_EQ(c, 1);
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);  // nothing lost
}

TEST_F(WaveOutTest, ZeroBufferCountStillPlaysEverything) {
  out.SetBufferCount(0);
  out.Data = Pattern(800 * 4);
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);
}

TEST_F(WaveOutTest, AFailedWriteEndsThePlaybackInsteadOfStallingIt) {
  int errors = 0;
  out.OnError = [&](TComponent*) { ++errors; };
  out.Data = Pattern(800 * 20);
  winmm::virt::InjectFailure(winmm::WaveDir::Out, winmm::WaveCall::Add, MMSYSERR_ERROR, 1, 3);
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(out.ActiveBufferCount(), 0);
  EXPECT_EQ(winmm::PreparedHeaderCount(), 0);
}

TEST_F(WaveOutTest, AFailedWriteWithoutOnErrorReachesTheApplicationAndEnds) {
  out.Data = Pattern(800 * 20);
  winmm::virt::InjectFailure(winmm::WaveDir::Out, winmm::WaveCall::Add, MMSYSERR_ERROR, 1, 0);
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(Handled().size(), 1u);
}

TEST_F(WaveOutTest, ASourceThatRaisesEndsThePlayback) {
  out.Data = Pattern(800 * 20);
  out.OnRequest = [&] {
    if (out.Requests == 4) throw EInOutError(ioReadBeyondEnd);
  };
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(Handled(), (std::vector<std::string>{"Read beyond end of file"}));
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data.substr(0, 800 * 3));
}

TEST_F(WaveOutTest, BlocksAndSilenceFromTheBlockSource) {
  out.SetFillBuffers(false);
  out.Blocks = {{std::string(300, 'a'), 0}, {std::string(), 100}, {std::string(200, 'b'), 0}};
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  // 100 ms of 8-bit silence is 800 bytes of 0x7F, after the block queued before it.
  EXPECT_EQ(winmm::virt::PlayedBytes(),
            std::string(300, 'a') + std::string(800, '\x7f') + std::string(200, 'b'));
}

// Memory that runs out while a buffer is refilled ends the playback as at the end of the
// data, in both refill modes (component buffers; handed-over blocks and silence): OnError
// hears of it once, as code 7, and the device closes instead of staying open with nothing
// queued.
TEST_F(WaveOutTest, ARefillThatFindsNoMemoryEndsThePlaybackInBothModes) {
  struct TNoMemory {  // the pool's allocations fail from Arm() until it goes
    TBufferMemory Saved = BufferMemory();
    void Arm() {
      BufferMemory() = {[](size_t, size_t) -> void* { return nullptr; },
                        [](void*, size_t) -> void* { return nullptr; }};
    }
    ~TNoMemory() { BufferMemory() = Saved; }
  };
  const struct {
    const char* Name;
    bool FillBuffers;
    std::vector<TTestOut::TBlock> Blocks;
  } sources[] = {{"component buffers", true, {}},
                 {"blocks", false, {{Pattern(800), 0}, {Pattern(800), 0}}},
                 {"silence", false, {{std::string(), 50}, {std::string(), 50}}}};
  for (const auto& source : sources) {
    SCOPED_TRACE(source.Name);
    TTestOut o;
    o.SetBufferLength(100);
    o.SetFillBuffers(source.FillBuffers);
    o.Data = Pattern(8000);
    o.Blocks = source.Blocks;
    std::vector<MMRESULT> errors;
    bool deactivated = false;
    o.OnError = [&](TComponent*) { errors.push_back(o.GetLastError()); };
    o.OnDeactivate = [&](TComponent*) { deactivated = true; };
    TNoMemory noMemory;
    o.OnRequest = [&] { noMemory.Arm(); };  // no memory from the first request for data on
    o.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return deactivated; }));
    EXPECT_EQ(errors, std::vector<MMRESULT>{MMSYSERR_NOMEM});
    EXPECT_EQ(o.ActiveBufferCount(), 0);
  }
}

TEST_F(WaveOutTest, AddBufferPlaysACallersBlockWithBothLoopMarks) {
  static char block[100];
  std::memset(block, 'z', sizeof(block));
  ParkDevice();
  out.Data = Pattern(800 * 3);
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  ASSERT_TRUE(out.AddBuffer(block, sizeof(block), 2, false));
  EXPECT_EQ(out.Written.back(), (std::pair<DWORD, DWORD>{12u, 2u}));
  winmm::virt::SetPlaybackBudget(-1);
  ASSERT_TRUE(WaitDeactivated());
  const std::string played = winmm::virt::PlayedBytes();
  EXPECT_NE(played.find(std::string(200, 'z')), std::string::npos);
}

// --- volume, pitch and rate ---

TEST(WaveOutWords, FixedPointAndVolumeWords) {
  EXPECT_EQ(VolumePercentToWord(75), 0xBFFFBFFFu);
  EXPECT_EQ(VolumePercentToWord(50), 0x80008000u);
  EXPECT_EQ(VolumePercentToWord(100), 0xFFFFFFFFu);
  EXPECT_EQ(VolumePercentToWord(0), 0u);
  EXPECT_EQ(FloatToFixedPoint(1.5), 0x00018000u);
  EXPECT_EQ(FloatToFixedPoint(0.75), 0x0000C000u);
  EXPECT_EQ(FloatToFixedPoint(2.0), 0x00020000u);
  EXPECT_EQ(FloatToFixedPoint(1.1), 0x00011999u);
  EXPECT_DOUBLE_EQ(FixedPointToFloat(0x00014000), 1.25);
  EXPECT_DOUBLE_EQ(FixedPointToFloat(0x00018000), 1.5);
  EXPECT_DOUBLE_EQ(FixedPointToFloat(0x00000001), 1.0 / 65536);
}

TEST_F(WaveOutTest, VolumeGoesToTheDeviceOnlyWhenOptionsSayAndReadsBack) {
  EXPECT_EQ(out.GetVolume(), 75);
  out.SetVolume(150);
  EXPECT_EQ(out.GetVolume(), 100);  // the word covers 0 to 100 only
  out.SetVolume(75);
  out.Data = Pattern(800 * 4);
  ParkDevice();
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  // Empty Options: the device is never told, but its own setting is what Volume reads.
  EXPECT_EQ(Count("Out SetVolume"), 0u);
  waveOutSetVolume(out.GetDeviceHandle(), 0x0000BFFF);  // left word 75 %
  EXPECT_EQ(out.GetVolume(), 75);
  waveOutSetVolume(out.GetDeviceHandle(), 0xFFFFFFFF);
  EXPECT_EQ(out.GetVolume(), 100);

  TWaveOutOptions options;
  options.Include(woSetVolume);
  out.SetOptions(options);  // applied at once while open
  EXPECT_EQ(DeviceWord(waveOutGetVolume), 0xBFFFBFFFu);
  out.SetVolume(50);
  EXPECT_EQ(DeviceWord(waveOutGetVolume), 0x80008000u);
  out.SetVolume(100);
  EXPECT_EQ(DeviceWord(waveOutGetVolume), 0xFFFFFFFFu);
  winmm::virt::SetPlaybackBudget(-1);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(out.GetVolume(), 100);  // closed: the stored value
}

TEST_F(WaveOutTest, OptionsChosenWhileClosedTakeEffectAtTheNextOpen) {
  TWaveOutOptions options;
  options.Include(woSetVolume);
  out.SetOptions(options);
  out.SetVolume(50);
  EXPECT_EQ(Count("Out SetVolume"), 0u);  // only stored
  ParkDevice();
  out.Data = Pattern(800);
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  EXPECT_EQ(Count("Out SetVolume"), 1u);
  EXPECT_EQ(DeviceWord(waveOutGetVolume), 0x80008000u);
  winmm::virt::SetPlaybackBudget(-1);
  ASSERT_TRUE(WaitDeactivated());
}

TEST_F(WaveOutTest, PitchAndRateFollowTheDevicesSupport) {
  EXPECT_DOUBLE_EQ(out.GetPitch(), 1.0);
  out.SetPitch(1.5);
  EXPECT_DOUBLE_EQ(out.GetPitch(), 1.5);  // closed: the stored value
  ParkDevice();
  out.Data = Pattern(800);
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  // The default device has no pitch or rate support.
  EXPECT_DOUBLE_EQ(out.GetPitch(), 1.0);
  EXPECT_DOUBLE_EQ(out.GetPlaybackRate(), 1.0);
  winmm::virt::SetPlaybackBudget(-1);
  ASSERT_TRUE(WaitDeactivated());

  auto config = winmm::virt::CurrentConfig();
  config.Outputs[0].Support |= WAVECAPS_PITCH | WAVECAPS_PLAYBACKRATE;
  winmm::virt::Configure(config);
  TWaveOutOptions options;
  options.Include(woSetPitch);
  options.Include(woSetPlaybackRate);
  out.SetOptions(options);
  ParkDevice();
  deactivations = 0;
  activations = 0;
  out.Data = Pattern(800);
  out.Offset = 0;
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  EXPECT_EQ(DeviceWord(waveOutGetPitch), 0x00018000u);
  EXPECT_DOUBLE_EQ(out.GetPitch(), 1.5);
  const size_t setPitch = Count("Out SetPitch");
  out.SetPitch(1.5);  // unchanged: no device call
  EXPECT_EQ(Count("Out SetPitch"), setPitch);
  out.SetPitch(0.75);
  EXPECT_EQ(DeviceWord(waveOutGetPitch), 0x0000C000u);
  out.SetPlaybackRate(2.0);
  EXPECT_EQ(DeviceWord(waveOutGetPlaybackRate), 0x00020000u);
  EXPECT_DOUBLE_EQ(out.GetPlaybackRate(), 2.0);
  const size_t setRate = Count("Out SetRate");
  out.SetPlaybackRate(2.0);
  EXPECT_EQ(Count("Out SetRate"), setRate);
  // A refused query reads as the stored value.
  winmm::virt::InjectFailure(winmm::WaveDir::Out, winmm::WaveCall::GetPitch, MMSYSERR_ERROR);
  EXPECT_DOUBLE_EQ(out.GetPitch(), 0.75);
  winmm::virt::ClearFailures();
  winmm::virt::SetPlaybackBudget(-1);
  ASSERT_TRUE(WaitDeactivated());
}

TEST_F(WaveOutTest, DeviceSupportFromTheCapabilityRecord) {
  TWaveOutSupports s = out.DeviceSupport();  // volume and left/right volume, asynchronous
  EXPECT_TRUE(s.Contains(dsVolume));
  EXPECT_TRUE(s.Contains(dsLeftRightVolume));
  EXPECT_FALSE(s.Contains(dsPitch));
  EXPECT_TRUE(s.Contains(dsAsynchronous));
  auto config = winmm::virt::CurrentConfig();
  config.Outputs[0].Support = WAVECAPS_LRVOLUME | WAVECAPS_SYNC | WAVECAPS_SAMPLEACCURATE;
  winmm::virt::Configure(config);
  s = out.DeviceSupport();
  EXPECT_FALSE(s.Contains(dsVolume));
  EXPECT_FALSE(s.Contains(dsLeftRightVolume));  // only together with volume
  EXPECT_FALSE(s.Contains(dsAsynchronous));
  EXPECT_TRUE(s.Contains(dsSampleAccurate));
  winmm::virt::InjectFailure(winmm::WaveDir::Out, winmm::WaveCall::Caps, MMSYSERR_NODRIVER);
  EXPECT_TRUE(out.DeviceSupport().Empty());
  EXPECT_TRUE(out.GetDeviceFormats().Empty());
}

TEST_F(WaveOutTest, PauseAndResumeFireTheirEventsOnce) {
  int pauses = 0, resumes = 0;
  out.OnPause = [&](TComponent*) { ++pauses; };
  out.OnResume = [&](TComponent*) { ++resumes; };
  ParkDevice();
  out.Data = Pattern(800 * 3);
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  out.SetPaused(true);
  out.SetPaused(true);
  out.SetPaused(false);
  out.SetPaused(false);
  EXPECT_EQ(pauses, 1);
  EXPECT_EQ(resumes, 1);
  EXPECT_EQ(Count("Out Stop"), 1u);
  EXPECT_EQ(Count("Out Start"), 1u);
  winmm::virt::SetPlaybackBudget(-1);
  ASSERT_TRUE(WaitDeactivated());
}

TEST_F(WaveOutTest, PositionRestartsWithEveryOpen) {
  out.Data = Pattern(800 * 5);  // 500 ms
  ParkDevice();
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return activations == 1; }));
  EXPECT_EQ(out.GetPosition(), 0u);
  winmm::virt::SetPlaybackBudget(800 * 2);
  ASSERT_TRUE(PumpUntil([&] { return out.GetPosition() == 200u; }));
  out.SetActive(false);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(out.GetPosition(), 0u);  // closed
}

TEST_F(WaveOutTest, StoppingBeforeTheOpenedNotificationKeepsThePauseForTheNextCycle) {
  out.Data = Pattern(800);
  out.SetPaused(true);
  out.SetActive(true);
  out.SetActive(false);  // the opened notification is still queued
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_TRUE(Handled().empty());
  EXPECT_TRUE(out.GetPaused());
}

TEST_F(WaveOutTest, AStopFromInsideTheSourceIsNotUndoneByTheRefill) {
  out.Data = Pattern(800 * 10);
  out.OnRequest = [&] {
    if (out.Requests == 3) out.SetActive(false);
  };
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_EQ(out.Requests, 3);  // no refill after the stop
  EXPECT_LE(winmm::virt::PlayedBytes().size(), 800u * 2);
}

TEST_F(WaveOutTest, RealTimePacingPlaysInOrderAndReportsAGrowingPosition) {
  auto config = winmm::virt::CurrentConfig();
  config.Pace = winmm::virt::Pacing::RealTime;
  winmm::virt::Configure(config);
  out.Data = Pattern(800 * 3);  // 300 ms
  std::vector<uint32_t> positions;
  out.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] {
    // Once the drain has closed the device its position can no longer be asked.
    if (out.GetActive() && !out.GetClosing()) positions.push_back(out.GetPosition());
    return deactivations == 1;
  }));
  EXPECT_EQ(winmm::virt::PlayedBytes(), out.Data);
  ASSERT_GE(positions.size(), 2u);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_GE(positions.back(), 100u);
  EXPECT_LE(positions.back(), 300u);
}

TEST_F(WaveOutTest, ALostDeviceEndsThePlaybackInsteadOfHangingIt) {
  int errors = 0;
  out.OnError = [&](TComponent*) { ++errors; };
  out.Data = Pattern(800 * 20);
  // The sound card goes away after 2000 bytes: further writes are refused.
  winmm::virt::InjectFailure(winmm::WaveDir::Out, winmm::WaveCall::Transfer, MMSYSERR_NODRIVER, -1,
                             2000);
  out.SetActive(true);
  ASSERT_TRUE(WaitDeactivated());
  EXPECT_GE(errors, 1);
  EXPECT_LT(out.Offset, out.Data.size());  // the source was not read to its end
  EXPECT_EQ(out.ActiveBufferCount(), 0);
}
