#include "app/QtShell.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPlainTextEdit>

#include "app/Dialogs.h"
#include "app/Main.h"
#include "app/Unit1.h"

void TQtShell::ShowMessage(const std::string& text, TMessageSeverity severity) {
  ShowMessageBox(&FMain, text, severity);
}

void TQtShell::StatusClear() { FStatus.Memo1->clear(); }

void TQtShell::StatusShow() {
  // Shown beside the main window, not modal: the main window stays usable.
  FStatus.show();
  FStatus.raise();
}

void TQtShell::StatusAdd(const std::string& line) {
  FStatus.Memo1->appendPlainText(QString::fromStdString(line));
  FStatus.Memo1->repaint();
}

std::optional<std::string> TQtShell::PickVoxFile() {
  if (!FMain.OpenDialog1->Execute()) return std::nullopt;
  return FMain.OpenDialog1->GetFileName();
}

void TQtShell::ProcessMessages() { QCoreApplication::processEvents(); }

void TQtShell::WaitForEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
