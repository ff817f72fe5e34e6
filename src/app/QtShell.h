// The shell of the window: the program's logic talks to the user through the real widgets
// of the main window (message boxes, OpenDialog1) and of the status window Form1.
#pragma once

#include "rtl/Shell.h"

class TMainForm;
class TForm1;

class TQtShell : public TShell {
 public:
  TQtShell(TMainForm& mainForm, TForm1& statusForm) : FMain(mainForm), FStatus(statusForm) {}

  void ShowMessage(const std::string& text, TMessageSeverity severity) override;
  void StatusClear() override;
  void StatusShow() override;
  // The line is painted at once: the builder keeps the event loop waiting while it works.
  void StatusAdd(const std::string& line) override;
  std::optional<std::string> PickVoxFile() override;
  void ProcessMessages() override;
  void WaitForEvents() override;

 private:
  TMainForm& FMain;
  TForm1& FStatus;
};
