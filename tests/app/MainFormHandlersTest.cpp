#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <filesystem>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "FakeShell.h"
#include "TempDir.h"
#include "app/Main.h"
#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"

namespace {

class MainFormHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    FForm.show();
    QApplication::setActiveWindow(&FForm);
  }
  TempDir FDir;
  TFakeShell FShell;
  TMainForm FForm{FDir.Folder(), &FShell};
};

TEST_F(MainFormHandlers, ActivationAndDeactivationSwitchTheButtons) {
  // Before any slot is chosen (a package test right after the start), "Record" and "Play"
  // have nothing to act on and stay off when the device is done.
  FForm.StockAudioPlayerActivate(FForm.StockAudioPlayer);
  FForm.StockAudioPlayerDeactivate(FForm.StockAudioPlayer);
  EXPECT_FALSE(FForm.btnRecord->isEnabled());
  EXPECT_FALSE(FForm.btnPlay->isEnabled());

  FForm.Context().CurrentSoundFileName = FDir.Path("Sound 1.WAV");
  FForm.StockAudioPlayerActivate(FForm.StockAudioPlayer);
  EXPECT_FALSE(FForm.btnRecord->isEnabled());
  EXPECT_FALSE(FForm.btnPlay->isEnabled());
  EXPECT_TRUE(FForm.btnStop->isEnabled());
  EXPECT_FALSE(FForm.Format->isEnabled());
  EXPECT_EQ(FForm.focusWidget(), FForm.btnStop);

  FForm.StockAudioPlayerDeactivate(FForm.StockAudioPlayer);
  EXPECT_TRUE(FForm.btnRecord->isEnabled());
  EXPECT_TRUE(FForm.btnPlay->isEnabled());  // without looking for the file
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  EXPECT_TRUE(FForm.Format->isEnabled());
  EXPECT_EQ(FForm.focusWidget(), FForm.btnPlay);

  FForm.StockAudioRecorderActivate(FForm.StockAudioRecorder);
  EXPECT_EQ(FForm.focusWidget(), FForm.btnStop);
  EXPECT_FALSE(FForm.btnPlay->isEnabled());
}

TEST_F(MainFormHandlers, LevelEventsMoveTheBarAndThePosition) {
  FForm.StockAudioPlayerLevel(FForm.StockAudioPlayer, 42);
  EXPECT_EQ(FForm.AudioLevel->value(), 42);
  EXPECT_EQ(FForm.Position->text(), "0.00");  // nothing playing: position 0
  FForm.StockAudioRecorderLevel(FForm.StockAudioRecorder, 100);
  EXPECT_EQ(FForm.AudioLevel->value(), 100);
}

TEST_F(MainFormHandlers, StopWithNothingActiveChangesNothing) {
  FForm.btnStopClick();
  EXPECT_FALSE(FForm.btnRecord->isEnabled());
  EXPECT_FALSE(FForm.btnStop->isEnabled());
  EXPECT_FALSE(FForm.StockAudioPlayer->GetActive());
  EXPECT_FALSE(FForm.StockAudioRecorder->GetActive());
  EXPECT_TRUE(FShell.Messages.empty());
}

TEST_F(MainFormHandlers, FormatChangeSetsTheRecordingFormat) {
  FForm.Format->setCurrentIndex(2);
  FForm.FormatChange();
  EXPECT_EQ(FForm.StockAudioRecorder->GetPCMFormat(), Mono16bit8000Hz);
}

TEST_F(MainFormHandlers, PlayOfAMissingFileShowsTheOpenError) {
  FForm.show();
  DoubleClickRow(FForm.ListBox1, 3);
  FForm.btnPlay->setEnabled(true);
  FForm.btnPlay->click();
  EXPECT_EQ(FShell.Messages,
            std::vector<std::string>{"Cannot open file " + FDir.Folder() + "Sound 4.WAV"});
  EXPECT_FALSE(FForm.btnStop->isEnabled());
}

TEST(MainFormRecordName, ARowThatLeavesTheFolderIsRefusedAndNothingIsWritten) {
  TempDir dir;
  const std::string folder = dir.Folder() + "a/b/";  // an escape would still land in dir
  std::filesystem::create_directories(folder);
  const std::vector<std::string> rows = {"../../escaped", "sub/../../x", "..\\..\\x",
                                         "/abs",          "C:\\Temp\\x", "sub/Hello"};
  std::string ini = "[SoundFiles]\n";
  for (size_t i = 0; i < rows.size(); ++i) ini += "Name" + std::to_string(i) + "=" + rows[i] + "\n";
  dir.Write("a/b/ZelvorSound.ini", ini);
  TFakeShell shell;
  TMainForm form(folder, &shell);
  form.show();
  for (size_t i = 0; i < rows.size(); ++i) {
    DoubleClickRow(form.ListBox1, static_cast<int>(i));
    form.btnRecord->click();
  }
  std::vector<std::string> expected;
  for (size_t i = 0; i + 1 < rows.size(); ++i)
    expected.push_back("Cannot record to \"" + folder + rows[i] +
                       ".WAV\": it must stay in the program's folder");
  // A sub-folder passes the rule; this one is missing, so the recorder cannot create the take.
  expected.push_back("Cannot create file " + folder + "sub/Hello.WAV");
  EXPECT_EQ(shell.Messages, expected);
  EXPECT_FALSE(form.StockAudioRecorder->GetActive());
  std::vector<std::string> files;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir.Folder()))
    if (!e.is_directory()) files.push_back(e.path().string());
  EXPECT_EQ(files, std::vector<std::string>{folder + "ZelvorSound.ini"});
}

TEST_F(MainFormHandlers, PackageTestWithoutPackageEndsSilently) {
  FForm.BitBtn1->click();
  EXPECT_TRUE(FShell.Messages.empty());
  EXPECT_EQ(FShell.Waits, 0);
  EXPECT_FALSE(FDir.Exists("testvox.wav"));
}

TEST_F(MainFormHandlers, Button1XCancelledWritesNothing) {
  FShell.PickAnswers.push_back(std::nullopt);
  FForm.Button1X->click();
  EXPECT_EQ(FShell.Picks, 1);
  EXPECT_FALSE(FDir.Exists("testvox.wav"));
  // A chosen 3-byte file decodes into a 52-byte test file.
  FShell.PickAnswers.push_back(FDir.Write("a.vox", std::string("\x11\x99\x00", 3)));
  FForm.Button1X->click();
  EXPECT_EQ(FDir.Read("testvox.wav").size(), 52u);
  EXPECT_TRUE(FShell.Messages.empty());
}

}  // namespace
