// "Test Sounds.zvd file" on the virtual sound device: each present slot is decoded into
// "testvox.wav" and played to its end before the next one.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "FakeShell.h"
#include "TempDir.h"
#include "app/Main.h"
#include "app/MessageDrain.h"
#include "audio/WavePlayers.h"
#include "platform/winmm_driver.h"
#include "rtl/SysUtils.h"

namespace {

void PutU32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A package with the given slots present, slot i holding i + 1 code bytes 0x11.
std::string Package(std::initializer_list<int> present) {
  std::string p(512, '\0');
  for (int slot : present) {
    PutU32(p, 4 * slot, static_cast<uint32_t>(p.size()));
    std::string count(4, '\0');
    PutU32(count, 0, static_cast<uint32_t>(slot + 1));
    p += count + std::string(static_cast<size_t>(slot + 1), '\x11');
  }
  return p;
}

class TCountingForm : public TMainForm {
 public:
  using TMainForm::TMainForm;
  std::vector<size_t> PlayedSizes;  // the size of "testvox.wav" at each activation
  std::vector<int> Highlighted;     // the list's selected row at each activation
  void StockAudioPlayerActivate(TComponent* Sender) override {
    PlayedSizes.push_back(TempDirSize());
    const auto selected = ListBox1->selectedItems();
    Highlighted.push_back(selected.size() == 1 ? ListBox1->row(selected[0]) : -1);
    TMainForm::StockAudioPlayerActivate(Sender);
  }
  size_t TempDirSize() {
    FILE* f = std::fopen((Context().ExeFolder + "testvox.wav").c_str(), "rb");
    if (!f) return 0;
    std::fseek(f, 0, SEEK_END);
    size_t n = static_cast<size_t>(std::ftell(f));
    std::fclose(f);
    return n;
  }
};

class PackageTestRun : public ::testing::Test {
 protected:
  void SetUp() override {
    winmm::SelectDriver(winmm::VirtualDriver());
    winmm::virt::Reset();
    InstallGuiMessageDrain();
    // The wait blocks for what the device posts, as the window's shell does; the heartbeat
    // makes sure it wakes now and then, so a test that never ends fails instead of hanging.
    FHeartbeat.start(50);
    FClock.start();
    FShell.OnWait = [this] {
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
      if (FClock.elapsed() > 20000) throw Exception("the package test did not end");
    };
  }
  void TearDown() override {
    RemoveGuiMessageDrain();
    winmm::virt::Reset();
  }
  QTimer FHeartbeat;
  QElapsedTimer FClock;
  TempDir FDir;
  TFakeShell FShell;
};

TEST_F(PackageTestRun, PresentSlotsPlayInOrderAndTheLastStaysOnDisk) {
  FDir.Write("Sounds.zvd", Package({3, 7}));
  TCountingForm form(FDir.Folder(), &FShell);
  form.BitBtn1->click();
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
  // Slot 3 (4 code bytes, 8 samples) first, then slot 7 (8 code bytes, 16 samples), each
  // highlighted in the list while it plays; before the test nothing was, nor is after it.
  EXPECT_EQ(form.PlayedSizes, (std::vector<size_t>{46 + 8, 46 + 16}));
  EXPECT_EQ(form.Highlighted, (std::vector<int>{3, 7}));
  EXPECT_TRUE(form.ListBox1->selectedItems().isEmpty());
  EXPECT_EQ(form.ListBox1->currentRow(), -1);
  EXPECT_EQ(FDir.Read("testvox.wav").size(), 46u + 16u);
  EXPECT_FALSE(form.GetTestWait());
  EXPECT_FALSE(form.StockAudioPlayer->GetActive());
  // The last deactivation switched back; no slot was chosen, so "Play" has nothing to play.
  EXPECT_FALSE(form.btnPlay->isEnabled());
  EXPECT_FALSE(form.btnRecord->isEnabled());
}

TEST_F(PackageTestRun, TheHighlightReturnsWhereItWasAndTheCurrentSlotStays) {
  FDir.Write("Sounds.zvd", Package({3, 120}));
  TCountingForm form(FDir.Folder(), &FShell);
  form.show();
  DoubleClickRow(form.ListBox1, 1);  // the current slot, in bold
  form.ListBox1->setCurrentRow(5);   // the highlight, moved on by the user
  const int scroll = form.ListBox1->verticalScrollBar()->value();
  form.BitBtn1->click();
  EXPECT_EQ(form.Highlighted, (std::vector<int>{3, 120}));
  EXPECT_EQ(form.ListBox1->currentRow(), 5);
  ASSERT_EQ(form.ListBox1->selectedItems().size(), 1);
  EXPECT_EQ(form.ListBox1->selectedItems()[0], form.ListBox1->item(5));
  // Slot 120 was scrolled into view to play; the list is scrolled back.
  EXPECT_EQ(form.ListBox1->verticalScrollBar()->value(), scroll);
  EXPECT_EQ(form.CurrentSlot(), 1);
  for (int row = 0; row < 128; ++row)
    EXPECT_EQ(form.ListBox1->item(row)->font().bold(), row == 1) << row;
  EXPECT_EQ(form.Context().CurrentSoundFileName, FDir.Folder() + "Sound 2.WAV");
}

TEST_F(PackageTestRun, PackageWithoutSoundsPlaysNothing) {
  FDir.Write("Sounds.zvd", Package({}));
  TCountingForm form(FDir.Folder(), &FShell);
  form.BitBtn1->click();
  EXPECT_TRUE(form.PlayedSizes.empty());
  EXPECT_FALSE(FDir.Exists("testvox.wav"));
  EXPECT_TRUE(FShell.Messages.empty());
}

TEST_F(PackageTestRun, TruncatedPackageEndsWithTheReadErrorAfterEarlierSlots) {
  std::string p = Package({1, 9});
  p.resize(p.size() - 4);  // slot 9's record is cut short
  FDir.Write("Sounds.zvd", p);
  TCountingForm form(FDir.Folder(), &FShell);
  form.BitBtn1->click();
  EXPECT_EQ(form.PlayedSizes.size(), 1u);
  EXPECT_EQ(FShell.Messages, std::vector<std::string>{"Read beyond end of file"});
  EXPECT_FALSE(form.GetTestWait());
}

}  // namespace
