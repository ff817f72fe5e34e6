// The main window MainForm: the sound list of the 128 slots, the recording and playback
// buttons with their level bar and position read-out, and the package commands.
//
// The window keeps the state its commands share in a TAppContext: the executable folder it
// was given (every file it names lies there) and the current sound file name, the take of
// the current slot, which the list shows in bold. Errors that escape a handler end that
// handler only; their message is shown and the window goes on.
//
// One run works in the folder at a time: each command that writes there holds the folder's
// lock (platform/folderlock.h) while it works — a build, Button1X or the loop-back for its
// handler, the package test for the whole test, a recording from "Record" until its take
// has been converted. A command that finds another run in the folder says so and does
// nothing.
//
// A recording is fixed to its slot when it starts: while a device works (a recording, a
// playback, the package test) a double-click on the list leaves the current slot as it is,
// and the take is replaced only by the finished recording (package/TakeRecording.h).
//
// Closing writes the sound list's names back into "ZelvorSound.ini" under the folder's lock
// (waited for up to 60 seconds, as a command of zelvorsound-cli waits), after reading the file
// again: only the names the window changed itself (through an import or a speech) and those
// the file lacks (so a first run writes "Sound 1" to "Sound 128"). A name that another run
// (an import, a say) wrote while the window was open stays.
//
// The list also works from the keyboard (Return on the highlighted row is a double-click)
// and takes prompts from anywhere (import/Import.h): sound files dropped onto a row, or
// chosen or spoken through its context menu, become the takes of that slot and the ones
// after it. Like the commands above, an import waits until no device works, holds the
// folder's lock, and then acts as a double-click on the row.
//
// The window shows its folder (the list's tool tip, the top of "Open folder…") and can open
// another, and it sees what others change in "ZelvorSound.ini" while it is open
// (app/FolderWatch.h). Keys: Ctrl+R Record, Esc Stop, Ctrl+B "Create Zelvor sound file",
// Ctrl+T "Test Sounds.zvd file", and on the list Space for Play (Stop while a device works).
#pragma once

#include <QWidget>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Dialogs.h"
#include "app/DosCommand.h"
#include "audio/MemoryWaveStorage.h"
#include "audio/WaveIO.h"
#include "import/Import.h"
#include "package/TakeRecording.h"
#include "platform/folderlock.h"
#include "platform/winmm_driver.h"
#include "rtl/Classes.h"
#include "rtl/Shell.h"

class QAction;
class TFolderWatch;
class TIniFile;
class QComboBox;
class QLabel;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class TStockAudioPlayer;
class TWaveAudioIO;

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  // exeFolder ends with '/'; the program passes the folder ChooseFolder gives, tests a folder
  // of their own.
  // FormCreate runs here, as the window is created. shell may be given later (SetShell)
  // when it needs the window itself.
  explicit TMainForm(std::string exeFolder, TShell* shell = nullptr, QWidget* parent = nullptr);
  ~TMainForm() override;

  static constexpr int kClientWidth = 514, kClientHeight = 254;
  static constexpr int kLeft = 271, kTop = 278;
  static constexpr int kSoundSlots = 128;
  static constexpr const char* kConfigFile = "ZelvorSound.ini";
  static constexpr const char* kExportFolder = "WAV Export";
  static constexpr const char* kCaption = "Zelvor Sound Recorder version 1.0.0.1";

  TShell* GetShell() const { return FShell; }
  void SetShell(TShell* shell) { FShell = shell; }
  TAppContext& Context() { return FContext; }
  std::string ConfigFileName() const { return FContext.ExeFolder + kConfigFile; }
  // True while the package test waits for a playback to end.
  bool GetTestWait() const { return FTestWait; }
  // True from the start of a package test to its end, also between its sounds.
  bool GetTestRunning() const { return FTestRunning; }
  // True while a command that writes files ("testvox.wav", the package, the working files
  // of the codec) must not start: a package test, a recording (until its take has been
  // converted) or a playback is under way.
  bool CommandsBusy() const;
  // The row of the current slot, the one "Record" and "Play" act on; -1 before any choice.
  int CurrentSlot() const { return FCurrentSlot; }
  // How long closing waits for a folder another run holds before it gives up writing the
  // names back (60 seconds).
  void SetCloseLockWait(std::chrono::milliseconds wait) { FCloseLockWait = wait; }

  // --- published fields, in declaration order ---
  QPushButton* btnRecord;
  QPushButton* btnPlay;
  QPushButton* btnStop;
  QLabel* WaveFile;
  QProgressBar* AudioLevel;
  QLabel* Position;
  TStockAudioPlayer* StockAudioPlayer;
  // The stock recorder, with the sizes of its file kept up to date while a take grows.
  TTakeRecorder* StockAudioRecorder;
  QLabel* PositionLabel;
  QComboBox* Format;
  TOpenDialog* OpenDialog1;
  QListWidget* ListBox1;
  QPushButton* Button2;
  QPushButton* Button1X;
  QLabel* Label1;
  TDosCommand* DosCommand1;
  QPushButton* BitBtn1;

  // --- published methods, in declaration order ---
  virtual void FormCreate();
  virtual void FormatChange();
  virtual void btnRecordClick();
  virtual void btnPlayClick();
  virtual void btnPauseClick();  // bound to no control
  virtual void btnStopClick();
  virtual void StockAudioPlayerActivate(TComponent* Sender);
  virtual void StockAudioPlayerDeactivate(TComponent* Sender);
  virtual void StockAudioPlayerLevel(TComponent* Sender, int32_t Level);
  virtual void StockAudioRecorderActivate(TComponent* Sender);
  virtual void StockAudioRecorderDeactivate(TComponent* Sender);
  virtual void StockAudioRecorderLevel(TComponent* Sender, int32_t Level);
  virtual void Button1Click();  // bound to no control
  virtual void FormCloseQuery(bool& CanClose);
  virtual void ListBox1DblClick();
  virtual void Button2Click();
  virtual void Button1XClick();
  virtual void DosCommand1Terminated(TComponent* Sender);
  virtual void BitBtn1Click();

  // --- the sound list's keyboard, context menu and dropped files ---
  // The context menu of a row: "Import sound file…" (ImportDialog), "Speak text…" and
  // "Play as the instrument plays it".
  QMenu* PopupMenu1;
  QAction* ImportSoundFile1;
  QAction* SpeakText1;
  QAction* PlayAsInstrument1;
  // Asks for the sound files to import, in the program's folder first, then in the one
  // chosen last.
  TOpenDialog* ImportDialog;
  // Return or Enter on the list: the highlighted row is chosen as by a double-click.
  virtual void ListBox1KeyDown(int Key);
  // The context menu for the row at pos (in the list's viewport); beside every row, none.
  virtual void ListBox1ContextPopup(QPoint pos);
  virtual void ImportSoundFile1Click();
  virtual void SpeakText1Click();
  // The slot's sound (SoundOfRow) converted as the build converts it, coded with the
  // folder's coder and decoded again, played from memory: the slot as the instrument will
  // play it. Nothing is written.
  virtual void PlayAsInstrument1Click();
  // Whether files dragged over row may be dropped there: a row, and no device or package
  // test at work.
  virtual bool ListBox1DragOver(int row) const;
  // Sound files dropped onto row: imported into its slot and the following ones.
  virtual void ListBox1DragDrop(int row, const std::vector<std::string>& files);

  // --- the slot commands (SlotCommands.cpp): context-menu entries, each with its key ---
  // "Earlier takes…" (the slot's history: date, length, play, "Use this take"), "Rename…"
  // (F2), "Clear slot" (Delete, after a confirmation), "Move up" / "Move down" (Alt+Up,
  // Alt+Down); the keys act on the list's current row, the entries on the row of the menu.
  // Ctrl+Z (UndoReplacement1, on the window) undoes the last replacement of a take in this
  // session, and again undoes that.
  QAction* EarlierTakes1;
  QAction* RenameSlot1;
  QAction* ClearSlot1;
  QAction* MoveUp1;
  QAction* MoveDown1;
  QAction* UndoReplacement1;
  virtual void EarlierTakes1Click(int row);
  virtual void RenameSlot1Click(int row);
  virtual void ClearSlot1Click(int row);
  virtual void MoveSlot1Click(int row, int direction);
  virtual void UndoReplacement1Click();
  // A take was replaced, its predecessor kept as entry (package/History.h): the one Ctrl+Z
  // brings back. Nothing when entry is empty.
  void NoteReplacement(const std::string& take, const std::string& entry);

  // Runs a handler; an error escaping it is shown in a message box and swallowed.
  void Guarded(const std::function<void()>& handler);
  // Shows a message box through the shell (or directly when there is none yet).
  void ShowMessage(const std::string& text, TMessageSeverity severity);
  // Imports the files into the slots from row on, one a slot, under the folder's lock; it
  // stops at the first that is refused or fails. The rows it filled show their new names,
  // and row becomes the current slot as after a double-click.
  void ImportIntoSlots(int row, const std::vector<std::string>& files);
  // Speaks the text into the slot of row in the same way, under name (empty: the one the
  // import derives from the text).
  void SpeakIntoSlot(int row, const std::string& text, const TSpeechOptions& speech,
                     const std::string& name = std::string());
  // An error raised inside a device's notification: shown once per open cycle of that
  // device (the same text again from it is left out until it has closed).
  void DeviceError(TComponent* Sender, const std::exception& E);

  // --- the folder in view, changes from outside, keys ---
  // "Open folder…", the context menu's last entry: the folder's path at its top (also the
  // list's tool tip), the other folders used last (app/RecentFolders.h), "Choose folder…".
  QMenu* OpenFolder1;
  QAction* ChooseFolder1;
  // Works in folder from now on, as a start in it would: the names of the folder left go back
  // into its "ZelvorSound.ini" as at closing; then the lock, the devices and the sound list
  // are the new folder's, "WAV Export" is made there, the dialogs start there, and no slot is
  // chosen. A folder that is not there is said, and taken off the recent ones. Nothing while
  // a device or the package test works.
  void OpenFolder(const std::string& folder);
  // "ZelvorSound.ini" changed under the window: the rows show the file's names now (the
  // current slot stays chosen under its new name, the highlight where it is), and a name the
  // window gave a row that the file names otherwise since is no longer the window's to write
  // back. A file that cannot be read (or is gone) is said once by a line in the status window,
  // which is not brought forward for it; the list stays as it is. While a device or the
  // package test works this waits until they are done.
  void SeeOutsideChange();
  // Space on the list: "Stop" while a device works, "Play" otherwise.
  void PlayOrStop();

 signals:
  // The window accepted its close: the program ends.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Return on the list, and files dragged over and dropped onto its rows.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void BindHandlers();
  TShell& Shell();
  std::string RowText(int row) const;
  // The take of row: "<row's text>.WAV" in the folder.
  std::string TakeOfRow(int row) const;
  // What the build packs for the slot of row: the source "ZelvorSound.ini" names for it
  // when that file is there, else the row's take.
  std::string SoundOfRow(int row) const;
  // Activation and deactivation look the same for the player and the recorder.
  void DeviceActivated();
  void DeviceDeactivated();
  void ShowLevel(bool deviceOpen, uint32_t positionMs, int32_t level);
  // What to tell the user when a device did not open.
  static std::string DeviceFailureText(TWaveAudioIO& device);
  // Enables the file-writing commands (Button2, Button1X, BitBtn1) exactly when none is
  // busy, so none can rewrite a file a device or the package test still reads.
  void UpdateCommandButtons();
  // Shows row as the current slot (bold), and no other.
  void MarkCurrentSlot(int row);
  // Makes row the current slot: its name under the buttons, "Record" on, "Play" on when its
  // take exists.
  void ChooseSlot(int row);
  // The current slot's name under the buttons, its take as the current sound file name, and
  // "Play" on when that exists; all empty and off when no slot is chosen.
  void ShowCurrentSlot();
  // The list's highlight (the current row, the selected one, the scrolling), which the
  // package test moves to each slot it plays and gives back at its end.
  struct TListHighlight {
    int Current = -1, Selected = -1, Scroll = 0;
  };
  TListHighlight GetHighlight() const;
  void SetHighlight(const TListHighlight& highlight);
  void CreateListCommands();
  void CreateFolderCommands();
  void CreateKeys();
  // The rows' names from ini ("Sound n" where it names none).
  void ShowNames(const TIniFile& ini);
  static void ChooseSoundDevices(const TIniFile& ini);
  void FillFolderMenu();
  // "Listen" of "Speak text…": the text spoken from memory; StopListening ends it and waits
  // until the player has closed.
  void ListenTo(const std::string& text, const TSpeechOptions& speech);
  void StopListening();
  // Plays a WAV image from memory with the stock player; nothing is written.
  void PlayFromMemory(const std::string& wave);
  void CreateSlotCommands();
  // Shows the rows' names as "ZelvorSound.ini" has them now, also at closing.
  void ReloadRows(std::initializer_list<int> rows);
  struct TReplacement {
    std::string Take, Entry;
  } FLastReplacement;
  // Reads the coder the folder chose ([Options] Coder=) into the context, as every command
  // that codes does before it starts; an unknown one is said on a status line.
  void ChooseCoder();
  std::string FCoderWarning;  // what ChooseCoder found wrong, said after a build's lines
  // One import into the slot of row, on a copy of the context (the current slot stays as it
  // is until the import is done); true when it filled the slot, whose row then shows the new
  // name. A file error is shown with the file it concerns.
  bool ImportIntoSlot(int row, const std::function<TImportResult(TAppContext&)>& import);
  // Runs a command that writes in the folder while it holds the folder's lock; another run
  // in the folder is said in a message box, and nothing is done.
  void WithFolderLock(const std::function<void()>& command);
  // The package test proper, once the package is known to be there and the lock is held.
  void TestPackage(const std::string& packagePath);
  // The end of a recording started by "Record": its take replaced and converted (or kept),
  // then the folder's lock given back.
  void FinishTake();
  // Closing during a recording: it is stopped and its take finished as after "Stop".
  void FinishRecordingBeforeClosing();
  // Once a recording (In) or a playback (Out) has ended: the sound it lost to gaps the
  // driver recovered from, and what else the driver said, in one message box each.
  void TellSoundNotices(winmm::WaveDir dir);

  TAppContext FContext;
  TShell* FShell;
  bool FTestWait = false;
  bool FTestRunning = false;
  bool FTestFailed = false;               // a device error during the package test ends it
  bool FClosing = false;                  // the window has accepted its close
  TComponent* FReportedDevice = nullptr;  // the device whose error was shown last
  std::string FReportedText;
  int FCurrentSlot = -1;
  // The names the window gave rows itself (an import, a speech), by row, as they were given.
  std::map<int, std::string> FNamesGiven;
  std::chrono::milliseconds FCloseLockWait{std::chrono::seconds(60)};
  int FPopupRow = -1;                           // the row the context menu was opened for
  TSpeechOptions FSpeech;                       // the voice and speed "Speak text…" used last
  std::vector<TVoice> FVoices;  // the installed voices, read at the first "Speak text…"
  bool FVoicesRead = false;
  TFolderWatch* FFolderWatch;
  bool FOutsideChange = false;  // a change waits for the devices to be done
  std::string FIniProblem;      // what the status window was told last about the file
  bool FIniSeen = false;        // the file was there when the list last read it
  TFolderLock FFolderLock;
  // The recording "Record" started, from its start until its take has been finished.
  std::unique_ptr<TTakeRecording> FTake;
  // Owns the non-visual components (the stock recorder and player, DosCommand1).
  std::unique_ptr<TComponent> FComponents;
  std::unique_ptr<TOpenDialog> FOpenDialog;
  std::unique_ptr<TOpenDialog> FImportDialog;
  // The sound played from memory ("Play as the instrument plays it", "Listen"), owned by
  // FComponents.
  TMemoryWaveStorage* FInstrumentSound = nullptr;
  // What the sound driver said during the running cycles, per direction (In, Out): it
  // comes from the device threads, and is told on this thread once the cycle has ended.
  struct TSoundNotices {
    std::mutex M;
    double Lost[2] = {0, 0};
    std::string Said[2];
  };
  std::shared_ptr<TSoundNotices> FSoundNotices = std::make_shared<TSoundNotices>();
};

// Routes the errors that escape the devices' notification handlers (a device lost in the
// middle of a recording, a buffer the driver refused) to the window's message box for as
// long as it lives; the handler that was there before comes back afterwards.
class TDeviceErrorRoute {
 public:
  explicit TDeviceErrorRoute(TMainForm& form);

 private:
  TApplicationExceptionScope FScope;
};
