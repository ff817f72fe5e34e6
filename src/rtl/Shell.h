// How the program's logic talks to the user without knowing what kind of front end it runs
// in: the window implements this with real widgets, zelvorsound-cli with stdout/stderr,
// the tests with a recording fake.
#pragma once

#include <optional>
#include <string>

// What a message tells the user, which chooses the message box's icon (information,
// warning, critical) and may choose the CLI's prefix: information for what was done, a
// warning for a user's file or request the program turns down (a rejected WAV, a take
// kept because nothing was heard, a busy folder), an error for a file or device that
// failed.
enum TMessageSeverity { msInformation, msWarning, msError };

class TShell {
 public:
  virtual ~TShell() = default;
  // The modal message box: caption "Sound Recorder", the text, one OK button, the icon of
  // the severity.
  virtual void ShowMessage(const std::string& text, TMessageSeverity severity) = 0;
  // The status window (Form1 with its memo Memo1).
  virtual void StatusClear() = 0;
  virtual void StatusShow() = 0;
  virtual void StatusAdd(const std::string& line) = 0;
  // A status line about one slot (the package build's): shown as any other, unless the
  // front end chooses by slot what it shows.
  virtual void SlotStatusAdd(int slot, const std::string& line) {
    (void)slot;
    StatusAdd(line);
  }
  // The open dialog for ".vox" files; nothing when the user cancels.
  virtual std::optional<std::string> PickVoxFile() = 0;
  // Dispatches what is pending and returns at once.
  virtual void ProcessMessages() = 0;
  // Blocks until something arrives, then dispatches it.
  virtual void WaitForEvents() = 0;
};

// The encoder that turns a folder's samples into ".vox" codes: the standard one (every
// difference rounded down to a step; byte for byte what every earlier build wrote) or the
// optimal one (the codes whose decoding is closest to the samples). A folder chooses with
// [Options] Coder= in its "ZelvorSound.ini".
enum class TCoder { Standard, Optimal };

// The state the commands share. The window's executable folder (ending with '/') and its
// current sound file name travel here instead of in globals, so tests can point a command
// at a folder of their own.
struct TAppContext {
  std::string ExeFolder;
  std::string CurrentSoundFileName;
  // The encoder every conversion of this command codes with.
  TCoder Coder = TCoder::Standard;
};
