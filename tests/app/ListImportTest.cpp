// Prompts from anywhere in the window: sound files dropped onto a row of the sound list, or
// chosen or spoken through its context menu, become the takes of that slot and the ones
// after it; refused while a device works, in a busy folder, and for what cannot be imported.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "FakeShell.h"
#include "TempDir.h"
#include "app/Main.h"
#include "app/MessageDrain.h"
#include "import/SoundTestKit.h"
#include "platform/folderlock.h"
#include "platform/profile.h"
#include "platform/winmm_driver.h"

namespace {

// Drags the files over row of the list and drops them there, as the window system delivers
// a drag from a file manager; false when the list did not take them.
bool DropFiles(QListWidget* list, int row, const std::vector<std::string>& files) {
  QMimeData data;
  QList<QUrl> urls;
  for (const std::string& f : files) urls << QUrl::fromLocalFile(QString::fromStdString(f));
  data.setUrls(urls);
  list->scrollToItem(list->item(row));
  const QPoint pos = list->visualItemRect(list->item(row)).center();
  QDragEnterEvent enter(pos, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list->viewport(), &enter);
  QDragMoveEvent move(pos, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list->viewport(), &move);
  if (!enter.isAccepted() || !move.isAccepted()) return false;
  QDropEvent drop(QPointF(pos), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list->viewport(), &drop);
  // The import itself follows the drop, once it has been answered.
  QApplication::processEvents();
  return drop.isAccepted();
}

class ListImport : public ::testing::Test {
 protected:
  void SetUp() override {
    ShowOnVirtualDevice(FForm);
    // Sources from elsewhere: a 48 kHz stereo tone and a 22.05 kHz mono one.
    ASSERT_TRUE(WriteSound(FSources.Path("greeting.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 2,
                           0.5, Tone(440, 0.5)));
    ASSERT_TRUE(WriteSound(FSources.Path("farewell.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050,
                           1, 0.4, Tone(660, 0.3)));
  }
  void TearDown() override { EndVirtualDevice(); }
  std::string Row(int row) const { return FForm.ListBox1->item(row)->text().toStdString(); }
  // What the window shows of a slot just filled, as after a double-click on its row.
  void ExpectChosen(int row, const std::string& name) {
    EXPECT_EQ(FForm.CurrentSlot(), row);
    EXPECT_EQ(FForm.WaveFile->text().toStdString(), name);
    EXPECT_EQ(FForm.Context().CurrentSoundFileName, FDir.Folder() + name + ".WAV");
    EXPECT_TRUE(FForm.btnRecord->isEnabled());
    EXPECT_TRUE(FForm.btnPlay->isEnabled());
    EXPECT_EQ(FForm.ListBox1->currentRow(), row);
  }
  // The slot's take, coded, and named in the configuration for the next build.
  void ExpectImported(int row, const std::string& name) {
    EXPECT_EQ(Row(row), name);
    EXPECT_GT(Level(TakeSamples(FDir.Read(name + ".WAV"))), 16) << name;  // out of the quiet band
    EXPECT_EQ(FDir.Read(name + ".vox").size(), TakeSamples(FDir.Read(name + ".WAV")).size() / 2);
    TIniFile ini(FDir.Folder() + "ZelvorSound.ini");
    const std::string key = "Name" + std::to_string(row);
    EXPECT_EQ(ini.ReadString("SoundFiles", key, ""), name);
    EXPECT_EQ(ini.ReadString("SourceFileNames", key, ""), name + ".WAV");
  }

  TempDir FDir, FSources;
  TFakeShell FShell;
  TMainForm FForm{FDir.Folder(), &FShell};
};

TEST_F(ListImport, FilesDroppedOntoARowFillItsSlotAndTheNextOnes) {
  DoubleClickRow(FForm.ListBox1, 0);
  ASSERT_TRUE(DropFiles(FForm.ListBox1, 2,
                        {FSources.Path("greeting.wav"), FSources.Path("farewell.flac")}));
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
  ExpectImported(2, "greeting");
  ExpectImported(3, "farewell");
  // The row dropped onto is chosen; the bold mark moved there from slot 0.
  ExpectChosen(2, "greeting");
  EXPECT_FALSE(FForm.ListBox1->item(0)->font().bold());
  EXPECT_TRUE(FForm.ListBox1->item(2)->font().bold());
  // Closing keeps the new names: the list writes them back as they are.
  FForm.close();
  EXPECT_EQ(TIniFile(FDir.Folder() + "ZelvorSound.ini").ReadString("SoundFiles", "Name3", ""),
            "farewell");
}

TEST_F(ListImport, WhatCannotBeImportedIsSaidAndChangesNothing) {
  const std::string notes = FSources.Write("notes.txt", "Remember the milk.\n");
  const std::string missing = FSources.Path("missing.wav");
  const std::string greeting = FSources.Path("greeting.wav");
  const struct {
    const char* What;
    int Row;
    std::vector<std::string> Files;
    bool HoldFolder;
    TMessageSeverity Severity;
    std::string Message;  // the start of the message
  } kCases[] = {
      {"a text file", 4, {notes}, false, msWarning, "Cannot import \"" + notes + "\": "},
      {"a file that is not there", 4, {missing}, false, msError, missing + ": File not found"},
      {"more files than slots",
       127,
       {greeting, greeting},
       false,
       msWarning,
       "2 files from slot 127 would go past slot 127: nothing was imported"},
      {"a folder another run holds", 4, {greeting}, true, msWarning, FolderBusyText(FDir.Folder())},
  };
  const auto before = FolderFiles(FDir);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.What);
    FShell.Messages.clear();
    FShell.Severities.clear();
    TFolderLock other(FDir.Folder());
    if (c.HoldFolder) {
      ASSERT_TRUE(other.TryLock());
    }
    EXPECT_TRUE(DropFiles(FForm.ListBox1, c.Row, c.Files));
    ASSERT_EQ(FShell.Messages.size(), 1u) << ::testing::PrintToString(FShell.Messages);
    EXPECT_EQ(FShell.Messages[0].rfind(c.Message, 0), 0u) << FShell.Messages[0];
    EXPECT_EQ(FShell.Severities[0], c.Severity);
    EXPECT_EQ(Row(c.Row), "Sound " + std::to_string(c.Row + 1));
    EXPECT_EQ(FForm.CurrentSlot(), -1);
    EXPECT_EQ(FolderFiles(FDir), before);
  }
  // A drag of something that is no file is not taken at all.
  QMimeData text;
  text.setText("greeting");
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(FForm.ListBox1->viewport(), &enter);
  EXPECT_FALSE(enter.isAccepted());
}

TEST_F(ListImport, NothingIsTakenWhileARecordingRuns) {
  winmm::virt::SetCaptureBytes(std::string(4000, '\x80'));
  DoubleClickRow(FForm.ListBox1, 2);
  FForm.btnRecord->click();
  QElapsedTimer clock;
  clock.start();
  while (!FForm.btnStop->isEnabled() && clock.elapsed() < 15000)
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_TRUE(FForm.btnStop->isEnabled());
  // The drag finds no place to land, and the context menu's entries are off.
  EXPECT_FALSE(DropFiles(FForm.ListBox1, 2, {FSources.Path("greeting.wav")}));
  FForm.ListBox1ContextPopup(FForm.ListBox1->visualItemRect(FForm.ListBox1->item(3)).center());
  EXPECT_TRUE(FForm.PopupMenu1->isVisible());
  EXPECT_FALSE(FForm.ImportSoundFile1->isEnabled());
  EXPECT_FALSE(FForm.SpeakText1->isEnabled());
  FForm.PopupMenu1->close();
  // Called all the same, the commands do nothing.
  FForm.ListBox1DragDrop(3, {FSources.Path("greeting.wav")});
  FForm.SpeakIntoSlot(3, "Hello", TSpeechOptions());
  FForm.btnStop->click();
  while (!FForm.btnRecord->isEnabled() && clock.elapsed() < 15000)
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(Row(2), "Sound 3");
  EXPECT_EQ(Row(3), "Sound 4");
  EXPECT_FALSE(FDir.Exists("greeting.WAV"));
  EXPECT_FALSE(FDir.Exists("Hello.WAV"));
  EXPECT_EQ(FForm.CurrentSlot(), 2);
}

TEST_F(ListImport, TheContextMenuImportsAFileAndSpeaksATextIntoTheRowUnderTheMouse) {
  QListWidget* list = FForm.ListBox1;
  FForm.ListBox1ContextPopup(list->visualItemRect(list->item(6)).center());
  ASSERT_TRUE(FForm.PopupMenu1->isVisible());
  EXPECT_EQ(FForm.ImportSoundFile1->text(), QString::fromUtf8("Import sound file…"));
  EXPECT_EQ(FForm.SpeakText1->text(), QString::fromUtf8("Speak text…"));
  EXPECT_TRUE(FForm.ImportSoundFile1->isEnabled());
  FForm.PopupMenu1->close();

  QString folder;
  WhenModal([&](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    folder = dialog->directory().absolutePath() + "/";
    // The path as a user types it into the name field.
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(FSources.Path("farewell.flac")));
    static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
  });
  FForm.ImportSoundFile1->trigger();
  EXPECT_EQ(folder.toStdString(), FDir.Folder());  // the first choice starts in the folder
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
  ExpectImported(6, "farewell");
  ExpectChosen(6, "farewell");

  // "Speak text…" on the row below; a cancelled dialog does nothing.
  FForm.ListBox1ContextPopup(list->visualItemRect(list->item(7)).center());
  FForm.PopupMenu1->close();
  for (bool accept : {false, true}) {
    WhenModal([&](QWidget* w) {
      auto* text = w->findChild<QLineEdit*>("TextEdit");
      ASSERT_NE(text, nullptr);
      text->setText("Battery low");
      EXPECT_EQ(w->findChild<QComboBox*>("VoiceList")->currentData().toString(), "en");
      static_cast<QDialog*>(w)->done(accept ? QDialog::Accepted : QDialog::Rejected);
    });
    FForm.SpeakText1->trigger();
    EXPECT_EQ(FDir.Exists("Battery low.WAV"), accept);
  }
  EXPECT_TRUE(FShell.Messages.empty()) << FShell.Messages.front();
  ExpectImported(7, "Battery low");
  ExpectChosen(7, "Battery low");
}

}  // namespace
