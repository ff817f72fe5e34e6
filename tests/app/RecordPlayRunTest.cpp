// Recording a take and playing it back through the window's buttons, on the virtual sound
// device: the buttons switch as the devices open and close, and the finished take is coded.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <cstdlib>
#include <functional>
#include <string>

#include "AppTestSupport.h"
#include "FakeShell.h"
#include "TempDir.h"
#include "app/Main.h"
#include "app/MessageDrain.h"
#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "platform/winmm_driver.h"

namespace {

// Dispatches events until cond holds; false after a few seconds without it.
bool PumpUntil(const std::function<bool()>& cond) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > 10000) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

class RecordPlayRun : public ::testing::Test {
 protected:
  void SetUp() override { ShowOnVirtualDevice(FForm); }
  void TearDown() override { EndVirtualDevice(); }
  TempDir FDir;
  TFakeShell FShell;
  TMainForm FForm{FDir.Folder(), &FShell};
};

TEST_F(RecordPlayRun, RecordStopAndPlayBack) {
  // 3.5 seconds at 8 kHz 8-bit mono, the window's recording format: half a second of
  // silence, two seconds of a loud square wave, a second of silence.
  std::string signal(4000, '\x80');
  for (int i = 0; i < 16000; ++i) signal += (i / 8) % 2 ? '\x20' : '\xE0';
  signal += std::string(8000, '\x80');
  ASSERT_EQ(signal.size(), 28000u);
  winmm::virt::SetCaptureBytes(signal);

  DoubleClickRow(FForm.ListBox1, 0);
  const std::string take = FDir.Folder() + "Sound 1.WAV";
  ASSERT_EQ(FForm.Context().CurrentSoundFileName, take);
  FForm.btnRecord->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnStop->isEnabled(); })) << "no activation";
  EXPECT_FALSE(FForm.btnRecord->isEnabled());
  EXPECT_FALSE(FForm.btnPlay->isEnabled());
  EXPECT_EQ(FForm.focusWidget(), FForm.btnStop);

  ASSERT_TRUE(PumpUntil([&] { return winmm::virt::CapturedBytes() >= signal.size(); }));
  FForm.btnStop->click();
  ASSERT_TRUE(PumpUntil([&] { return FForm.btnRecord->isEnabled(); })) << "no deactivation";
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  EXPECT_TRUE(FForm.btnPlay->isEnabled());
  EXPECT_EQ(FForm.focusWidget(), FForm.btnPlay);
  EXPECT_EQ(FForm.Position->text(), "0.00");
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
  // The take was trimmed and coded beside itself.
  EXPECT_TRUE(FDir.Exists("Sound 1.vox"));
  const std::string kept = FDir.Read("Sound 1.WAV");
  ASSERT_GT(kept.size(), 46u);
  EXPECT_LT(kept.size(), 46u + signal.size());

  // Playing the take back: the same switching, ending by itself.
  winmm::virt::ClearPlayed();
  FForm.btnPlay->click();
  ASSERT_TRUE(PumpUntil([&] {
    return winmm::virt::PlayedBytes().size() >= kept.size() - 46 &&
           !FForm.StockAudioPlayer->GetActive() && FForm.btnRecord->isEnabled();
  })) << "playback hung";
  EXPECT_EQ(FForm.focusWidget(), FForm.btnPlay);
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  EXPECT_EQ(winmm::virt::PlayedBytes().size(), kept.size() - 46);
  EXPECT_TRUE(FShell.Messages.empty());
}

}  // namespace
