// The program's standard dialogs on Qt: the application's message box, the open dialog
// component (OpenDialog1, ImportDialog) with its filter and default extension.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "rtl/Shell.h"

class QWidget;

// The application title: the caption of every message box the program shows.
inline constexpr const char* kApplicationTitle = "Sound Recorder";

// Shows the modal message box: caption "Sound Recorder", the text, one OK button, and the
// icon of the severity (information, warning, critical).
void ShowMessageBox(QWidget* parent, const std::string& text, TMessageSeverity severity);

// Asks for an existing file to open.
class TOpenDialog {
 public:
  explicit TOpenDialog(QWidget* parent) : FParent(parent) {}

  // The filter as description|pattern pairs: "vox files (*.vox)|*.vox".
  const std::string& GetFilter() const { return FFilter; }
  void SetFilter(const std::string& value) { FFilter = value; }
  // The extension (without the dot) added to a typed name that has none.
  const std::string& GetDefaultExt() const { return FDefaultExt; }
  void SetDefaultExt(const std::string& value) { FDefaultExt = value; }
  // The folder the dialog opens in; empty: the process's current folder.
  const std::string& GetInitialDir() const { return FInitialDir; }
  void SetInitialDir(const std::string& value) { FInitialDir = value; }
  // The dialog's caption; empty: the toolkit's own.
  const std::string& GetTitle() const { return FTitle; }
  void SetTitle(const std::string& value) { FTitle = value; }
  // Whether several files may be chosen at once.
  bool GetAllowMultiSelect() const { return FAllowMultiSelect; }
  void SetAllowMultiSelect(bool value) { FAllowMultiSelect = value; }
  // The chosen file after Execute returned true (the first, when there are several).
  const std::string& GetFileName() const { return FFileName; }
  // Every chosen file, in the order the dialog gives them.
  const std::vector<std::string>& GetFiles() const { return FFiles; }

  // Runs the dialog modally; true when the user chose a file.
  bool Execute();

  // The filter in the dialog's own notation, one entry a pair: "vox files (*.vox)".
  static QStringList NameFilters(const std::string& filter);

 private:
  QWidget* FParent;
  std::string FFilter;
  std::string FDefaultExt;
  std::string FInitialDir;
  std::string FTitle;
  bool FAllowMultiSelect = false;
  std::string FFileName;
  std::vector<std::string> FFiles;
};
