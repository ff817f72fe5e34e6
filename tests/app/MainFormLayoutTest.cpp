#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "FakeShell.h"
#include "TempDir.h"
#include "app/Main.h"
#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"

namespace {

struct TControl {
  const char* Name;
  QRect Geometry;
  const char* Caption;
  bool Enabled;
  bool Visible;
};

// The window as its users know it: every control where it sits, with its caption and state.
const TControl kControls[] = {
    {"btnRecord", {19, 25, 86, 25}, "Record", false, true},
    {"btnStop", {111, 25, 90, 25}, "Stop", false, true},
    {"btnPlay", {207, 25, 90, 25}, "Play", false, true},
    {"AudioLevel", {19, 67, 278, 17}, nullptr, true, true},
    {"Button1X", {152, 88, 75, 25}, "Button1X", true, true},
    {"PositionLabel", {19, 108, 40, 13}, "Position:", true, true},
    {"Format", {19, 127, 278, 21}, nullptr, true, false},
    {"Button2", {16, 176, 153, 25}, "Create Zelvor sound file", true, true},
    {"BitBtn1", {16, 216, 153, 25}, "Test Sounds.zvd file", true, true},
    {"ListBox1", {320, 16, 169, 193}, nullptr, true, true},
    {"Label1",
     {320, 216, 177, 33},
     "If using externaly created WAV files, record them mono, 8 bits, 8Khz",
     true,
     true},
};

class MainFormLayout : public ::testing::Test {
 protected:
  TempDir FDir;
  TFakeShell FShell;
  TMainForm FForm{FDir.Folder(), &FShell};
};

TEST_F(MainFormLayout, WindowCaptionSizePositionAndBorder) {
  EXPECT_EQ(FForm.objectName(), "MainForm");
  EXPECT_EQ(FForm.windowTitle(), "Zelvor Sound Recorder version 1.0.0.1");
  EXPECT_EQ(FForm.size(), QSize(514, 254));
  EXPECT_EQ(FForm.minimumSize(), QSize(514, 254));
  EXPECT_EQ(FForm.maximumSize(), QSize(514, 254));
  EXPECT_EQ(FForm.pos(), QPoint(271, 278));
  Qt::WindowFlags flags = FForm.windowFlags();
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_EQ(FForm.font().pixelSize(), 11);
  // Resizing is refused: the client stays at its fixed size.
  FForm.show();
  FForm.resize(800, 600);
  EXPECT_EQ(FForm.size(), QSize(514, 254));
}

TEST_F(MainFormLayout, EveryControlHasItsNameGeometryCaptionAndState) {
  for (const TControl& c : kControls) {
    SCOPED_TRACE(c.Name);
    auto* w = FForm.findChild<QWidget*>(c.Name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->geometry(), c.Geometry);
    EXPECT_EQ(w->isEnabled(), c.Enabled);
    EXPECT_EQ(!w->isHidden(), c.Visible);
    if (c.Caption) {
      QString text;
      if (auto* b = qobject_cast<QPushButton*>(w)) text = b->text();
      if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
      EXPECT_EQ(text.toStdString(), c.Caption);
    }
  }
  EXPECT_TRUE(FForm.Label1->wordWrap());
}

TEST_F(MainFormLayout, AutoSizedLabelsAndLevelBarStartEmpty) {
  EXPECT_EQ(FForm.WaveFile->objectName(), "WaveFile");
  EXPECT_EQ(FForm.WaveFile->pos(), QPoint(19, 51));
  EXPECT_EQ(FForm.WaveFile->text(), "");
  EXPECT_EQ(FForm.Position->objectName(), "Position");
  EXPECT_EQ(FForm.Position->pos(), QPoint(61, 108));
  EXPECT_EQ(FForm.Position->text(), "0.00");
  EXPECT_EQ(FForm.AudioLevel->minimum(), 0);
  EXPECT_EQ(FForm.AudioLevel->maximum(), 100);
  EXPECT_EQ(FForm.AudioLevel->value(), 0);
  // Captions are shown as typed: no markup, no mnemonics.
  EXPECT_EQ(FForm.WaveFile->textFormat(), Qt::PlainText);
  EXPECT_EQ(FForm.Position->textFormat(), Qt::PlainText);
}

TEST_F(MainFormLayout, TabOrderFollowsTheGivenNumbers) {
  const std::vector<std::string> expected = {"Format",  "btnRecord",  "btnPlay",
                                             "btnStop", "AudioLevel", "ListBox1",
                                             "Button2", "Button1X",   "BitBtn1"};
  std::vector<std::string> seen;
  QWidget* w = FForm.Format;
  do {
    std::string name = w->objectName().toStdString();
    if (std::find(expected.begin(), expected.end(), name) != expected.end()) seen.push_back(name);
    w = w->nextInFocusChain();
  } while (w != FForm.Format && seen.size() < 20);
  EXPECT_EQ(seen, expected);
}

TEST_F(MainFormLayout, SoundListHasOneRowPerSlotAndNoSelection) {
  ASSERT_EQ(FForm.ListBox1->count(), 128);
  EXPECT_EQ(FForm.ListBox1->currentRow(), -1);
  EXPECT_TRUE(FForm.ListBox1->selectedItems().isEmpty());
  FForm.show();
  EXPECT_EQ(FForm.ListBox1->visualItemRect(FForm.ListBox1->item(0)).height(), 13);
}

TEST_F(MainFormLayout, FormatListHoldsTheTwentyFormatsAndTheRecorderRecords8kHz8Bit) {
  ASSERT_EQ(FForm.Format->count(), 20);
  EXPECT_FALSE(FForm.Format->isEditable());
  EXPECT_EQ(FForm.Format->currentIndex(), 0);
  EXPECT_EQ(FForm.StockAudioRecorder->GetPCMFormat(), Mono8Bit8000Hz);
  EXPECT_EQ(FForm.StockAudioRecorder->GetBufferLength(), 100);
  EXPECT_EQ(FForm.StockAudioPlayer->GetBufferLength(), 100);
  // Item k is format k + 1: the third is 8 kHz 16-bit mono.
  EXPECT_NE(FForm.Format->itemText(2).indexOf("16 Bit, Mono"), -1);
  EXPECT_NE(FForm.Format->itemText(0).indexOf("8 Bit, Mono"), -1);
}

// A window whose handlers only say that they ran, to see which control calls which.
class TBindingForm : public TMainForm {
 public:
  using TMainForm::TMainForm;
  std::vector<std::string> Calls;
  void FormatChange() override { Calls.push_back("FormatChange"); }
  void btnRecordClick() override { Calls.push_back("btnRecordClick"); }
  void btnPlayClick() override { Calls.push_back("btnPlayClick"); }
  void btnPauseClick() override { Calls.push_back("btnPauseClick"); }
  void btnStopClick() override { Calls.push_back("btnStopClick"); }
  void StockAudioPlayerActivate(TComponent*) override { Calls.push_back("PlayerActivate"); }
  void StockAudioPlayerDeactivate(TComponent*) override { Calls.push_back("PlayerDeactivate"); }
  void StockAudioPlayerLevel(TComponent*, int32_t) override { Calls.push_back("PlayerLevel"); }
  void StockAudioRecorderActivate(TComponent*) override { Calls.push_back("RecorderActivate"); }
  void StockAudioRecorderDeactivate(TComponent*) override { Calls.push_back("RecorderDeactivate"); }
  void StockAudioRecorderLevel(TComponent*, int32_t) override { Calls.push_back("RecorderLevel"); }
  void Button1Click() override { Calls.push_back("Button1Click"); }
  void ListBox1DblClick() override { Calls.push_back("ListBox1DblClick"); }
  void Button2Click() override { Calls.push_back("Button2Click"); }
  void Button1XClick() override { Calls.push_back("Button1XClick"); }
  void DosCommand1Terminated(TComponent*) override { Calls.push_back("DosCommand1Terminated"); }
  void BitBtn1Click() override { Calls.push_back("BitBtn1Click"); }
};

TEST(MainFormBinding, EachControlAndComponentCallsItsHandler) {
  TempDir dir;
  TFakeShell shell;
  TBindingForm form(dir.Folder(), &shell);
  form.show();
  for (QPushButton* b : {form.btnRecord, form.btnStop, form.btnPlay}) b->setEnabled(true);
  for (QPushButton* b :
       {form.btnRecord, form.btnStop, form.btnPlay, form.Button1X, form.Button2, form.BitBtn1})
    b->click();
  emit form.Format->activated(3);
  DoubleClickRow(form.ListBox1, 2);
  form.StockAudioPlayer->OnActivate(form.StockAudioPlayer);
  form.StockAudioPlayer->OnDeactivate(form.StockAudioPlayer);
  form.StockAudioPlayer->OnLevel(form.StockAudioPlayer, 5);
  form.StockAudioRecorder->OnActivate(form.StockAudioRecorder);
  form.StockAudioRecorder->OnDeactivate(form.StockAudioRecorder);
  form.StockAudioRecorder->OnLevel(form.StockAudioRecorder, 5);
  form.DosCommand1->OnTerminated(form.DosCommand1);
  EXPECT_EQ(form.Calls, (std::vector<std::string>{
                            "btnRecordClick", "btnStopClick", "btnPlayClick", "Button1XClick",
                            "Button2Click", "BitBtn1Click", "FormatChange", "ListBox1DblClick",
                            "PlayerActivate", "PlayerDeactivate", "PlayerLevel", "RecorderActivate",
                            "RecorderDeactivate", "RecorderLevel", "DosCommand1Terminated"}));
  // Selecting a format from code is no change of the user's.
  form.Format->setCurrentIndex(5);
  EXPECT_EQ(form.Calls.size(), 15u);
}

TEST(MainFormBinding, AnErrorEscapingAHandlerIsShownAndTheWindowGoesOn) {
  struct TFailingForm : TMainForm {
    using TMainForm::TMainForm;
    void Button2Click() override { throw Exception("Disk full"); }
  };
  TempDir dir;
  TFakeShell shell;
  TFailingForm form(dir.Folder(), &shell);
  form.Button2->click();
  form.Button2->click();
  EXPECT_EQ(shell.Messages, (std::vector<std::string>{"Disk full", "Disk full"}));
  // A real one: "Record" with a name that cannot be created (nothing chosen yet).
  form.btnRecord->setEnabled(true);
  form.btnRecord->click();
  ASSERT_EQ(shell.Messages.size(), 3u);
  EXPECT_EQ(shell.Messages[2], "Cannot create file ");
  EXPECT_FALSE(form.btnStop->isEnabled());  // no activation took place
}

}  // namespace
