#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>

#include "AppTestSupport.h"
#include "FakeShell.h"
#include "TempDir.h"
#include "app/Application.h"
#include "app/Dialogs.h"
#include "app/Main.h"
#include "app/QtShell.h"
#include "app/Unit1.h"
#include "rtl/SysUtils.h"

namespace {

class QtShellTest : public ::testing::Test {
 protected:
  TempDir FDir;
  TMainForm FMain{FDir.Folder()};
  TForm1 FStatus;
  TQtShell FShell{FMain, FStatus};
};

TEST_F(QtShellTest, MessageBoxHasTheApplicationTitleTheIconOfItsSeverityAndOneOkButton) {
  const struct {
    TMessageSeverity Severity;
    QMessageBox::Icon Icon;
  } kCases[] = {{msInformation, QMessageBox::Information},
                {msWarning, QMessageBox::Warning},
                {msError, QMessageBox::Critical}};
  for (const auto& c : kCases) {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QAbstractButton*> buttons;
    WhenModal([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      title = box->windowTitle();
      text = box->text();
      icon = box->icon();
      buttons = box->buttons();
      EXPECT_EQ(box->standardButton(buttons.value(0)), QMessageBox::Ok);
      box->accept();
    });
    FShell.ShowMessage("File <b>not</b> found", c.Severity);
    EXPECT_EQ(title, "Sound Recorder");
    EXPECT_EQ(text, "File <b>not</b> found");
    EXPECT_EQ(icon, c.Icon) << c.Severity;
    EXPECT_EQ(buttons.size(), 1);
  }
}

TEST_F(QtShellTest, StatusLinesGoIntoTheMemo) {
  EXPECT_FALSE(FStatus.isVisible());
  FShell.StatusClear();
  FShell.StatusShow();
  EXPECT_TRUE(FStatus.isVisible());
  FShell.StatusAdd("Slot 0: intro");
  FShell.StatusAdd("Slot 1: warning");
  EXPECT_EQ(FStatus.Memo1->toPlainText(), "Slot 0: intro\nSlot 1: warning");
  FShell.StatusClear();
  EXPECT_EQ(FStatus.Memo1->toPlainText(), "");
}

TEST_F(QtShellTest, PickVoxFileOffersVoxFilesAndReturnsTheChoice) {
  QStringList filters;
  QString suffix, folder;
  WhenModal([&](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    filters = dialog->nameFilters();
    suffix = dialog->defaultSuffix();
    folder = dialog->directory().absolutePath() + "/";
    dialog->reject();
  });
  // The process stands elsewhere: the dialog opens in the program's folder all the same.
  ASSERT_NE(QDir::currentPath() + "/", QString::fromStdString(FDir.Folder()));
  EXPECT_EQ(FShell.PickVoxFile(), std::nullopt);
  EXPECT_EQ(filters, QStringList{"vox files (*.vox)"});
  EXPECT_EQ(suffix, "vox");
  EXPECT_EQ(folder.toStdString(), FDir.Folder());

  std::string chosen = FDir.Write("take.vox", "x");
  WhenModal([&](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    dialog->setDirectory(QString::fromStdString(FDir.Folder()));
    // The choice as a user types it into the name field; done() takes it as it stands,
    // where accept() would check it against the folder the dialog may still be reading.
    // (A selection made in the list instead can be undone when that reading finishes.)
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText("take.vox");
    static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
  });
  EXPECT_EQ(FShell.PickVoxFile(), chosen);
}

TEST(OpenDialogFilter, PairsBecomeNameFilters) {
  EXPECT_EQ(TOpenDialog::NameFilters("vox files (*.vox)|*.vox"), QStringList{"vox files (*.vox)"});
  EXPECT_EQ(TOpenDialog::NameFilters("Sounds|*.wav;*.vox|All|*"),
            (QStringList{"Sounds (*.wav *.vox)", "All (*)"}));
  EXPECT_TRUE(TOpenDialog::NameFilters("").isEmpty());
}

TEST(StatusWindow, ResizableWithAFixedMemoAndClosingHides) {
  TForm1 form;
  EXPECT_EQ(form.objectName(), "Form1");
  EXPECT_EQ(form.windowTitle(), "Status");
  EXPECT_EQ(form.pos(), QPoint(236, 177));
  EXPECT_FALSE(form.testAttribute(Qt::WA_QuitOnClose));
  EXPECT_EQ(form.Memo1->objectName(), "Memo1");
  EXPECT_TRUE(form.Memo1->isReadOnly());
  EXPECT_EQ(form.Memo1->geometry(), QRect(8, 8, 473, 441));
  form.show();
  EXPECT_EQ(form.frameGeometry().size(), QSize(499, 500));
  form.resize(700, 650);
  EXPECT_EQ(form.size(), QSize(700, 650));
  EXPECT_EQ(form.Memo1->geometry(), QRect(8, 8, 473, 441));
  form.Memo1->appendPlainText("kept");
  EXPECT_TRUE(form.close());
  EXPECT_FALSE(form.isVisible());
  form.show();  // the same window, with its lines, comes back
  EXPECT_EQ(form.Memo1->toPlainText(), "kept");
}

TEST(LocaleSeparators, FollowTheUsersLocale) {
  TFormatSettings saved = FormatSettings();
  UseLocaleSeparators(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(FormatSettings().DecimalSeparator, ',');
  EXPECT_EQ(FormatSettings().TimeSeparator, ':');
  UseLocaleSeparators(QLocale(QLocale::Finnish, QLocale::Finland));
  EXPECT_EQ(FormatSettings().TimeSeparator, '.');
  UseLocaleSeparators(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(FormatSettings().DecimalSeparator, '.');
  EXPECT_EQ(FormatSettings().TimeSeparator, ':');
  FormatSettings() = saved;
}

}  // namespace
