// The stock player: what reaches the device for the header variants, extra chunks and short
// files, seeking, failures while opening and reading, the Stock link, and the rule that
// every stream and read handle belongs to its own device cycle when a new playback starts
// while the previous one is still playing or closing.
#include "StockTestKit.h"
#include "TempDir.h"
#include "WaveIOTestSupport.h"
#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"

using namespace wavetest;
using namespace stocktest;

namespace {

class TObservedPlayer : public TStockAudioPlayer {
 public:
  using TStockAudioPlayer::TStockAudioPlayer;
  ~TObservedPlayer() override { ShutDown(); }

  struct TRelease {
    const TStream* Stream;
    bool InClosedNotification;
  };
  std::vector<uint32_t> Results;
  std::vector<TRelease> Releases;

  bool Begin(TStream* s, bool owns) { return BeginWithStream(s, owns); }
  TStream* Attached() const { return WaveStream; }
  // Where the read handle stands, counted from the first data byte.
  LONG DataPosition() const { return mmioSeek(WaveFileHandle, 0, SEEK_CUR_) - DataOffset; }
  uint32_t NextData(uint32_t size) {
    std::string buffer(size, '\0');
    uint32_t loops = 0;
    return TStockAudioPlayer::GetWaveData(buffer.data(), size, loops);
  }

 protected:
  uint32_t GetWaveData(void* Buffer, uint32_t BufferSize, uint32_t& NumLoops) override {
    const uint32_t n = TStockAudioPlayer::GetWaveData(Buffer, BufferSize, NumLoops);
    Results.push_back(n);
    return n;
  }
  void ReleaseStream() override {
    if (WaveStream != nullptr) Releases.push_back({WaveStream, FInClose});
    TStockAudioPlayer::ReleaseStream();
  }
  void WomClose() override {
    FInClose = true;
    TStockAudioPlayer::WomClose();
    FInClose = false;
  }

 private:
  bool FInClose = false;
};

class StockPlayerTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    player.SetBufferLength(100);
    player.OnDeactivate = [&](TComponent*) { ++deactivations; };
  }
  void PlayToTheEnd() {
    ASSERT_TRUE(PumpUntil([&] { return !player.GetActive(); }));
  }
  // A file can be replaced only once the player has let go of it (the probe empties it).
  bool Writable(const std::string& path) {
    try {
      TFileStream s(path, fmCreate);  // replaces the file: only for probes
      return true;
    } catch (const EStreamError&) {
      return false;
    }
  }

  TempDir dir;
  TObservedPlayer player;
  int deactivations = 0;
};

}  // namespace

TEST_F(StockPlayerTest, BothHeaderSizesPlayExactlyTheirDataBytes) {
  const std::string data = Pattern(5001);
  for (uint32_t fmtSize : {18u, 16u}) {
    winmm::virt::ClearPlayed();
    player.Results.clear();
    const std::string path =
        dir.Write("h" + std::to_string(fmtSize) + ".wav", MakeWav(8000, 1, 8, data, fmtSize));
    ASSERT_TRUE(player.StartPlayingFile(path));
    EXPECT_FALSE(Writable(path));  // writers are kept out while it plays
    PlayToTheEnd();
    EXPECT_EQ(player.GetDataOffset(), fmtSize == 18 ? 46 : 44);
    EXPECT_TRUE(winmm::virt::PlayedBytes() == data) << fmtSize;
    EXPECT_EQ(player.Results.back(), 0u);
    EXPECT_TRUE(Writable(path));
  }
  EXPECT_EQ(deactivations, 2);
}

TEST_F(StockPlayerTest, PlaysWhatTheRecorderWroteIntoAStorageItem) {
  TMemoryWaveStorage storage;
  TStockAudioRecorder rec;
  rec.SetStock(&storage);
  rec.SetBufferLength(100);
  const std::string source = Pattern(3000);
  winmm::virt::SetCaptureBytes(source);
  ASSERT_TRUE(rec.StartRecordingToStockItem(2));
  ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() == source.size(); }));
  rec.SetActive(false);
  ASSERT_TRUE(PumpUntil([&] { return !rec.GetActive(); }));

  player.SetStock(&storage);
  ASSERT_TRUE(player.StartPlayingStockItem(2));
  EXPECT_EQ(player.GetWaveFormatRecord().nSamplesPerSec, 8000u);
  EXPECT_EQ(player.GetWaveFormatRecord().wBitsPerSample, 16);
  PlayToTheEnd();
  EXPECT_TRUE(winmm::virt::PlayedBytes() == source);
  EXPECT_NE(storage.Item(2), nullptr);
}

TEST_F(StockPlayerTest, AChunkAfterTheDataIsNeverPlayed) {
  std::string list = "LIST";
  PutLE(list, 8, 4);
  list += "INFOabcd";
  const std::string data = Pattern(4000);
  const std::string path = dir.Write("list.wav", MakeWav(8000, 1, 16, data, 16, list));
  ASSERT_TRUE(player.StartPlayingFile(path));
  PlayToTheEnd();
  EXPECT_EQ(player.Results, (std::vector<uint32_t>{1600, 1600, 800, 0}));
  EXPECT_TRUE(winmm::virt::PlayedBytes() == data);
}

TEST_F(StockPlayerTest, ADataChunkLongerThanTheFilePlaysWhatIsThere) {
  const std::string data = Pattern(3000);
  const std::string path = dir.Write("cut.wav", MakeWav(8000, 1, 16, data, 16, "", 10000));
  ASSERT_TRUE(player.StartPlayingFile(path));
  PlayToTheEnd();
  EXPECT_TRUE(winmm::virt::PlayedBytes() == data);
  EXPECT_EQ(player.Results.back(), 0u);
  EXPECT_EQ(deactivations, 1);
}

TEST_F(StockPlayerTest, SeekBeyondTheEndLeavesNothingToPlay) {
  winmm::virt::SetPlaybackBudget(0);  // the device waits: nothing plays while we look
  const std::string path = dir.Write("s.wav", MakeWav(8000, 1, 16, Pattern(4000)));
  ASSERT_TRUE(player.StartPlayingFile(path));
  player.Seek(60000);
  EXPECT_EQ(player.DataPosition(), 4000);
  EXPECT_EQ(player.NextData(1600), 0u);
  winmm::virt::SetPlaybackBudget(-1);
  PlayToTheEnd();
  EXPECT_TRUE(winmm::virt::PlayedBytes().empty());
}

TEST_F(StockPlayerTest, SeekGoesOnFromThatTimeOnWholeFrames) {
  winmm::virt::SetPlaybackBudget(0);
  const std::string data = Pattern(8000);
  ASSERT_TRUE(player.StartPlayingFile(dir.Write("m.wav", MakeWav(8000, 1, 16, data))));
  ASSERT_TRUE(PumpUntil([&] { return player.Results.size() >= 2; }));
  player.Seek(100);  // 1600 bytes in
  EXPECT_EQ(player.DataPosition(), 1600);
  winmm::virt::SetPlaybackBudget(-1);
  PlayToTheEnd();
  EXPECT_TRUE(winmm::virt::PlayedBytes() == data.substr(1600));

  // 16-bit stereo at 22050 Hz: 5 ms are 441 bytes, which would split a frame.
  winmm::virt::ClearPlayed();
  winmm::virt::SetPlaybackBudget(0);
  ASSERT_TRUE(player.StartPlayingFile(dir.Write("st.wav", MakeWav(22050, 2, 16, Pattern(4000)))));
  player.Seek(5);
  EXPECT_EQ(player.DataPosition(), 440);
  winmm::virt::SetPlaybackBudget(-1);
  PlayToTheEnd();
  EXPECT_EQ(winmm::virt::PlayedBytes().size() % 4, 0u);
}

// A file without a usable format fails like a format the device refuses: through DoError,
// after the file was let go, with LastError set and the reader's own reason in the text a
// front end shows; without OnError that text reaches the caller as the error's message.
TEST_F(StockPlayerTest, AFileWithoutAUsableFormatFailsThroughDoErrorWithTheReadersReason) {
  std::string noFormat = "RIFF";
  PutLE(noFormat, 4 + 8 + 100, 4);
  noFormat += "WAVEdata";
  PutLE(noFormat, 100, 4);
  noFormat += Pattern(100);
  const std::string header = MakeWav(8000, 1, 8, "");
  std::string noData = "RIFF";
  PutLE(noData, 4 + 24, 4);
  noData += header.substr(8, 4 + 24);  // "WAVE" and the format chunk only
  const struct {
    const char* Name;
    std::string Bytes;
    const char* Reason;
  } files[] = {{"text.wav", std::string(200, 't'), "not a RIFF WAVE file"},
               {"nofmt.wav", noFormat, "no format chunk"},
               {"nodata.wav", noData, "no data chunk after the format chunk"}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.Name);
    const std::string path = dir.Write(f.Name, f.Bytes);
    player.OnError = nullptr;
    try {
      player.StartPlayingFile(path);
      FAIL() << "played a file without a format";
    } catch (const EWaveAudioSysError& e) {
      EXPECT_EQ(std::string(e.what()), player.LastErrorText());
    }
    EXPECT_EQ(player.GetLastError(), WAVERR_BADFORMAT);
    EXPECT_EQ(player.GetLastErrorReason(), f.Reason);
    EXPECT_NE(player.LastErrorText().find(f.Reason), std::string::npos);

    int errors = 0;
    bool releasedFirst = false;
    player.OnError = [&](TComponent*) {
      ++errors;
      releasedFirst = player.Attached() == nullptr;
    };
    EXPECT_FALSE(player.StartPlayingFile(path));
    EXPECT_EQ(errors, 1);
    EXPECT_TRUE(releasedFirst);
    EXPECT_TRUE(Writable(path));
    EXPECT_FALSE(player.GetActive());
  }
  EXPECT_EQ(player.Releases.size(), 6u);  // each start released its file once
  EXPECT_EQ(winmm::OpenDeviceCount(), 0);
}

TEST_F(StockPlayerTest, AMissingFileRaisesTheRuntimesOpenError) {
  try {
    player.StartPlayingFile(dir.Path("gone.wav"));
    FAIL() << "played a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + dir.Path("gone.wav"));
  }
  EXPECT_TRUE(winmm::virt::CallLog().empty());
}

TEST_F(StockPlayerTest, AFormatTheDeviceRejectsReleasesTheFileBeforeTheError) {
  winmm::virt::InjectFailure(winmm::WaveDir::Out, winmm::WaveCall::Query, WAVERR_BADFORMAT);
  const std::string path = dir.Write("bad.wav", MakeWav(8000, 1, 8, Pattern(100)));
  bool releasedBeforeError = false;
  player.OnError = [&](TComponent*) { releasedBeforeError = player.Attached() == nullptr; };
  EXPECT_FALSE(player.StartPlayingFile(path));
  EXPECT_TRUE(releasedBeforeError);
  EXPECT_EQ(player.GetLastError(), WAVERR_BADFORMAT);
  EXPECT_TRUE(Writable(path));
}

TEST_F(StockPlayerTest, AFailingReadEndsThePlaybackWithoutPlayingAnUnfilledBuffer) {
  const std::string data = Pattern(6000);
  TMemoryWaveStorage storage;
  storage.Put(0, std::make_unique<TFailingReadStream>(MakeWav(8000, 1, 16, data), 44 + 1600));
  player.SetStock(&storage);
  player.SetActive(true);
  ASSERT_TRUE(player.GetActive());
  PlayToTheEnd();
  EXPECT_TRUE(winmm::virt::PlayedBytes() == data.substr(0, 1600));
  EXPECT_EQ(player.Results, (std::vector<uint32_t>{1600, 0}));
}

TEST_F(StockPlayerTest, TheStockLinkClearsWhenTheStorageGoesAway) {
  {
    TMemoryWaveStorage storage;
    player.SetStock(&storage);
  }
  EXPECT_EQ(player.GetStock(), nullptr);
  try {
    player.SetActive(true);
    FAIL() << "played without a storage";
  } catch (const EWaveAudioInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Stock property is not assigned");
  }
  EXPECT_THROW(player.StartPlayingStockItem(1), EWaveAudioInvalidOperation);
}

TEST_F(StockPlayerTest, AStorageDestroyedDuringPlaybackIsLetGoAndThePlaybackStops) {
  winmm::virt::SetPlaybackBudget(800);
  {
    TMemoryWaveStorage storage;
    storage.PutBytes(0, MakeWav(8000, 1, 16, Pattern(16000)));
    player.SetStock(&storage);
    ASSERT_TRUE(player.StartPlayingStockItem(0));
    ASSERT_TRUE(PumpUntil([&] { return winmm::virt::PlayedBytes().size() == 800; }));
  }
  EXPECT_EQ(player.Attached(), nullptr);
  winmm::virt::SetPlaybackBudget(-1);
  PlayToTheEnd();
  EXPECT_LT(winmm::virt::PlayedBytes().size(), 16000u);
}

TEST_F(StockPlayerTest, DestroyingAPlayingPlayerReleasesItsFile) {
  winmm::virt::Config cfg = winmm::virt::CurrentConfig();
  cfg.Pace = winmm::virt::Pacing::RealTime;  // a second of sound: still playing when destroyed
  winmm::virt::Configure(cfg);
  const std::string path = dir.Write("p.wav", MakeWav(8000, 1, 16, Pattern(16000)));
  {
    TStockAudioPlayer p;
    p.SetBufferLength(100);
    ASSERT_TRUE(p.StartPlayingFile(path));
    ASSERT_TRUE(PumpUntil([&] { return !winmm::virt::PlayedBytes().empty(); }));
    EXPECT_TRUE(p.GetActive());
    EXPECT_FALSE(Writable(path));
  }
  EXPECT_LT(winmm::virt::PlayedBytes().size(), 16000u);
  EXPECT_TRUE(Writable(path));
}

// A new playback started while the previous one still plays, or is stopped but still
// closing: each stream and handle is released once, by its own cycle's closed notification.
class StockPlayerRestart : public StockPlayerTest,
                           public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(StockPlayerRestart, EachStreamIsReleasedOnceByItsOwnCycle) {
  player.SetAsync(std::get<0>(GetParam()));
  const bool stopFirst = std::get<1>(GetParam());
  const std::string x = Pattern(8000);
  std::string y = Pattern(3000);
  std::reverse(y.begin(), y.end());
  int freesA = 0, freesB = 0;
  auto* a = new TTrackedStream(freesA);
  const std::string wavX = MakeWav(8000, 1, 16, x);
  a->Data().assign(wavX.begin(), wavX.end());
  auto* b = new TTrackedStream(freesB);
  const std::string wavY = MakeWav(8000, 1, 16, y);
  b->Data().assign(wavY.begin(), wavY.end());

  winmm::virt::SetPlaybackBudget(1000);
  ASSERT_TRUE(player.Begin(a, true));
  ASSERT_TRUE(PumpUntil([&] { return winmm::virt::PlayedBytes().size() == 1000; }));
  if (stopFirst) {
    player.StopPlaying();
    // Closing: the closed notification has not come yet, unless an Async worker has
    // handled it already (the next start then finds the device closed).
    ASSERT_TRUE(player.GetActive() || player.GetAsync());
  }
  winmm::virt::SetPlaybackBudget(-1);
  ASSERT_TRUE(player.Begin(b, false));
  PlayToTheEnd();
  ASSERT_TRUE(PumpUntil([&] { return deactivations == 2; }));

  EXPECT_EQ(freesA, 1);
  EXPECT_EQ(freesB, 0);
  ASSERT_EQ(player.Releases.size(), 2u);
  EXPECT_EQ(player.Releases[0].Stream, a);
  EXPECT_EQ(player.Releases[1].Stream, b);
  EXPECT_TRUE(player.Releases[0].InClosedNotification);
  EXPECT_TRUE(player.Releases[1].InClosedNotification);
  const std::string played = winmm::virt::PlayedBytes();
  ASSERT_GE(played.size(), y.size());
  EXPECT_TRUE(played.compare(0, 1000, x, 0, 1000) == 0);
  EXPECT_TRUE(played.compare(played.size() - y.size(), y.size(), y) == 0);
  delete b;
}

INSTANTIATE_TEST_SUITE_P(WindowAndAsync, StockPlayerRestart,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));
