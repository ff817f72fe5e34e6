#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <string>

#include "AppTestSupport.h"
#include "EnvVar.h"
#include "FakeShell.h"
#include "TempDir.h"
#include "app/Main.h"
#include "platform/profile.h"
#include "platform/winmm_driver.h"

namespace {

std::string Row(const TMainForm& f, int i) { return f.ListBox1->item(i)->text().toStdString(); }

std::string Slot(const TempDir& d, int i) {
  return GetPrivateProfileString("SoundFiles", "Name" + std::to_string(i), "<missing>",
                                 d.Path("ZelvorSound.ini"));
}

TEST(SoundList, WithoutConfigurationTheDefaultsShowAndClosingWritesThem) {
  TempDir dir;
  TFakeShell shell;
  {
    TMainForm form(dir.Folder(), &shell);
    ASSERT_EQ(form.ListBox1->count(), 128);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(Row(form, i), "Sound " + std::to_string(i + 1));
    EXPECT_FALSE(dir.Exists("ZelvorSound.ini"));  // reading creates nothing
    form.show();
    int closed = 0;
    QObject::connect(&form, &TMainForm::Closed, [&] { ++closed; });
    EXPECT_TRUE(form.close());
    EXPECT_EQ(closed, 1);
  }
  ASSERT_TRUE(dir.Exists("ZelvorSound.ini"));
  for (int i = 0; i < 128; ++i) EXPECT_EQ(Slot(dir, i), "Sound " + std::to_string(i + 1));
  EXPECT_TRUE(shell.Messages.empty());
}

TEST(SoundList, OneConfiguredNameShowsInItsRow) {
  TempDir dir;
  dir.Write("ZelvorSound.ini", "[SoundFiles]\nName5=Hello\n");
  TFakeShell shell;
  TMainForm form(dir.Folder(), &shell);
  EXPECT_EQ(Row(form, 5), "Hello");
  EXPECT_EQ(Row(form, 4), "Sound 5");
  EXPECT_EQ(Row(form, 6), "Sound 7");
  EXPECT_EQ(Row(form, 127), "Sound 128");
}

TEST(SoundList, DoubleClickChoosesTheSlotFileInTheExecutableFolder) {
  TempDir dir;
  dir.Write("ZelvorSound.ini", "[SoundFiles]\nName5=Hello\nName6=Tom & Jerry\n");
  TFakeShell shell;
  TMainForm form(dir.Folder(), &shell);
  form.show();

  DoubleClickRow(form.ListBox1, 5);
  EXPECT_EQ(form.WaveFile->text(), "Hello");
  EXPECT_EQ(form.Context().CurrentSoundFileName, dir.Folder() + "Hello.WAV");
  EXPECT_TRUE(form.btnRecord->isEnabled());
  EXPECT_FALSE(form.btnPlay->isEnabled());  // no take yet
  EXPECT_FALSE(form.btnStop->isEnabled());

  // Once the take is there, choosing the slot again allows playing it.
  dir.Write("Hello.WAV", "RIFF");
  DoubleClickRow(form.ListBox1, 5);
  EXPECT_TRUE(form.btnPlay->isEnabled());

  // Another slot without a take: "Play" goes off again; ampersands stay as typed.
  DoubleClickRow(form.ListBox1, 6);
  EXPECT_EQ(form.WaveFile->text(), "Tom & Jerry");
  EXPECT_EQ(form.Context().CurrentSoundFileName, dir.Folder() + "Tom & Jerry.WAV");
  EXPECT_FALSE(form.btnPlay->isEnabled());
  EXPECT_GT(form.WaveFile->width(), 0);  // the label grew with its caption
  // The name is formed with upper-case ".WAV"; a take whose name differs only in letter
  // case is found all the same.
  dir.Write("sound 1.wav", "RIFF");
  DoubleClickRow(form.ListBox1, 0);
  EXPECT_EQ(form.Context().CurrentSoundFileName, dir.Folder() + "Sound 1.WAV");
  EXPECT_TRUE(form.btnPlay->isEnabled());
  // The current slot is the one row in bold, whatever row is highlighted afterwards.
  form.ListBox1->setCurrentRow(6);
  EXPECT_EQ(form.CurrentSlot(), 0);
  for (int row = 0; row < 128; ++row)
    EXPECT_EQ(form.ListBox1->item(row)->font().bold(), row == 0) << row;

  // Return (or the keypad's Enter) on the highlighted row chooses it as a double-click does.
  for (auto [key, row] : {std::pair{Qt::Key_Return, 6}, std::pair{Qt::Key_Enter, 5}}) {
    form.ListBox1->setCurrentRow(row);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(form.ListBox1, &press);
    EXPECT_EQ(form.CurrentSlot(), row);
    EXPECT_EQ(form.WaveFile->text().toStdString(), form.ListBox1->item(row)->text().toStdString());
    EXPECT_TRUE(form.ListBox1->item(row)->font().bold());
  }
  EXPECT_TRUE(form.btnPlay->isEnabled());  // "Hello.WAV" is there
}

TEST(SoundList, ExistingExportFolderLeavesStartUndisturbedAndAMissingOneIsMade) {
  TempDir dir;
  {
    TFakeShell shell;
    TMainForm form(dir.Folder(), &shell);
    struct stat st;
    ASSERT_EQ(::stat(dir.Path("WAV Export").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
  }
  dir.Write("WAV Export/kept.wav", "data");
  TFakeShell shell;
  TMainForm form(dir.Folder(), &shell);
  EXPECT_EQ(form.ListBox1->count(), 128);
  EXPECT_TRUE(shell.Messages.empty());
  EXPECT_EQ(dir.Read("WAV Export/kept.wav"), "data");
}

TEST(SoundList, HandEditedConfigurationKeepsItsOtherContentOnClose) {
  TempDir dir;
  dir.Write("ZelvorSound.ini",
            "; sounds of the field unit\n"
            "[SourceFileNames]\n"
            "Name0=takes\\intro.wav\n"
            "\n"
            "[SoundFiles]\n"
            "Name0 = Intro\n"
            "; the rest are defaults\n"
            "\n"
            "[DestinationFileNames]\n"
            "Name0=NONE\n");
  {
    TFakeShell shell;
    TMainForm form(dir.Folder(), &shell);
    EXPECT_EQ(Row(form, 0), "Intro");
    EXPECT_TRUE(form.close());
  }
  std::string after = dir.Read("ZelvorSound.ini");
  // A name the file has stays as it is written; the names it lacks are added.
  EXPECT_EQ(after.rfind("; sounds of the field unit\n[SourceFileNames]\nName0=takes\\intro.wav\n\n"
                        "[SoundFiles]\nName0 = Intro\nName1=Sound 2\n",
                        0),
            0u)
      << after;
  EXPECT_NE(after.find("Name127=Sound 128\n; the rest are defaults\n\n"
                       "[DestinationFileNames]\nName0=NONE\n"),
            std::string::npos)
      << after;
}

TEST(SoundList, FailedWriteBackIsReportedAndTheWindowStillCloses) {
  TempDir dir;
  std::string ini = dir.Write("ZelvorSound.ini", "[SoundFiles]\nName0=Keep\n");
  ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);  // read-only for everyone, root included
  TFakeShell shell;
  TMainForm form(dir.Folder(), &shell);
  form.show();
  int closed = 0;
  QObject::connect(&form, &TMainForm::Closed, [&] { ++closed; });
  EXPECT_TRUE(form.close());
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(closed, 1);
  // One message, then the write-back stops.
  EXPECT_EQ(shell.Messages, std::vector<std::string>{"Unable to write to " + ini});
  EXPECT_EQ(dir.Read("ZelvorSound.ini"), "[SoundFiles]\nName0=Keep\n");
}

TEST(SoundList, ConfigurationPathThatIsAFolderReadsDefaultsAndStillCloses) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.Path("ZelvorSound.ini").c_str(), 0755), 0);
  TFakeShell shell;
  TMainForm form(dir.Folder(), &shell);
  EXPECT_EQ(Row(form, 0), "Sound 1");
  EXPECT_TRUE(form.close());
  EXPECT_EQ(shell.Messages,
            std::vector<std::string>{"Unable to write to " + dir.Path("ZelvorSound.ini")});
}

TEST(SoundList, ClosingForgetsTheCurrentSoundFile) {
  TempDir dir;
  TFakeShell shell;
  TMainForm form(dir.Folder(), &shell);
  form.show();
  DoubleClickRow(form.ListBox1, 0);
  ASSERT_FALSE(form.Context().CurrentSoundFileName.empty());
  form.close();
  EXPECT_TRUE(form.Context().CurrentSoundFileName.empty());
}

}  // namespace

// The window's sound devices come from [Audio] of "ZelvorSound.ini", "default" without it;
// closing the window keeps the section as it was.
TEST(SoundList, TheAudioSectionChoosesTheSoundDevicesAndIsKept) {
  TEnvVar unforced("ZELVOR_ALSA_DEVICE", nullptr);
  winmm::ReadSoundEnvironment();
  TempDir dir;
  const std::string audio = "[Audio]\nInputDevice=plughw:CARD=Headset,DEV=0\nOutputDevice=pulse\n";
  dir.Write("ZelvorSound.ini", audio);
  TFakeShell shell;
  {
    TMainForm form(dir.Folder(), &shell);
    EXPECT_EQ(winmm::DeviceName(winmm::WaveDir::In), "plughw:CARD=Headset,DEV=0");
    EXPECT_EQ(winmm::DeviceName(winmm::WaveDir::Out), "pulse");
    form.show();
    EXPECT_TRUE(form.close());
  }
  EXPECT_EQ(dir.Read("ZelvorSound.ini").rfind(audio, 0), 0u) << dir.Read("ZelvorSound.ini");
  dir.Write("ZelvorSound.ini", "[SoundFiles]\nName0=Hello\n");
  TMainForm plain(dir.Folder(), &shell);
  EXPECT_EQ(winmm::DeviceName(winmm::WaveDir::In), "default");
  EXPECT_EQ(winmm::DeviceName(winmm::WaveDir::Out), "default");
}
