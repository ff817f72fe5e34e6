// The application object and the program's start: titled "Sound Recorder", the main window
// first (closing it ends the program), then the hidden status window, then the event loop.
#pragma once

#include <QApplication>
#include <optional>
#include <string>

// Why the window cannot be shown here, as the one line the program prints; nothing when a
// display (or a Qt platform chosen by QT_QPA_PLATFORM) is there.
std::optional<std::string> NoDisplayReason();

// Takes the decimal and time separators of the user's locale into FormatSettings().
void UseLocaleSeparators(const QLocale& locale);

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  // An error that escapes an event handler is shown in a message box with its message; the
  // program goes on with the next event.
  bool notify(QObject* receiver, QEvent* event) override;
  static void HandleException(const std::exception* e);
};

// The folder the window works in: every file it reads and writes lies there.
struct TFolderChoice {
  std::string Folder;  // absolute, ending with '/'
  std::string Error;   // why the chosen folder cannot be used, naming it and who chose it
};
// The folder by the program's one rule (package/ProgramFolder.h), the window's default being
// its executable's folder (a portable copy keeps its files beside itself). A folder the user
// named (--folder, ZELVOR_FOLDER) must exist; the installed program's own is made and said.
TFolderChoice ChooseFolder(const std::string& given);

// The whole program: returns its exit code (0 done, 2 no display or no usable folder,
// 64 bad usage). Its own options are --folder DIR, --help and --version; --help and
// --version are answered before any display is needed, and the rest is left to the toolkit
// (-platform, -style, ...).
int RunProgram(int argc, char** argv);
