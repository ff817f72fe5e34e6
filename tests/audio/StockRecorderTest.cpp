// The stock recorder: the finished take and its sizes, replacing longer files and items,
// failures before, during and after the open, the Stock link, and the rule that every
// stream belongs to its own device cycle when a new recording starts while the previous one
// is still running or closing.
#include <sys/stat.h>

#include <algorithm>

#include "StockTestKit.h"
#include "TempDir.h"
#include "WaveIOTestSupport.h"
#include "audio/WaveRecorders.h"

using namespace wavetest;
using namespace stocktest;

namespace {

// A recorder that shows its protected side: the byte count of every buffer handed on, and
// every stream release with the stream it let go and whether the device had closed.
class TObservedRecorder : public TStockAudioRecorder {
 public:
  using TStockAudioRecorder::TStockAudioRecorder;
  ~TObservedRecorder() override { ShutDown(); }

  struct TRelease {
    const TStream* Stream;
    bool InClosedNotification;
  };
  std::vector<uint32_t> Buffers;
  std::vector<TRelease> Releases;

  bool Begin(TStream* s, bool owns) { return BeginWithStream(s, owns); }
  TStream* Attached() const { return WaveStream; }

 protected:
  void DataReady(void* Buffer, uint32_t BytesRecorded, bool& FreeIt) override {
    Buffers.push_back(BytesRecorded);
    TStockAudioRecorder::DataReady(Buffer, BytesRecorded, FreeIt);
  }
  void ReleaseStream() override {
    if (WaveStream != nullptr) Releases.push_back({WaveStream, FInClose});
    TStockAudioRecorder::ReleaseStream();
  }
  void WimClose() override {
    FInClose = true;
    TStockAudioRecorder::WimClose();
    FInClose = false;
  }

 private:
  bool FInClose = false;
};

class StockRecorderTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    rec.SetBufferLength(100);
    rec.SetPCMFormat(Mono16bit8000Hz);  // 16000 bytes a second: buffers of 1600 bytes
    rec.OnDeactivate = [&](TComponent*) { ++deactivations; };
  }
  void StopAndWait() {
    rec.SetActive(false);
    ASSERT_TRUE(PumpUntil([&] { return !rec.GetActive(); }));
  }
  static std::string ErrorText(MMRESULT code) {
    char text[256] = {};
    waveInGetErrorTextA(code, text, sizeof text);
    return text;
  }

  TempDir dir;
  TObservedRecorder rec;
  int deactivations = 0;
};

}  // namespace

TEST_F(StockRecorderTest, TheTakeHoldsEveryRecordedByteIncludingThePartBufferAtStop) {
  const std::string source = Pattern(3 * 1600 + 500);
  winmm::virt::SetCaptureBytes(source);
  // The file is finished before the deactivation handler sees it.
  std::string atDeactivate;
  rec.OnDeactivate = [&](TComponent*) { atDeactivate = dir.Read("take.wav"); };
  ASSERT_TRUE(rec.StartRecordingToFile(dir.Path("take.wav")));
  // Stop only once the device holds the last byte: three whole buffers handed on do not yet
  // mean that the fourth has taken all of the last 500 bytes.
  ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() == source.size(); }));
  ASSERT_TRUE(PumpUntil([&] { return rec.Buffers.size() == 3; }));
  StopAndWait();

  EXPECT_EQ(rec.Buffers, (std::vector<uint32_t>{1600, 1600, 1600, 500}));
  const std::string file = dir.Read("take.wav");
  EXPECT_EQ(atDeactivate, file);
  const TWavParts w = ParseWav(file);
  ASSERT_TRUE(w.Valid);
  EXPECT_EQ(w.DataOffset, 46u);
  EXPECT_EQ(w.FmtSize, 18u);
  EXPECT_EQ(w.Rate, 8000u);
  EXPECT_EQ(w.Bits, 16);
  EXPECT_EQ(w.Channels, 1);
  EXPECT_EQ(w.DataSize, source.size());
  EXPECT_EQ(w.RiffSize, 38u + source.size());
  EXPECT_EQ(file.size(), 46u + source.size());
  EXPECT_TRUE(w.Data == source);
  ASSERT_EQ(rec.Releases.size(), 1u);
  EXPECT_TRUE(rec.Releases[0].InClosedNotification);
}

TEST_F(StockRecorderTest, AnOddByteCountGetsAPadByteOutsideTheDataSize) {
  rec.SetPCMFormat(Mono8Bit8000Hz);
  const std::string source = Pattern(801);
  winmm::virt::SetCaptureBytes(source);
  ASSERT_TRUE(rec.StartRecordingToFile(dir.Path("odd.wav")));
  // Stop only once the device holds the last byte, or the take may end one short.
  ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() == 801; }));
  StopAndWait();
  const std::string file = dir.Read("odd.wav");
  const TWavParts w = ParseWav(file);
  ASSERT_TRUE(w.Valid);
  EXPECT_EQ(w.DataSize, 801u);
  EXPECT_EQ(file.size(), 46u + 802u);
  EXPECT_EQ(w.RiffSize, 38u + 802u);
  EXPECT_TRUE(w.Data == source);
}

TEST_F(StockRecorderTest, RecordingOverALongerFileOrItemLeavesOnlyTheNewSound) {
  dir.Write("old.wav", std::string(100000, 'x'));
  winmm::virt::SetCaptureBytes(Pattern(1600));
  ASSERT_TRUE(rec.StartRecordingToFile(dir.Path("old.wav")));
  ASSERT_TRUE(PumpUntil([&] { return rec.Buffers.size() == 1; }));
  StopAndWait();
  EXPECT_EQ(dir.Read("old.wav").size(), 46u + 1600u);

  TMemoryWaveStorage storage;
  storage.PutBytes(4, std::string(50000, 'y'));
  rec.SetStock(&storage);
  rec.Buffers.clear();
  winmm::virt::SetCaptureBytes(Pattern(1000));
  ASSERT_TRUE(rec.StartRecordingToStockItem(4));
  ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() == 1000; }));
  StopAndWait();
  const std::string item = storage.Bytes(4);
  EXPECT_EQ(item.size(), 46u + 1000u);
  EXPECT_TRUE(ParseWav(item).Data == Pattern(1000));
  EXPECT_EQ(storage.ProvidedCount(), 1);
  EXPECT_EQ(rec.Attached(), nullptr);
  EXPECT_NE(storage.Item(4), nullptr);  // the storage's stream was not freed by the recorder
}

TEST_F(StockRecorderTest, NoFormatWithoutHandlerLeavesAnEmptyClosedFile) {
  rec.SetPCMFormat(nonePCM);
  const std::string path = dir.Path("none.wav");
  EXPECT_THROW(rec.StartRecordingToFile(path), EWaveAudioInvalidOperation);
  EXPECT_FALSE(rec.GetActive());
  EXPECT_EQ(dir.Read("none.wav"), "");
  ASSERT_EQ(rec.Releases.size(), 1u);
  EXPECT_EQ(rec.Attached(), nullptr);
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);

  // The same path with a stream of our own shows it freed exactly once.
  int frees = 0;
  EXPECT_THROW(rec.Begin(new TTrackedStream(frees), true), EWaveAudioInvalidOperation);
  EXPECT_EQ(frees, 1);
}

TEST_F(StockRecorderTest, AFormatFromTheHandlerIsWrittenIntoTheHeader) {
  rec.SetPCMFormat(nonePCM);
  rec.OnFormat = [](TComponent*, PWaveFormatEx& f, bool& freeIt) {
    f = static_cast<PWaveFormatEx>(std::calloc(1, sizeof(WAVEFORMATEX)));
    FillPCMWaveFormatByIndex(f, Stereo16bit11025Hz);
    freeIt = true;
  };
  winmm::virt::SetCaptureBytes(Pattern(4000));
  ASSERT_TRUE(rec.StartRecordingToFile(dir.Path("h.wav")));
  ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() == 4000; }));
  StopAndWait();
  const TWavParts w = ParseWav(dir.Read("h.wav"));
  ASSERT_TRUE(w.Valid);
  EXPECT_EQ(w.Rate, 11025u);
  EXPECT_EQ(w.Channels, 2);
  EXPECT_EQ(w.DataSize, 4000u);
}

TEST_F(StockRecorderTest, AFailedOpenFinishesTheHeaderAsAnEmptyRecording) {
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Open, MMSYSERR_ALLOCATED);
  int errors = 0;
  rec.OnError = [&](TComponent*) { ++errors; };
  EXPECT_FALSE(rec.StartRecordingToFile(dir.Path("fail.wav")));
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(rec.GetLastError(), MMSYSERR_ALLOCATED);
  const std::string file = dir.Read("fail.wav");
  ASSERT_EQ(file.size(), 46u);
  const TWavParts w = ParseWav(file);
  ASSERT_TRUE(w.Valid);
  EXPECT_EQ(w.DataSize, 0u);
  EXPECT_EQ(w.RiffSize, 38u);
  EXPECT_EQ(rec.Releases.size(), 1u);  // released once, although DoError and the start both try
  // The file was closed: it can be replaced at once.
  winmm::virt::ClearFailures();
  winmm::virt::SetCaptureBytes(Pattern(1600));
  ASSERT_TRUE(rec.StartRecordingToFile(dir.Path("fail.wav")));
  ASSERT_TRUE(PumpUntil([&] { return rec.Buffers.size() == 1; }));
  StopAndWait();
  EXPECT_EQ(ParseWav(dir.Read("fail.wav")).DataSize, 1600u);
}

TEST_F(StockRecorderTest, AFailedOpenWithoutHandlerReleasesTheStreamBeforeReturning) {
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Open, MMSYSERR_ALLOCATED);
  int frees = 0;
  std::string last;
  EXPECT_FALSE(rec.Begin(new TTrackedStream(frees, &last), true));
  EXPECT_EQ(frees, 1);
  EXPECT_EQ(rec.GetLastError(), MMSYSERR_ALLOCATED);
  EXPECT_EQ(rec.LastErrorText(), ErrorText(MMSYSERR_ALLOCATED));
  EXPECT_EQ(ParseWav(last).RiffSize, 38u);  // finished before it was freed
  EXPECT_FALSE(rec.GetActive());
}

TEST_F(StockRecorderTest, AFileThatCannotBeCreatedLeavesTheDeviceUntouched) {
  EXPECT_THROW(rec.StartRecordingToFile(dir.Path("no/such/folder.wav")), EFCreateError);
  EXPECT_TRUE(winmm::virt::CallLog().empty());
  EXPECT_FALSE(rec.GetActive());
}

TEST_F(StockRecorderTest, ShortWritesAreReportedPerBufferAndTheRecordingGoesOn) {
  TMemoryWaveStorage storage;
  storage.Put(0, std::make_unique<TShortWriteStream>(46 + 2000));  // room for 2000 samples
  rec.SetStock(&storage);
  std::vector<MMRESULT> errors;
  rec.OnError = [&](TComponent*) { errors.push_back(rec.GetLastError()); };
  winmm::virt::SetCaptureBytes(Pattern(5 * 1600));
  rec.SetActive(true);
  ASSERT_TRUE(rec.GetActive());
  ASSERT_TRUE(PumpUntil([&] { return rec.Buffers.size() == 5; }));
  // The first buffer fits, the second only partly, the others not at all.
  EXPECT_EQ(errors, (std::vector<MMRESULT>{1, 1, 1, 1}));
  StopAndWait();
  const TWavParts w = ParseWav(storage.Bytes(0));
  ASSERT_TRUE(w.Valid);
  EXPECT_EQ(w.DataSize, 2000u);
  EXPECT_TRUE(w.Data == Pattern(2000));
}

TEST_F(StockRecorderTest, AnUnwritableHeaderShowsWithTheFirstBufferThroughTheExceptionHandler) {
  TMemoryWaveStorage storage;
  storage.Put(0, std::make_unique<TShortWriteStream>(10));
  rec.SetStock(&storage);
  winmm::virt::SetCaptureBytes(Pattern(3 * 1600));
  ASSERT_TRUE(rec.StartRecordingToStockItem(0));  // no error when the header fails
  ASSERT_TRUE(PumpUntil([&] { return rec.Buffers.size() == 3; }));
  // Without OnError every buffer's report reaches the application's handler, and the
  // buffers keep circulating instead of being dropped.
  const auto handled = Handled();
  ASSERT_EQ(handled.size(), 3u);
  EXPECT_EQ(handled[0], ErrorText(1));
  EXPECT_FALSE(handled[0].empty());
  EXPECT_EQ(rec.ActiveBufferCount(), 2);
  StopAndWait();
}

TEST_F(StockRecorderTest, TheStockLinkClearsWhenTheStorageGoesAway) {
  {
    TMemoryWaveStorage storage;
    rec.SetStock(&storage);
    EXPECT_EQ(rec.GetStock(), &storage);
  }
  EXPECT_EQ(rec.GetStock(), nullptr);
  try {
    rec.StartRecordingToStockItem(0);
    FAIL() << "recorded without a storage";
  } catch (const EWaveAudioInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Stock property is not assigned");
  }
  EXPECT_THROW(rec.SetActive(true), EWaveAudioInvalidOperation);
  EXPECT_TRUE(winmm::virt::CallLog().empty());

  // A storage replaced by another no longer reaches the recorder when it goes away.
  TMemoryWaveStorage second;
  {
    TMemoryWaveStorage first;
    rec.SetStock(&first);
    rec.SetStock(&second);
  }
  EXPECT_EQ(rec.GetStock(), &second);
}

TEST_F(StockRecorderTest, AStorageDestroyedDuringARecordingIsLetGoWithoutAnotherWrite) {
  winmm::virt::SetCaptureBytes(Pattern(1600 + 300));  // the second buffer is partly filled
  int errors = 0;
  rec.OnError = [&](TComponent*) { ++errors; };
  {
    TMemoryWaveStorage storage;
    rec.SetStock(&storage);
    ASSERT_TRUE(rec.StartRecordingToStockItem(0));
    ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() == 1900; }));
    ASSERT_TRUE(PumpUntil([&] { return rec.Buffers.size() == 1; }));
  }
  EXPECT_EQ(rec.Attached(), nullptr);
  ASSERT_TRUE(PumpUntil([&] { return !rec.GetActive(); }));
  EXPECT_EQ(rec.GetStock(), nullptr);
  // What the device still handed back had nowhere to go: no write failed, no error.
  EXPECT_EQ(errors, 0);
  EXPECT_TRUE(Handled().empty());
}

TEST_F(StockRecorderTest, DestroyingARecordingRecorderFinishesItsFile) {
  winmm::virt::SetCaptureBytes(Pattern(2 * 1600 + 100));
  {
    TStockAudioRecorder r;
    r.SetBufferLength(100);
    ASSERT_TRUE(r.StartRecordingToFile(dir.Path("d.wav")));
    ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() == 3300; }));
  }
  const TWavParts w = ParseWav(dir.Read("d.wav"));
  ASSERT_TRUE(w.Valid);
  EXPECT_EQ(w.DataSize, 3300u);
  EXPECT_TRUE(w.Data == Pattern(3300));
}

// A new recording started while the previous one is still running, or stopped but still
// closing: each stream is finished by its own cycle's closed notification, once.
class StockRecorderRestart : public StockRecorderTest,
                             public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(StockRecorderRestart, EachStreamIsFinishedOnceByItsOwnCycle) {
  const bool async = std::get<0>(GetParam());
  const bool stopFirst = std::get<1>(GetParam());
  rec.SetAsync(async);
  int freesA = 0, freesB = 0;
  std::string bytesB;
  auto* a = new TTrackedStream(freesA);
  auto* b = new TTrackedStream(freesB, &bytesB);
  std::string finishedA;
  rec.OnDeactivate = [&](TComponent*) {
    ++deactivations;
    if (deactivations == 1) finishedA = freesA == 1 ? "freed" : "still attached";
  };

  const std::string first = Pattern(1600 + 700);
  winmm::virt::SetCaptureBytes(first);
  ASSERT_TRUE(rec.Begin(a, false));
  ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() == first.size(); }));
  ASSERT_TRUE(PumpUntil([&] { return rec.Buffers.size() >= 1; }));
  if (stopFirst) {
    rec.StopRecording();
    // Closing: the closed notification has not come yet, unless an Async worker has
    // handled it already (the next start then finds the device closed).
    ASSERT_TRUE(rec.GetActive() || async);
  }
  // Capture for the second take starts only once its device runs.
  std::string second = Pattern(1600);
  std::reverse(second.begin(), second.end());
  ASSERT_TRUE(rec.Begin(b, true));
  winmm::virt::SetCaptureBytes(second);
  ASSERT_TRUE(PumpUntil([&] { return rec.Buffers.size() >= 3; }));
  StopAndWait();
  ASSERT_TRUE(PumpUntil([&] { return deactivations == 2; }));

  // A is whole: every byte of the first capture, its sizes written by its own close.
  const TWavParts wa = ParseWav(a->Bytes());
  ASSERT_TRUE(wa.Valid);
  EXPECT_EQ(wa.DataSize, first.size());
  EXPECT_TRUE(wa.Data == first);
  // B holds the second capture only, finished before it was freed.
  const TWavParts wb = ParseWav(bytesB);
  ASSERT_TRUE(wb.Valid);
  EXPECT_EQ(wb.DataSize, wb.Data.size());
  EXPECT_GE(wb.Data.size(), second.size());
  EXPECT_TRUE(wb.Data.compare(0, second.size(), second) == 0);
  EXPECT_EQ(freesA, 0);  // not owned: never freed by the recorder
  EXPECT_EQ(freesB, 1);  // owned: freed once
  ASSERT_EQ(rec.Releases.size(), 2u);
  EXPECT_EQ(rec.Releases[0].Stream, a);
  EXPECT_EQ(rec.Releases[1].Stream, b);
  EXPECT_TRUE(rec.Releases[0].InClosedNotification);
  EXPECT_TRUE(rec.Releases[1].InClosedNotification);
  EXPECT_EQ(finishedA, "still attached");  // A was not owned, so "freed" would be a fault
  delete a;
}

INSTANTIATE_TEST_SUITE_P(WindowAndAsync, StockRecorderRestart,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));
