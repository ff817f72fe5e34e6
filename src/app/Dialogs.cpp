#include "app/Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>

void ShowMessageBox(QWidget* parent, const std::string& text, TMessageSeverity severity) {
  const QMessageBox::Icon icon = severity == msInformation ? QMessageBox::Information
                                 : severity == msWarning   ? QMessageBox::Warning
                                                           : QMessageBox::Critical;
  QMessageBox box(icon, QString::fromUtf8(kApplicationTitle), QString::fromStdString(text),
                  QMessageBox::Ok, parent);
  // The text is the program's own or a file name: never markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

QStringList TOpenDialog::NameFilters(const std::string& filter) {
  QStringList parts = QString::fromStdString(filter).split('|');
  QStringList result;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    // The dialog reads the patterns from the parentheses, so a description that already
    // shows them loses that copy and gets the real ones.
    QString description = parts[i];
    description.remove(QRegularExpression(R"(\s*\([^()]*\)\s*$)"));
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    result << description.trimmed() + " (" + patterns.trimmed() + ")";
  }
  return result;
}

bool TOpenDialog::Execute() {
  QFileDialog dialog(FParent);
  dialog.setObjectName("OpenDialog1");
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(FAllowMultiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  dialog.setNameFilters(NameFilters(FFilter));
  dialog.setDefaultSuffix(QString::fromStdString(FDefaultExt));
  if (!FInitialDir.empty()) dialog.setDirectory(QString::fromStdString(FInitialDir));
  if (!FTitle.empty()) dialog.setWindowTitle(QString::fromStdString(FTitle));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  FFiles.clear();
  for (const QString& file : dialog.selectedFiles()) FFiles.push_back(file.toStdString());
  FFileName = FFiles.front();
  return true;
}
