// The window through longer sessions on the virtual sound device: a long playback and its
// position read-out, pausing, the commands held back while a device runs, Stop and closing
// during a package test, a wait that blocks instead of spinning, and device failures.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "FakeShell.h"
#include "TempDir.h"
#include "app/Main.h"
#include "app/MessageDrain.h"
#include "app/QtShell.h"
#include "app/RecentFolders.h"
#include "app/SpeakDialog.h"
#include "app/Unit1.h"
#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "import/SoundTestKit.h"
#include "package/History.h"
#include "platform/folderlock.h"
#include "platform/profile.h"
#include "platform/winmm_driver.h"
#include "rtl/SysUtils.h"

namespace {

bool PumpUntil(const std::function<bool()>& cond, int ms = 15000) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

void PutU32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// An 8 kHz 8-bit mono RIFF WAVE file (18-byte format chunk) holding samples.
std::string Wav8k(const std::string& samples) {
  std::string h(
      "RIFF\0\0\0\0WAVEfmt \x12\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0\0\0data", 42);
  PutU32(h, 4, static_cast<uint32_t>(samples.size() + 38));
  std::string size(4, '\0');
  PutU32(size, 0, static_cast<uint32_t>(samples.size()));
  return h + size + samples;
}

// A package whose present slots hold the given code bytes.
std::string Package(const std::vector<std::pair<int, std::string>>& present) {
  std::string p(512, '\0');
  for (const auto& [slot, codes] : present) {
    PutU32(p, 4 * static_cast<size_t>(slot), static_cast<uint32_t>(p.size()));
    std::string count(4, '\0');
    PutU32(count, 0, static_cast<uint32_t>(codes.size()));
    p += count + codes;
  }
  return p;
}

// What the decoder makes of code bytes, from the running value 128.
std::string Decoded(const std::string& codes) {
  static const int kSteps[8] = {0, 1, 2, 4, 8, 16, 32, 64};
  std::string out;
  uint8_t v = 128;
  for (unsigned char c : codes)
    for (int nib : {c & 0x0F, c >> 4}) {
      v = static_cast<uint8_t>((nib & 8) ? v - kSteps[nib & 7] : v + kSteps[nib & 7]);
      out += static_cast<char>(v);
    }
  return out;
}

// The files and devices the process holds open. The event handles that threads of the
// window and sound systems make and drop in their own time (anonymous ones) are left out.
int OpenFileCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) {
      char target[64] = {};
      const std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          std::string(target).rfind("anon_inode:", 0) == 0)
        continue;
      ++n;
    }
    ::closedir(d);
  }
  return n;
}

// Notes what the window shows at each event of its player.
class TWatchedForm : public TMainForm {
 public:
  using TMainForm::TMainForm;
  std::vector<std::string> Positions;    // the Position caption after each player level event
  std::vector<std::string> Activations;  // "testvox.wav" content at each player activation
  std::function<void()> OnPlayerActive;
  void StockAudioPlayerLevel(TComponent* Sender, int32_t Level) override {
    TMainForm::StockAudioPlayerLevel(Sender, Level);
    Positions.push_back(Position->text().toStdString());
  }
  void StockAudioPlayerActivate(TComponent* Sender) override {
    TMainForm::StockAudioPlayerActivate(Sender);
    Activations.push_back(TestWav());
    if (OnPlayerActive) OnPlayerActive();
  }
  std::string TestWav() {
    std::string s;
    if (FILE* f = std::fopen((Context().ExeFolder + "testvox.wav").c_str(), "rb")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
      std::fclose(f);
    }
    return s;
  }
  bool CommandsEnabled() const {
    return Button2->isEnabled() && Button1X->isEnabled() && BitBtn1->isEnabled();
  }
  bool CommandsDisabled() const {
    return !Button2->isEnabled() && !Button1X->isEnabled() && !BitBtn1->isEnabled();
  }
};

class WindowSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ShowOnVirtualDevice(FForm);
    // A test that never ends fails instead of hanging: the heartbeat wakes every wait, and
    // the clock gives up on it.
    FHeartbeat.start(50);
    FClock.start();
    FShell.OnWait = [this] {
      QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
      if (FClock.elapsed() > 30000) throw Exception("the package test did not end");
      if (OnWait) OnWait();
    };
  }
  void TearDown() override { EndVirtualDevice(); }
  // Chooses slot row and gives its file the samples.
  void ChooseSlotWith(int row, const std::string& samples) {
    FDir.Write("Sound " + std::to_string(row + 1) + ".WAV", Wav8k(samples));
    DoubleClickRow(FForm.ListBox1, row);
  }
  QTimer FHeartbeat;
  QElapsedTimer FClock;
  TempDir FDir;
  TFakeShell FShell;
  std::function<void()> OnWait;
  TWatchedForm FForm{FDir.Folder(), &FShell};
};

TEST_F(WindowSession, LongPlaybackShowsSecondsThenMinutes) {
  ChooseSlotWith(0, std::string(75 * 8000, '\x80'));
  ASSERT_TRUE(FForm.btnPlay->isEnabled());
  FForm.btnPlay->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnStop->isEnabled(); }));
  // While it plays nothing that writes files can start.
  EXPECT_TRUE(FForm.CommandsDisabled());
  ASSERT_TRUE(PumpUntil([&] { return !FForm.StockAudioPlayer->GetActive(); }));
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnRecord->isEnabled(); }));
  EXPECT_TRUE(FShell.Messages.empty());

  const QRegularExpression seconds("^\\d{1,2}\\.\\d\\d$"), minutes("^1:\\d\\d\\.\\d\\d$");
  bool sawLate59 = false, sawMinute = false, minutesBegan = false;
  for (const std::string& text : FForm.Positions) {
    const QString t = QString::fromStdString(text);
    if (minutes.match(t).hasMatch()) {
      minutesBegan = true;
      if (t.startsWith("1:00.")) sawMinute = true;
    } else {
      ASSERT_TRUE(seconds.match(t).hasMatch()) << text;
      EXPECT_FALSE(minutesBegan) << "seconds again after the minute: " << text;
      if (t.startsWith("59.")) sawLate59 = true;
    }
  }
  EXPECT_TRUE(sawLate59);
  EXPECT_TRUE(sawMinute);
  // The caption keeps its last value when the playback ends: most of the 75 seconds.
  EXPECT_TRUE(FForm.Position->text().startsWith("1:1")) << FForm.Position->text().toStdString();
  EXPECT_EQ(FForm.focusWidget(), FForm.btnPlay);
  EXPECT_TRUE(FForm.CommandsEnabled());
}

TEST_F(WindowSession, PauseTogglesThePlayerWhilePlayingAndIsHarmlessOtherwise) {
  ChooseSlotWith(1, std::string(8000, '\x90'));
  winmm::virt::SetPlaybackBudget(800);  // the device holds after a tenth of a second
  FForm.btnPlay->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnStop->isEnabled(); }));
  FForm.btnPauseClick();
  EXPECT_TRUE(FForm.StockAudioPlayer->GetPaused());
  EXPECT_FALSE(FForm.StockAudioRecorder->GetPaused());
  winmm::virt::SetPlaybackBudget(-1);
  // Paused, the player gets no further than where it stood.
  QApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_TRUE(FForm.StockAudioPlayer->GetActive());
  EXPECT_LT(winmm::virt::PlayedBytes().size(), 8000u);
  FForm.btnPauseClick();
  EXPECT_FALSE(FForm.StockAudioPlayer->GetPaused());
  ASSERT_TRUE(PumpUntil([&] { return !FForm.StockAudioPlayer->GetActive(); }));
  EXPECT_EQ(winmm::virt::PlayedBytes().size(), 8000u);
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
}

TEST_F(WindowSession, CommandsThatWriteFilesWaitWhileRecording) {
  winmm::virt::SetCaptureBytes(std::string(4000, '\x80'));
  DoubleClickRow(FForm.ListBox1, 2);
  FForm.btnRecord->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnStop->isEnabled(); }));
  EXPECT_TRUE(FForm.CommandsDisabled());
  // Called while a take is being recorded, the commands do nothing at all.
  FDir.Write("Sounds.zvd", Package({{0, "\x11"}}));
  FShell.PickAnswers.push_back(FDir.Write("a.vox", "\x11"));
  FForm.Button1XClick();
  FForm.BitBtn1Click();
  FForm.Button2Click();
  EXPECT_EQ(FShell.Picks, 0);
  EXPECT_FALSE(FDir.Exists("testvox.wav"));
  EXPECT_TRUE(FShell.StatusLines.empty());
  FForm.btnStop->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnRecord->isEnabled(); }));
  EXPECT_TRUE(FForm.CommandsEnabled());
}

TEST_F(WindowSession, StopDuringAPackageTestSkipsToTheNextSlot) {
  const std::string slot3(4000, '\x11'), slot7(6, '\x99');
  FDir.Write("Sounds.zvd", Package({{3, slot3}, {7, slot7}}));
  winmm::virt::SetPlaybackBudget(100);  // slot 3 stands still near its start
  bool stopped = false;
  OnWait = [&] {
    if (!stopped && FForm.btnStop->isEnabled()) {
      stopped = true;
      EXPECT_TRUE(FForm.CommandsDisabled());
      FForm.btnStop->click();
      winmm::virt::SetPlaybackBudget(-1);
    }
  };
  FForm.BitBtn1->click();
  EXPECT_TRUE(stopped);
  ASSERT_EQ(FForm.Activations.size(), 2u);  // the test went on after the Stop
  EXPECT_EQ(FForm.Activations[1], Wav8k(Decoded(slot7)));
  // Slot 3 was cut short; slot 7 was heard whole after it.
  const std::string played = winmm::virt::PlayedBytes();
  ASSERT_GE(played.size(), 12u);
  EXPECT_LT(played.size(), 8000u);
  EXPECT_EQ(played.substr(played.size() - 12), Decoded(slot7));
  EXPECT_EQ(FForm.TestWav(), Wav8k(Decoded(slot7)));
  EXPECT_FALSE(FForm.GetTestRunning());
  EXPECT_TRUE(FForm.CommandsEnabled());
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
}

TEST_F(WindowSession, ClosingTheWindowDuringAPackageTestEndsIt) {
  FDir.Write("Sounds.zvd", Package({{1, std::string(4000, '\x11')}, {5, "\x11"}}));
  // A first whole test, so that what the sound and window systems open once for good is
  // open before the files are counted.
  FForm.BitBtn1->click();
  ASSERT_EQ(FForm.Activations.size(), 2u);
  const int filesBefore = OpenFileCount();
  winmm::virt::SetPlaybackBudget(100);
  bool closedSignal = false;
  QObject::connect(&FForm, &TMainForm::Closed, [&] { closedSignal = true; });
  bool closeSent = false;
  OnWait = [&] {
    if (!closeSent && FForm.btnStop->isEnabled()) {
      closeSent = true;
      FForm.close();
    }
  };
  FForm.BitBtn1->click();
  EXPECT_TRUE(closeSent);
  EXPECT_TRUE(closedSignal);
  EXPECT_EQ(FForm.Activations.size(), 3u);  // slot 5 was not started again
  EXPECT_FALSE(FForm.GetTestRunning());
  EXPECT_FALSE(FForm.GetTestWait());
  // The player was stopped with the window and the package is closed again.
  EXPECT_FALSE(FForm.StockAudioPlayer->GetActive());
  winmm::virt::SetPlaybackBudget(-1);
  EXPECT_TRUE(PumpUntil([] { return winmm::OpenDeviceCount() == 0; }));
  EXPECT_EQ(OpenFileCount(), filesBefore);
  // Closing wrote the names back, as any close does.
  EXPECT_TRUE(FDir.Exists("ZelvorSound.ini"));
}

TEST_F(WindowSession, PackageTestWaitBlocksUntilTheDeviceReportsBack) {
  // The window's own shell: the test waits for events instead of polling for them.
  class TCountingShell : public TQtShell {
   public:
    using TQtShell::TQtShell;
    void WaitForEvents() override {
      ++Waits;
      TQtShell::WaitForEvents();
    }
    int Waits = 0;
  };
  FHeartbeat.stop();
  TForm1 status;
  TCountingShell shell(FForm, status);
  FForm.SetShell(&shell);
  winmm::virt::Config config = winmm::virt::CurrentConfig();
  config.Pace = winmm::virt::Pacing::RealTime;
  winmm::virt::Configure(config);
  // Two seconds of sound at real speed: twenty buffers of a tenth of a second.
  const std::string codes(8000, '\x01');
  FDir.Write("Sounds.zvd", Package({{0, codes}}));
  FForm.BitBtn1->click();
  FForm.SetShell(&FShell);
  EXPECT_EQ(winmm::virt::PlayedBytes(), Decoded(codes));
  // A handful of wake-ups per buffer; a polling loop would go round many thousand times.
  EXPECT_GT(shell.Waits, 0);
  EXPECT_LT(shell.Waits, 400) << "the wait went round " << shell.Waits << " times";
}

TEST_F(WindowSession, DeviceThatCannotOpenGivesOneMessageAndTheButtonsStay) {
  ChooseSlotWith(4, std::string(800, '\x80'));
  winmm::virt::InjectFailure(winmm::WaveDir::Out, winmm::WaveCall::Open, MMSYSERR_ALLOCATED);
  FForm.btnPlay->click();
  QApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_EQ(FShell.Messages.size(), 1u);
  EXPECT_FALSE(FShell.Messages[0].empty());
  EXPECT_TRUE(FForm.btnPlay->isEnabled());
  EXPECT_TRUE(FForm.btnRecord->isEnabled());
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  EXPECT_FALSE(FForm.StockAudioPlayer->GetActive());
  EXPECT_TRUE(FForm.CommandsEnabled());
  // The format refused by the input device: the same, for Record.
  winmm::virt::Config config = winmm::virt::CurrentConfig();
  config.Accepts = [](winmm::WaveDir dir, UINT, const WAVEFORMATEX&) {
    return dir != winmm::WaveDir::In;
  };
  winmm::virt::Configure(config);
  FDir.Write("Sound 5.vox", "old codes");
  FForm.btnRecord->click();
  QApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_EQ(FShell.Messages.size(), 2u);
  EXPECT_NE(FShell.Messages[1], FShell.Messages[0]);
  EXPECT_TRUE(FForm.btnRecord->isEnabled());
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  EXPECT_FALSE(FForm.StockAudioRecorder->GetActive());
  // The recording that never started left the take and its ".vox" as they were, and no
  // file of its own.
  EXPECT_EQ(FDir.Read("Sound 5.WAV"), Wav8k(std::string(800, '\x80')));
  EXPECT_EQ(FDir.Read("Sound 5.vox"), "old codes");
  EXPECT_FALSE(FDir.Exists("Sound 5 (unfinished recording).WAV"));
}

TEST_F(WindowSession, DeviceLostDuringAPackageTestEndsItWithOneMessage) {
  TDeviceErrorRoute route(FForm);
  FDir.Write("Sounds.zvd",
             Package({{2, std::string(4000, '\x11')}, {4, "\x11"}, {9, std::string(900, '\x11')}}));
  winmm::virt::InjectFailure(winmm::WaveDir::Out, winmm::WaveCall::Transfer, MMSYSERR_NODRIVER, -1,
                             1000);
  FForm.BitBtn1->click();
  ASSERT_EQ(FShell.Messages.size(), 1u);
  EXPECT_EQ(FForm.Activations.size(), 1u);  // the slots after the loss were not tried
  EXPECT_FALSE(FForm.GetTestRunning());
  EXPECT_FALSE(FForm.StockAudioPlayer->GetActive());
  EXPECT_TRUE(FForm.CommandsEnabled());
  EXPECT_FALSE(FForm.btnRecord->isEnabled());  // no slot was chosen
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  // With the device back, the next test plays every slot.
  winmm::virt::ClearFailures();
  FForm.BitBtn1->click();
  EXPECT_EQ(FForm.Activations.size(), 4u);
  EXPECT_EQ(FShell.Messages.size(), 1u);
}

TEST_F(WindowSession, MachineWithoutSoundDevicesSaysSoOnce) {
  winmm::virt::Config config;
  config.Inputs.clear();
  config.Outputs.clear();
  winmm::virt::Configure(config);
  ChooseSlotWith(0, std::string(800, '\x80'));
  FForm.btnRecord->click();
  FForm.btnPlay->click();
  QApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_EQ(FShell.Messages.size(), 2u);  // one for each command, nothing more
  EXPECT_EQ(FDir.Read("Sound 1.WAV"), Wav8k(std::string(800, '\x80')));  // the take is kept
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  EXPECT_TRUE(FForm.btnRecord->isEnabled());
  EXPECT_TRUE(FForm.btnPlay->isEnabled());
  EXPECT_TRUE(FForm.CommandsEnabled());
}

TEST_F(WindowSession, DeviceLostWhileRecordingIsShownAndTheRecordingStillStops) {
  TDeviceErrorRoute route(FForm);
  winmm::virt::Config config = winmm::virt::CurrentConfig();
  config.AtEnd = winmm::virt::CaptureEnd::Silence;
  winmm::virt::Configure(config);
  winmm::virt::InjectFailure(winmm::WaveDir::In, winmm::WaveCall::Transfer, MMSYSERR_NODRIVER, -1,
                             2400);
  winmm::virt::SetCaptureBytes(std::string(2400, '\xF0'));
  DoubleClickRow(FForm.ListBox1, 6);
  FForm.btnRecord->click();
  // The loss reaches the user through the window's message box, not a console, and the
  // recording ends by itself: the device gives no more sound.
  ASSERT_TRUE(PumpUntil([&] { return !FShell.Messages.empty(); }));
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnRecord->isEnabled() && FForm.CommandsEnabled(); }));
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  EXPECT_FALSE(FForm.StockAudioRecorder->GetActive());
  // Every buffer still queued on the lost device fails; the user is told once, and then
  // that the 2400 samples captured before the loss were kept as the take.
  ASSERT_EQ(FShell.Messages.size(), 2u);
  EXPECT_FALSE(FShell.Messages[0].empty());
  EXPECT_EQ(FShell.Messages[1],
            "The recording was cut short after 0.30 seconds: what was "
            "captured is kept in \"" +
                FDir.Path("Sound 7.WAV") + "\".");
  const std::string take = FDir.Read("Sound 7.WAV");
  EXPECT_EQ(take.substr(46), std::string(2400, '\xF0'));
  EXPECT_TRUE(FDir.Exists("Sound 7.vox"));
  // The next recording loses its device before any sound: reported again, and this time
  // nothing replaces the take.
  FForm.btnRecord->click();
  ASSERT_TRUE(PumpUntil([&] { return FShell.Messages.size() == 4; }))
      << ::testing::PrintToString(FShell.Messages);
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnRecord->isEnabled() && FForm.CommandsEnabled(); }));
  EXPECT_EQ(FShell.Messages[3], "Nothing was recorded into \"" + FDir.Path("Sound 7.WAV") +
                                    "\": the recording failed before any sound came in, and "
                                    "the slot's files are as they were.");
  EXPECT_EQ(FDir.Read("Sound 7.WAV"), take);
  EXPECT_FALSE(FDir.Exists("Sound 7 (unfinished recording).WAV"));
  // A device lost, and what it cost the take, are errors (the critical icon).
  EXPECT_EQ(FShell.Severities, std::vector<TMessageSeverity>(4, msError));
}

TEST_F(WindowSession, ClosingWritesBackOnlyItsOwnNamesUnderTheFolderLock) {
  // While the window is open, another run names two slots and the window imports into one.
  const std::string ini = FDir.Path("ZelvorSound.ini");
  ASSERT_TRUE(WritePrivateProfileString("SoundFiles", "Name20", "FromCli", ini));
  ASSERT_TRUE(WritePrivateProfileString("SoundFiles", "Name3", "Other", ini));
  const std::string tone = FDir.Path("tone.flac");
  ASSERT_TRUE(WriteSound(tone, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 1, 0.5, Tone(440, 0.5)));
  FForm.ImportIntoSlots(5, {tone});
  ASSERT_EQ(FForm.ListBox1->item(5)->text().toStdString(), "tone");
  // A folder another run keeps busy: the names are not written, and the user is told.
  const std::string before = FDir.Read("ZelvorSound.ini");
  TFolderLock other(FDir.Folder());
  ASSERT_TRUE(other.TryLock());
  FForm.SetCloseLockWait(std::chrono::milliseconds(100));
  bool canClose = false;
  FForm.FormCloseQuery(canClose);
  EXPECT_TRUE(canClose);
  ASSERT_EQ(FShell.Messages.size(), 1u);
  EXPECT_EQ(FShell.Messages[0], "The names of the sound list were not written to \"" + ini +
                                    "\": another run of ZelvorSound kept the folder busy.");
  EXPECT_EQ(FDir.Read("ZelvorSound.ini"), before);
  other.Unlock();
  // Free again: its own name and the missing ones go back; the other run's names stay.
  EXPECT_TRUE(FForm.close());
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name20", "", ini), "FromCli");
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name3", "", ini), "Other");
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name5", "", ini), "tone");
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name0", "", ini), "Sound 1");
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name127", "", ini), "Sound 128");
  EXPECT_EQ(FShell.Messages.size(), 1u);
}

// The window records with its two buffers of a tenth of a second; a window whose thread is
// held up for a second and a half (a slow disk, a long redraw) still loses no sample of a
// device that keeps real time: the take is as long as the recording and holds every byte.
// A gap the driver does report (an overrun, an underrun) is told once, after the cycle.
TEST_F(WindowSession, ABusyWindowLosesNoSampleAndAGapIsToldOnceAfterwards) {
  winmm::virt::Config config = winmm::virt::CurrentConfig();
  config.Pace = winmm::virt::Pacing::RealTime;
  winmm::virt::Configure(config);
  // Loud throughout, so the take's trimming keeps every sample; the order shows.
  auto tone = [](uint64_t at) { return static_cast<char>(0xE0 + at % 31); };
  winmm::virt::SetCaptureSignal([&](uint64_t offset, char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) data[i] = tone(offset + i);
  });
  DoubleClickRow(FForm.ListBox1, 8);
  QElapsedTimer lasted;
  lasted.start();
  FForm.btnRecord->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.StockAudioRecorder->DataBytes() >= 2400; }));
  QThread::msleep(1500);  // the window's thread is held up; the device goes on
  ASSERT_TRUE(PumpUntil([&] {
    return FForm.StockAudioRecorder->DataBytes() + 1600 >= winmm::virt::CapturedBytes();
  }));
  const double seconds = lasted.elapsed() / 1000.0;
  FForm.btnStop->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnRecord->isEnabled() && FForm.CommandsEnabled(); }));
  const std::string take = FDir.Read("Sound 9.WAV").substr(46);
  std::string expected;
  for (size_t i = 0; i < take.size(); ++i) expected += tone(i);
  EXPECT_TRUE(take == expected) << "a sample is missing or out of place";
  EXPECT_EQ(take.size(), winmm::virt::CapturedBytes());
  // The take holds the time the window was held up: at most a few chunks short of it all.
  EXPECT_GE(take.size(), static_cast<size_t>((seconds - 0.5) * 8000)) << seconds << " s";
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();

  const struct {
    winmm::WaveDir Dir;
    QPushButton* Start;
    const char* Said;
  } gaps[] = {
      {winmm::WaveDir::In, FForm.btnRecord, "0.6 s of sound was lost while recording"},
      {winmm::WaveDir::Out, FForm.btnPlay, "The sound broke off for 0.6 s while playing"},
  };
  for (const auto& gap : gaps) {
    FShell.Messages.clear();
    ChooseSlotWith(9, std::string(4 * 8000, '\xF0'));  // plays longer than it is watched
    winmm::virt::InjectGap(gap.Dir, 0.6);
    gap.Start->click();
    ASSERT_TRUE(PumpUntil([&] { return FForm.btnStop->isEnabled(); }));
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(FShell.Messages.empty()) << "told before the end: " << FShell.Messages.front();
    FForm.btnStop->click();
    ASSERT_TRUE(PumpUntil([&] { return FForm.btnRecord->isEnabled() && FForm.CommandsEnabled(); }));
    EXPECT_EQ(FShell.Messages, std::vector<std::string>{gap.Said});
  }
}

// Another run or an editor changes "ZelvorSound.ini" while the window is open: a safe write
// (a new file renamed over it), an edit in place, a file that cannot be read, one removed.
// The list follows what it can read, keeping the current slot and the highlight, and says on
// a status line (not brought forward) what it cannot; closing still writes back only what
// is the window's own.
TEST_F(WindowSession, ChangesFromOutsideAreSeenKeepingTheSlotAndTheHighlight) {
  const std::string ini = FDir.Path("ZelvorSound.ini");
  const std::string tone = FDir.Path("tone.flac");
  ASSERT_TRUE(WriteSound(tone, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 1, 0.5, Tone(440, 0.5)));
  FForm.ImportIntoSlots(5, {tone});  // the window's own name for slot 5
  FDir.Write("Renamed.WAV", Wav8k(std::string(800, '\x80')));
  DoubleClickRow(FForm.ListBox1, 3);
  FForm.ListBox1->setCurrentRow(7);
  namespace fs = std::filesystem;
  const struct {
    const char* What;
    std::function<void()> Change;
    int Row;
    const char* Shows;
    const char* Said;  // the end of the status line, or nothing
  } changes[] = {
      {"a safe write", [&] { WritePrivateProfileString("SoundFiles", "Name3", "Renamed", ini); }, 3,
       "Renamed", nullptr},
      {"an edit in place",
       [&] { std::ofstream(ini) << "[SoundFiles]\nName3=Renamed\nName5=Other\nName9=Edited\n"; }, 9,
       "Edited", nullptr},
      {"NUL bytes",
       [&] { FDir.Write("ZelvorSound.ini", std::string("[SoundFiles]\0Name9=X", 20)); }, 9,
       "Edited", "holds NUL bytes); the sound list keeps the names it shows."},
      {"a folder in its place", [&] { fs::remove(ini), fs::create_directory(ini); }, 9, "Edited",
       "cannot be read; the sound list keeps the names it shows."},
      {"removed", [&] { fs::remove(ini); }, 9, "Edited", "and closing writes them into a new one."},
      {"written again",
       [&] { FDir.Write("ZelvorSound.ini", "[SoundFiles]\nName3=Renamed\nName5=Other\n"); }, 9,
       "Sound 10", nullptr},
  };
  for (const auto& c : changes) {
    const size_t lines = FShell.StatusLines.size();
    c.Change();
    PumpUntil([&] { return FShell.StatusLines.size() > lines; }, c.Said ? 5000 : 800);
    PumpUntil([&] { return FForm.ListBox1->item(c.Row)->text() == c.Shows; }, 5000);
    EXPECT_EQ(FForm.ListBox1->item(c.Row)->text().toStdString(), c.Shows) << c.What;
    ASSERT_EQ(FShell.StatusLines.size(), lines + (c.Said ? 1 : 0)) << c.What;
    if (c.Said) {
      EXPECT_TRUE(FShell.StatusLines.back().ends_with(c.Said)) << FShell.StatusLines.back();
    }
    EXPECT_FALSE(FShell.StatusShown) << c.What;
    EXPECT_EQ(FForm.CurrentSlot(), 3) << c.What;
    EXPECT_EQ(FForm.ListBox1->currentRow(), 7) << c.What;
  }
  // While a device works the list stays as it is; the change shows once it is done.
  winmm::virt::SetPlaybackBudget(100);
  FForm.btnPlay->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnStop->isEnabled(); }));
  WritePrivateProfileString("SoundFiles", "Name9", "Later", ini);
  PumpUntil([] { return false; }, 800);
  EXPECT_EQ(FForm.ListBox1->item(9)->text(), "Sound 10");
  winmm::virt::SetPlaybackBudget(-1);
  EXPECT_TRUE(PumpUntil([&] { return FForm.ListBox1->item(9)->text() == "Later"; }, 5000));
  // The current slot follows its new name; slot 5's name is the other run's now.
  EXPECT_EQ(FForm.WaveFile->text(), "Renamed");
  EXPECT_EQ(FForm.Context().CurrentSoundFileName, FDir.Path("Renamed.WAV"));
  EXPECT_TRUE(FForm.btnPlay->isEnabled());
  EXPECT_EQ(FForm.ListBox1->item(5)->text(), "Other");
  EXPECT_TRUE(FForm.close());
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name5", "", ini), "Other");
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name3", "", ini), "Renamed");
}

// "Speak text…": the installed voices, the speed, the name following the text until one is
// typed, and "Listen", which plays the text and writes nothing; OK speaks it into the slot.
TEST_F(WindowSession, SpeakTextOffersTheVoicesASpeedANameAndListening) {
  namespace fs = std::filesystem;
  auto files = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(FDir.Folder())) names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  FForm.ListBox1ContextPopup(FForm.ListBox1->visualItemRect(FForm.ListBox1->item(4)).center());
  FForm.PopupMenu1->close();
  WhenModal([&](QWidget* w) {
    auto* dialog = static_cast<TSpeakTextDialog*>(w);
    QComboBox* voices = dialog->VoiceList;
    EXPECT_GT(voices->count(), 20);
    const int en = voices->findData("en");
    ASSERT_GE(en, 0);
    EXPECT_TRUE(voices->itemText(en).startsWith("en-gb  English"))
        << voices->itemText(en).toStdString();
    EXPECT_EQ(voices->currentIndex(), en);
    EXPECT_EQ(dialog->SpeedSlider->minimum(), 80);
    EXPECT_EQ(dialog->SpeedSlider->maximum(), 450);
    QTest::keyClicks(dialog->TextEdit, "Battery's low!");
    EXPECT_EQ(dialog->NameEdit->text(), "Batterys low");
    const std::vector<std::string> before = files();
    dialog->ListenButton->click();
    EXPECT_TRUE(PumpUntil([] { return winmm::virt::PlayedBytes().size() > 4000; }));
    EXPECT_EQ(files(), before);
    dialog->NameEdit->clear();
    QTest::keyClicks(dialog->NameEdit, "Low");
    QTest::keyClicks(dialog->TextEdit, "!");
    EXPECT_EQ(dialog->NameEdit->text(), "Low");
    voices->setCurrentIndex(voices->findData("de"));
    dialog->SpeedSlider->setValue(300);
    dialog->accept();
  });
  FForm.SpeakText1->trigger();
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
  EXPECT_EQ(FForm.ListBox1->item(4)->text(), "Low");
  EXPECT_TRUE(FDir.Exists("Low.WAV"));
  // The next time starts with that voice and speed.
  WhenModal([&](QWidget* w) {
    auto* dialog = static_cast<TSpeakTextDialog*>(w);
    EXPECT_EQ(dialog->GetSpeech().Voice, "de");
    EXPECT_EQ(dialog->GetSpeech().WordsPerMinute, 300);
    dialog->reject();
  });
  FForm.SpeakText1->trigger();
}

// The keys act as their buttons: Space on the list plays and stops, Ctrl+R records, Esc
// stops, Ctrl+B builds the package and Ctrl+T tests it.
TEST_F(WindowSession, KeysActAsTheirButtons) {
  FDir.Write("ZelvorSound.ini", "[SourceFileNames]\nName2=Sound 3.WAV\n");
  ChooseSlotWith(2, std::string(4 * 8000, '\xF0'));
  winmm::virt::SetPlaybackBudget(800);  // the playback holds until Space stops it
  std::string tone;
  for (int i = 0; i < 2400; ++i) tone += (i / 8) % 2 ? '\xE0' : '\x20';
  winmm::virt::SetCaptureBytes(tone);
  QWidget* list = FForm.ListBox1;
  list->setFocus();
  auto idle = [&] { return FForm.btnRecord->isEnabled() && FForm.CommandsEnabled(); };
  auto busy = [&] { return FForm.btnStop->isEnabled(); };  // a device's activation was handled
  const struct {
    QWidget* To;
    QKeySequence Key;
    std::function<bool()> Done;
  } keys[] = {
      {list, Qt::Key_Space, busy},
      {list, Qt::Key_Space,
       [&] {
         winmm::virt::SetPlaybackBudget(-1);
         return idle();
       }},
      {&FForm, Qt::CTRL | Qt::Key_R,
       [&] { return busy() && FForm.StockAudioRecorder->DataBytes() >= tone.size(); }},
      {&FForm, Qt::Key_Escape, [&] { return idle() && FDir.Exists("Sound 3.vox"); }},
      {&FForm, Qt::CTRL | Qt::Key_B, [&] { return FDir.Exists("Sounds.zvd"); }},
      {&FForm, Qt::CTRL | Qt::Key_T, [&] { return FForm.Activations.size() == 2; }},
  };
  for (const auto& k : keys) {
    QTest::keySequence(k.To, k.Key);
    EXPECT_TRUE(PumpUntil(k.Done, 5000)) << k.Key.toString().toStdString();
  }
  EXPECT_EQ(FShell.Messages.size(), 1u) << FShell.Messages.front();  // the builder's
  EXPECT_EQ(FForm.BitBtn1->toolTip(), "Test Sounds.zvd file (Ctrl+T)");
}

// "Open folder…": the folder in view at the top, the others used last below; opening one
// works there as a start would, and one that is gone is said and forgotten.
TEST_F(WindowSession, OpenFolderWorksThereAsAStartWouldAndForgetsOneThatIsGone) {
  TempDir other;
  other.Write("ZelvorSound.ini", "[SoundFiles]\nName0=Elsewhere\n");
  const std::string gone = other.Folder() + "gone/";
  for (const std::string& f : {gone, other.Folder(), FDir.Folder()}) UseRecentFolder(f);
  DoubleClickRow(FForm.ListBox1, 1);
  FForm.OpenFolder1->popup({});
  const QList<QAction*> entries = FForm.OpenFolder1->actions();
  FForm.OpenFolder1->close();
  ASSERT_EQ(entries.size(), 5);  // this folder, a line, the other two, "Choose folder…"
  EXPECT_EQ(entries[0]->text().toStdString(), FDir.Folder());
  EXPECT_EQ(FForm.ListBox1->toolTip().toStdString(), FDir.Folder());
  entries[3]->trigger();
  EXPECT_EQ(FShell.Messages,
            std::vector<std::string>{"The folder \"" + gone + "\" is not there any more."});
  EXPECT_EQ(RecentFolders(), (std::vector<std::string>{FDir.Folder(), other.Folder()}));
  entries[2]->trigger();
  EXPECT_EQ(FForm.ListBox1->item(0)->text(), "Elsewhere");
  EXPECT_EQ(FForm.CurrentSlot(), -1);
  EXPECT_FALSE(FForm.btnRecord->isEnabled());
  EXPECT_EQ(FForm.ListBox1->toolTip().toStdString(), other.Folder());
  EXPECT_TRUE(other.Exists("WAV Export"));
  EXPECT_EQ(RecentFolders().front(), other.Folder());
  // The folder left got its names as at closing; the one opened is watched now.
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name1", "", FDir.Path("ZelvorSound.ini")),
            "Sound 2");
  WritePrivateProfileString("SoundFiles", "Name0", "Changed", other.Path("ZelvorSound.ini"));
  EXPECT_TRUE(PumpUntil([&] { return FForm.ListBox1->item(0)->text() == "Changed"; }, 5000));
}

}  // namespace

namespace {

// A key pressed on a widget with the focus in its active window, as the window system
// delivers it (shortcuts included).
void PressKey(QWidget* w, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QApplication::setActiveWindow(w->window());  // as it is again after a dialog
  w->setFocus();
  QKeyEvent press(QEvent::KeyPress, key, modifiers), release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(w, &press);
  QApplication::sendEvent(w, &release);
}

}  // namespace

TEST_F(WindowSession, SlotCommandsUndoARecordingRenameMoveAndClear) {
  QListWidget* list = FForm.ListBox1;
  const std::string ini = FDir.Path("ZelvorSound.ini");
  auto record = [&](char level) {
    winmm::virt::SetCaptureBytes(std::string(1600, '\x80') + std::string(2400, level));
    FForm.btnRecord->click();
    ASSERT_TRUE(PumpUntil([&] { return FForm.StockAudioRecorder->DataBytes() >= 4000; }));
    FForm.btnStop->click();
    ASSERT_TRUE(PumpUntil([&] { return FForm.btnRecord->isEnabled(); }));
  };
  DoubleClickRow(list, 1);
  record('\xF0');
  const std::string first = FDir.Read("Sound 2.WAV"), firstVox = FDir.Read("Sound 2.vox");
  record('\x10');
  ASSERT_NE(FDir.Read("Sound 2.WAV"), first);
  // Ctrl+Z brings the first take back byte for byte; the second is kept in its turn.
  PressKey(&FForm, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(FDir.Read("Sound 2.WAV"), first);
  EXPECT_EQ(FDir.Read("Sound 2.vox"), firstVox);

  // F2 renames the current row: its take and the chosen file go with it.
  WhenModal([](QWidget* w) {
    auto* dialog = qobject_cast<QInputDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    dialog->setTextValue("Greeting");
    dialog->done(QDialog::Accepted);
  });
  PressKey(list, Qt::Key_F2);
  EXPECT_EQ(list->item(1)->text(), "Greeting");
  EXPECT_EQ(FDir.Read("Greeting.WAV"), first);
  EXPECT_EQ(FForm.Context().CurrentSoundFileName, FDir.Path("Greeting.WAV"));
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name1", "", ini), "Greeting");

  // Alt+Up: the slot and the one above swap; the choice and the highlight go with it.
  PressKey(list, Qt::Key_Up, Qt::AltModifier);
  EXPECT_EQ(list->item(0)->text(), "Greeting");
  EXPECT_EQ(list->item(1)->text(), "Sound 1");
  EXPECT_EQ(FForm.CurrentSlot(), 0);
  EXPECT_EQ(list->currentRow(), 0);
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name1", "", ini), "Sound 1");

  // Delete asks first; "No" changes nothing, "Yes" sets the source to NONE.
  for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
    WhenModal([answer](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      box->button(answer)->click();
    });
    PressKey(list, Qt::Key_Delete);
    EXPECT_EQ(GetPrivateProfileString("SourceFileNames", "Name0", "", ini),
              answer == QMessageBox::Yes ? "NONE" : "");
  }

  // "Earlier takes…" lists the second take under the slot's new name; "Use this take"
  // brings it back.
  WhenModal([](QWidget* w) {
    auto* takes = w->findChild<QTreeWidget*>("TakeList");
    ASSERT_NE(takes, nullptr);
    EXPECT_EQ(takes->topLevelItemCount(), 1);
    w->findChild<QPushButton*>("UseThisTake")->click();
  });
  FForm.ListBox1ContextPopup(list->visualItemRect(list->item(0)).center());
  ASSERT_TRUE(FForm.EarlierTakes1->isEnabled());
  FForm.PopupMenu1->close();
  FForm.EarlierTakes1->trigger();
  EXPECT_NE(FDir.Read("Greeting.WAV"), first);
  const std::vector<THistoryEntry> kept = ListHistory(FDir.Folder(), "Greeting");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(FDir.Read(kept[0].Take.substr(FDir.Folder().size())), first);
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
}
