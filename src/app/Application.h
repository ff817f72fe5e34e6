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

// The whole program: returns its exit code.
int RunProgram(int argc, char** argv);
