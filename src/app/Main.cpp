#include "app/Main.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>

#include "app/WindowStyle.h"
#include "audio/WavePlayers.h"
#include "audio/WaveUtils.h"
#include "codec/Convert.h"
#include "package/Builder.h"
#include "package/FolderCoder.h"
#include "package/Package.h"
#include "package/TakeRecording.h"
#include "package/Tester.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/winmm_driver.h"
#include "rtl/SysUtils.h"

namespace {

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, QRect r) {
  auto* b = new QPushButton(QString::fromUtf8(caption), parent);
  b->setObjectName(name);
  b->setGeometry(r);
  b->setAutoDefault(false);
  return b;
}

// A label that shows its text as typed: no markup, no mnemonic, no background of its own.
QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption, QRect r) {
  auto* l = new QLabel(QString::fromUtf8(caption), parent);
  l->setObjectName(name);
  l->setTextFormat(Qt::PlainText);
  l->setAutoFillBackground(false);
  l->setGeometry(r);
  return l;
}

// An auto-sized label grows and shrinks with its caption from its top-left corner.
void SetAutoSizedCaption(QLabel* label, const QString& caption, int minHeight = 13) {
  label->setText(caption);
  QSize hint = label->sizeHint();
  label->resize(hint.width(), std::max(hint.height(), minHeight));
}

}  // namespace

// The sound devices the recorder and the player open: [Audio] InputDevice= and
// OutputDevice= of "ZelvorSound.ini", the sound system's "default" when not there. The
// entries are only read, so the file keeps them as the user wrote them.
void TMainForm::ChooseSoundDevices(const TIniFile& ini) {
  winmm::SetDeviceName(winmm::WaveDir::In, ini.ReadString("Audio", "InputDevice", "default"));
  winmm::SetDeviceName(winmm::WaveDir::Out, ini.ReadString("Audio", "OutputDevice", "default"));
}

TMainForm::TMainForm(std::string exeFolder, TShell* shell, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      FContext{std::move(exeFolder), std::string()},
      FShell(shell),
      FFolderLock(FContext.ExeFolder),
      FComponents(std::make_unique<TComponent>()) {
  setObjectName("MainForm");
  setWindowTitle(kCaption);
  ApplyWindowStyle(this);
  // A dialog border: the client area is fixed and the window can be neither resized nor
  // minimised or maximised.
  setFixedSize(kClientWidth, kClientHeight);
  move(kLeft, kTop);
  CreateControls();
  BindHandlers();
  CreateListCommands();
  CreateFolderCommands();
  CreateKeys();
  CreateSlotCommands();
  ChooseSoundDevices(TIniFile(ConfigFileName()));
  // The driver's notices (a gap in the sound) go to stderr as before, for a terminal, and
  // are kept for the message box after the recording or playback.
  winmm::SetNoticeSink([notices = FSoundNotices](const winmm::WaveNotice& notice) {
    std::fprintf(stderr, "zelvorsound: %s\n", notice.Text.c_str());
    const int i = notice.Dir == winmm::WaveDir::In ? 0 : 1;
    std::lock_guard lk(notices->M);
    if (notice.LostSeconds > 0)
      notices->Lost[i] += notice.LostSeconds;
    else
      notices->Said[i] = notice.Text;
  });
  Guarded([this] { FormCreate(); });
}

TMainForm::~TMainForm() {
  // The devices stop before the controls go away, and what they report while they close
  // down reaches no handler: the window and its shell are already leaving.
  for (TWaveAudioIO* device : {static_cast<TWaveAudioIO*>(StockAudioPlayer),
                               static_cast<TWaveAudioIO*>(StockAudioRecorder)}) {
    device->OnActivate = nullptr;
    device->OnDeactivate = nullptr;
    device->OnLevel = nullptr;
  }
  FComponents.reset();
  winmm::SetNoticeSink(nullptr);
}

void TMainForm::CreateControls() {
  btnRecord = MakeButton(this, "btnRecord", "Record", {19, 25, 86, 25});
  btnPlay = MakeButton(this, "btnPlay", "Play", {207, 25, 90, 25});
  btnStop = MakeButton(this, "btnStop", "Stop", {111, 25, 90, 25});
  btnRecord->setEnabled(false);
  btnPlay->setEnabled(false);
  btnStop->setEnabled(false);

  WaveFile = MakeLabel(this, "WaveFile", "", {19, 51, 0, 13});
  SetAutoSizedCaption(WaveFile, QString());

  AudioLevel = new QProgressBar(this);
  AudioLevel->setObjectName("AudioLevel");
  AudioLevel->setGeometry(19, 67, 278, 17);
  AudioLevel->setRange(0, 100);
  AudioLevel->setValue(0);
  AudioLevel->setTextVisible(false);

  Position = MakeLabel(this, "Position", "0.00", {61, 108, 21, 13});
  PositionLabel = MakeLabel(this, "PositionLabel", "Position:", {19, 108, 40, 13});

  StockAudioPlayer = new TStockAudioPlayer(FComponents.get());
  StockAudioPlayer->SetName("StockAudioPlayer");
  StockAudioPlayer->SetBufferLength(100);
  StockAudioRecorder = new TTakeRecorder(FComponents.get());
  StockAudioRecorder->SetName("StockAudioRecorder");
  StockAudioRecorder->SetBufferLength(100);

  Format = new QComboBox(this);
  Format->setObjectName("Format");
  Format->setGeometry(19, 127, 278, 21);
  Format->setEditable(false);  // pick from the list only
  Format->setVisible(false);

  FOpenDialog = std::make_unique<TOpenDialog>(this);
  OpenDialog1 = FOpenDialog.get();
  OpenDialog1->SetDefaultExt("vox");
  OpenDialog1->SetFilter("vox files (*.vox)|*.vox");
  // The ".vox" files lie in the program's folder, wherever the program was started from.
  OpenDialog1->SetInitialDir(FContext.ExeFolder);

  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName("ListBox1");
  ListBox1->setGeometry(320, 16, 169, 193);
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setUniformItemSizes(true);
  ListBox1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  Button2 = MakeButton(this, "Button2", "Create Zelvor sound file", {16, 176, 153, 25});
  Button1X = MakeButton(this, "Button1X", "Button1X", {152, 88, 75, 25});
  BitBtn1 = MakeButton(this, "BitBtn1", "Test Sounds.zvd file", {16, 216, 153, 25});

  Label1 = MakeLabel(this, "Label1",
                     "If using externaly created WAV files, record them mono, 8 bits, 8Khz",
                     {320, 216, 177, 33});
  Label1->setWordWrap(true);
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  DosCommand1 = new TDosCommand(FComponents.get());
  DosCommand1->SetName("DosCommand1");
  DosCommand1->SetInputToOutput(false);
  DosCommand1->SetMaxTimeAfterBeginning(0);
  DosCommand1->SetMaxTimeAfterLastOutput(0);
  DosCommand1->SetCommandLine("");

  // The tab order: Format 0, Record 1, Play 2, Stop 3, level 4, list 5, Create 6,
  // Button1X 7, Test 8. Labels take no focus; the progress bar is passed over as well.
  QWidget* order[] = {Format,   btnRecord, btnPlay,  btnStop, AudioLevel,
                      ListBox1, Button2,   Button1X, BitBtn1};
  // The level bar is no tab stop, yet it holds its place in the chain; Qt leaves widgets
  // without any focus out of the chain, so it takes tab focus only while being placed.
  AudioLevel->setFocusPolicy(Qt::TabFocus);
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  AudioLevel->setFocusPolicy(Qt::NoFocus);
}

void TMainForm::BindHandlers() {
  auto click = [this](QPushButton* b, void (TMainForm::*handler)()) {
    connect(b, &QPushButton::clicked, this,
            [this, handler] { Guarded([=, this] { (this->*handler)(); }); });
  };
  click(btnRecord, &TMainForm::btnRecordClick);
  click(btnStop, &TMainForm::btnStopClick);
  click(btnPlay, &TMainForm::btnPlayClick);
  click(Button1X, &TMainForm::Button1XClick);
  click(Button2, &TMainForm::Button2Click);
  click(BitBtn1, &TMainForm::BitBtn1Click);
  // Only a choice of the user is a change; filling and selecting at start-up is not.
  connect(Format, &QComboBox::activated, this, [this] { Guarded([this] { FormatChange(); }); });
  connect(ListBox1, &QListWidget::itemDoubleClicked, this,
          [this] { Guarded([this] { ListBox1DblClick(); }); });

  auto event = [this](void (TMainForm::*handler)(TComponent*)) {
    return
        [this, handler](TComponent* sender) { Guarded([=, this] { (this->*handler)(sender); }); };
  };
  auto level = [this](void (TMainForm::*handler)(TComponent*, int32_t)) {
    return [this, handler](TComponent* sender, int32_t value) {
      Guarded([=, this] { (this->*handler)(sender, value); });
    };
  };
  StockAudioPlayer->OnActivate = event(&TMainForm::StockAudioPlayerActivate);
  StockAudioPlayer->OnDeactivate = event(&TMainForm::StockAudioPlayerDeactivate);
  StockAudioPlayer->OnLevel = level(&TMainForm::StockAudioPlayerLevel);
  StockAudioRecorder->OnActivate = event(&TMainForm::StockAudioRecorderActivate);
  StockAudioRecorder->OnDeactivate = event(&TMainForm::StockAudioRecorderDeactivate);
  StockAudioRecorder->OnLevel = level(&TMainForm::StockAudioRecorderLevel);
  DosCommand1->OnTerminated = event(&TMainForm::DosCommand1Terminated);
}

void TMainForm::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowMessage(e.what(), msError);
  } catch (...) {
    ShowMessage("Unknown error", msError);
  }
}

void TMainForm::ShowMessage(const std::string& text, TMessageSeverity severity) {
  if (FShell)
    FShell->ShowMessage(text, severity);
  else
    ShowMessageBox(this, text, severity);
}

TShell& TMainForm::Shell() {
  if (!FShell) throw Exception("The window has no shell to talk to the user");
  return *FShell;
}

std::string TMainForm::RowText(int row) const {
  QListWidgetItem* item = ListBox1->item(row);
  return item ? item->text().toStdString() : std::string();
}

std::string TMainForm::TakeOfRow(int row) const {
  return FContext.ExeFolder + RowText(row) + ".WAV";
}

void TMainForm::ChooseCoder() {
  const TCoderChoice choice = FolderCoder(FContext.ExeFolder);
  FContext.Coder = choice.Coder;
  FCoderWarning = choice.Warning;
  if (!FCoderWarning.empty() && FShell) {
    FShell->StatusAdd(FCoderWarning);
    FShell->StatusShow();
  }
}

void TMainForm::FormCreate() {
  // The hidden format list: item k is the PCM format k + 1.
  for (int f = Mono8Bit8000Hz; f <= Stereo16bit48000Hz; ++f) {
    TWaveFormatEx wf{};
    FillPCMWaveFormatByIndex(&wf, static_cast<TPCMFormat>(f));
    Format->addItem(QString::fromStdString(DescribeWaveFormat(&wf)));
  }
  // The recording format is the one two places before 8 kHz 16-bit mono, that is 8 kHz
  // 8-bit mono; a name written with another decimal separator is not found, and the
  // format is the same.
  int found = Format->findText("PCM 8.000 kHz, 16 Bit, Mono");
  TPCMFormat chosen = found >= 0 ? static_cast<TPCMFormat>(found + 1 - 2) : Mono8Bit8000Hz;
  if (chosen < Mono8Bit8000Hz) chosen = Mono8Bit8000Hz;
  StockAudioRecorder->SetPCMFormat(chosen);
  Format->setCurrentIndex(StockAudioRecorder->GetPCMFormat() - 1);

  // The sound list; the configuration file is read only for this.
  for (int i = 0; i < kSoundSlots; ++i) (new QListWidgetItem(ListBox1))->setSizeHint(QSize(0, 13));
  ShowNames(TIniFile(ConfigFileName()));
  // An existing folder, or one that cannot be made, does not disturb the start.
  CreateDirectory(FContext.ExeFolder + kExportFolder);
}

void TMainForm::FormatChange() {
  StockAudioRecorder->SetPCMFormat(static_cast<TPCMFormat>(Format->currentIndex() + 1));
}

void TMainForm::btnRecordClick() {
  // One recording at a time, and none while the player or the package test works.
  if (CommandsBusy()) return;
  // A row named in someone else's configuration file must not put a take outside the
  // program's folder (an absolute name, a ".." climbing out); a sub-folder inside is fine.
  const std::string& name = FContext.CurrentSoundFileName;
  const std::string& folder = FContext.ExeFolder;
  const bool inFolder = name.compare(0, folder.size(), folder) == 0;
  const std::string relative = inFolder ? name.substr(folder.size()) : name;
  // Spelled inside, it must land inside too: a sub-folder that is a link to elsewhere is
  // refused as well.
  if (!relative.empty() && (!StaysInFolder(relative) || !LiesInside(folder, name)))
    throw Exception("Cannot record to \"" + name + "\": it must stay in the program's folder");
  // The lock is held from here until the take has been converted (FinishTake).
  if (!FFolderLock.TryLock()) {
    ShowMessage(FolderBusyText(folder), msWarning);
    return;
  }
  try {
    ChooseCoder();
    // A take that cannot be replaced is refused here, before the device opens.
    auto take = std::make_unique<TTakeRecording>(name);
    // A device that refuses to open (taken by another program) reports no error of its own:
    // the user hears nothing happen unless told. The take and its ".vox" are untouched.
    if (!take->Start(*StockAudioRecorder))
      throw EWaveAudioSysError(DeviceFailureText(*StockAudioRecorder));
    FTake = std::move(take);
  } catch (...) {
    FFolderLock.Unlock();
    throw;
  }
}

void TMainForm::btnPlayClick() {
  if (!StockAudioPlayer->StartPlayingFile(FContext.CurrentSoundFileName))
    throw EWaveAudioSysError(DeviceFailureText(*StockAudioPlayer));
}

std::string TMainForm::DeviceFailureText(TWaveAudioIO& device) {
  // The same text the CLI shows: the device's words with the driver's reason.
  return device.LastErrorText();
}

void TMainForm::DeviceError(TComponent* Sender, const std::exception& E) {
  // A device that went away fails every buffer still queued on it: the user hears of it
  // once for the open cycle, not once a buffer.
  const std::string text = E.what();
  if (Sender != nullptr && Sender == FReportedDevice && text == FReportedText) return;
  FReportedDevice = Sender;
  FReportedText = text;
  // A device that fails during a package test would fail again for every slot after it:
  // the test ends after this one, and the user reads one message.
  if (FTestRunning) FTestFailed = true;
  ShowMessage(text, msError);
}

void TMainForm::btnPauseClick() {
  if (StockAudioPlayer->GetActive())
    StockAudioPlayer->SetPaused(!StockAudioPlayer->GetPaused());
  else
    StockAudioRecorder->SetPaused(!StockAudioRecorder->GetPaused());
}

void TMainForm::btnStopClick() {
  if (StockAudioPlayer->GetActive())
    StockAudioPlayer->SetActive(false);
  else
    StockAudioRecorder->SetActive(false);
}

void TMainForm::DeviceActivated() {
  FReportedDevice = nullptr;
  Format->setEnabled(false);
  btnStop->setEnabled(true);
  btnRecord->setEnabled(false);
  btnPlay->setEnabled(false);
  btnStop->setFocus();
  UpdateCommandButtons();
}

void TMainForm::DeviceDeactivated() {
  Format->setEnabled(true);
  // "Record" and "Play" act on the slot the user chose; before any choice (a package test
  // right after the start) they stay off.
  const bool chosen = !FContext.CurrentSoundFileName.empty();
  btnRecord->setEnabled(chosen);
  btnPlay->setEnabled(chosen);
  btnStop->setEnabled(false);
  btnPlay->setFocus();
  UpdateCommandButtons();
  FReportedDevice = nullptr;
}

bool TMainForm::CommandsBusy() const {
  return FTestRunning || FTake != nullptr || StockAudioPlayer->GetActive() ||
         StockAudioRecorder->GetActive();
}

void TMainForm::UpdateCommandButtons() {
  const bool free = !CommandsBusy();
  Button2->setEnabled(free);
  Button1X->setEnabled(free);
  BitBtn1->setEnabled(free);
  // A change of "ZelvorSound.ini" seen while a device worked is shown now, once this
  // handler is done.
  if (free && FOutsideChange)
    QMetaObject::invokeMethod(
        this, [this] { Guarded([this] { SeeOutsideChange(); }); }, Qt::QueuedConnection);
}

void TMainForm::ShowLevel(bool deviceOpen, uint32_t positionMs, int32_t level) {
  // The level event that ends an open cycle comes when the device is already gone and
  // knows no position: the caption keeps the last position it showed, and only the bar
  // drops to 0.
  if (deviceOpen)
    SetAutoSizedCaption(Position, QString::fromStdString(FormatDuration(positionMs, 6)));
  AudioLevel->setValue(level);
}

void TMainForm::StockAudioPlayerActivate(TComponent*) { DeviceActivated(); }

void TMainForm::StockAudioPlayerDeactivate(TComponent*) {
  DeviceDeactivated();
  FTestWait = false;
  TellSoundNotices(winmm::WaveDir::Out);
}

void TMainForm::StockAudioPlayerLevel(TComponent*, int32_t Level) {
  ShowLevel(StockAudioPlayer->GetDeviceHandle() != 0, StockAudioPlayer->GetPosition(), Level);
}

void TMainForm::StockAudioRecorderActivate(TComponent*) { DeviceActivated(); }

void TMainForm::StockAudioRecorderDeactivate(TComponent*) {
  DeviceDeactivated();
  SetAutoSizedCaption(Position, "0.00");
  try {
    FinishTake();
  } catch (...) {
    TellSoundNotices(winmm::WaveDir::In);
    throw;
  }
  TellSoundNotices(winmm::WaveDir::In);
}

void TMainForm::TellSoundNotices(winmm::WaveDir dir) {
  const int i = dir == winmm::WaveDir::In ? 0 : 1;
  double lost = 0;
  std::string said;
  {
    std::lock_guard lk(FSoundNotices->M);
    lost = std::exchange(FSoundNotices->Lost[i], 0);
    said = std::exchange(FSoundNotices->Said[i], std::string());
  }
  if (FClosing) return;
  // A tenth of a second at the least: a gap is worth telling even when it was short.
  if (lost > 0)
    ShowMessage(::Format(dir == winmm::WaveDir::In ? "%.1f s of sound was lost while recording"
                                                   : "The sound broke off for %.1f s while playing",
                         std::max(lost, 0.1)),
                msWarning);
  if (!said.empty()) ShowMessage(said, msWarning);
}

void TMainForm::FinishTake() {
  if (!FTake) return;
  // However the take ends (a file error, a message the user reads first), the lock is given
  // back and the commands held back during the recording come back.
  std::unique_ptr<TTakeRecording> take = std::move(FTake);
  struct TRelease {
    TMainForm& Form;
    ~TRelease() {
      Form.FFolderLock.Unlock();
      if (!Form.FClosing) Form.UpdateCommandButtons();
    }
  } release{*this};
  // The file just recorded, whatever row the list highlights by now.
  take->Finish(*StockAudioRecorder, FContext, Shell());
  NoteReplacement(take->TakePath(), take->KeptEntry());
}

void TMainForm::StockAudioRecorderLevel(TComponent*, int32_t Level) {
  ShowLevel(StockAudioRecorder->GetDeviceHandle() != 0, StockAudioRecorder->GetPosition(), Level);
}

void TMainForm::Button1Click() {
  WithFolderLock([this] {
    ChooseCoder();
    ::Button1Click(FContext, Shell());
  });
}

void TMainForm::FormCloseQuery(bool& CanClose) {
  // Nothing in the list is ever edited in the window, so a write-back that fails loses
  // nothing: the user is told and the window closes all the same.
  CanClose = true;
  try {
    // A recording that runs into the closing holds the lock already.
    const bool held = FFolderLock.Held();
    if (!held && !FFolderLock.Lock(FCloseLockWait)) {
      ShowMessage("The names of the sound list were not written to \"" + ConfigFileName() +
                      "\": another run of ZelvorSound kept the folder busy.",
                  msWarning);
      return;
    }
    struct TRelease {
      TFolderLock& Lock;
      bool Keep;
      ~TRelease() {
        if (!Keep) Lock.Unlock();
      }
    } release{FFolderLock, held};
    // The file as it is now: what another run wrote while the window was open stays.
    TIniFile ini(ConfigFileName());
    for (int i = 0; i < ListBox1->count(); ++i) {
      const std::string key = "Name" + std::to_string(i);
      // A given name goes back as it was given, byte for byte, whatever the list shows of it.
      const auto given = FNamesGiven.find(i);
      if (given != FNamesGiven.end())
        ini.WriteString("SoundFiles", key, given->second);
      else if (!ini.ValueExists("SoundFiles", key))
        ini.WriteString("SoundFiles", key, RowText(i));
    }
    ini.UpdateFile();
  } catch (const Exception& e) {
    ShowMessage(e.Message(), msError);
  }
}

void TMainForm::ListBox1DblClick() {
  // A recording, a playback or the package test keeps the slot it works on: the double-click
  // moves the highlight only, and "Record" stays as it is.
  if (CommandsBusy()) return;
  int row = ListBox1->currentRow();
  if (row < 0) return;  // a double-click beside every row chooses nothing
  ChooseSlot(row);
}

void TMainForm::ChooseSlot(int row) {
  ListBox1->setCurrentRow(row);
  MarkCurrentSlot(row);
  btnRecord->setEnabled(true);
  ShowCurrentSlot();
}

void TMainForm::ShowCurrentSlot() {
  const bool chosen = FCurrentSlot >= 0;
  SetAutoSizedCaption(WaveFile, chosen ? QString::fromStdString(RowText(FCurrentSlot)) : QString());
  FContext.CurrentSoundFileName = chosen ? TakeOfRow(FCurrentSlot) : std::string();
  btnPlay->setEnabled(chosen && FileExists(FContext.CurrentSoundFileName));
}

void TMainForm::MarkCurrentSlot(int row) {
  for (int marked : {FCurrentSlot, row}) {
    if (QListWidgetItem* item = ListBox1->item(marked)) {
      QFont font = item->font();
      font.setBold(marked == row);
      item->setFont(font);
    }
  }
  FCurrentSlot = row;
}

void TMainForm::WithFolderLock(const std::function<void()>& command) {
  TFolderLockScope lock(FFolderLock);
  if (!lock.Acquired()) {
    ShowMessage(FolderBusyText(FContext.ExeFolder), msWarning);
    return;
  }
  command();
}

void TMainForm::Button2Click() {
  // The build rewrites the package the test reads and runs the codec on working files a
  // recording's coding also uses: it waits until the devices are quiet.
  if (CommandsBusy()) return;
  WithFolderLock([this] {
    ChooseCoder();
    ::Button2Click(FContext, Shell(), [this](int row) { return RowText(row); });
    // The build began by clearing the status window: the warning comes again after its lines.
    if (!FCoderWarning.empty()) Shell().StatusAdd(FCoderWarning);
  });
}

void TMainForm::Button1XClick() {
  // "testvox.wav" may be playing for the package test; it is not rewritten under the player.
  if (CommandsBusy()) return;
  WithFolderLock([this] { ::Button1XClick(FContext, Shell()); });
}

void TMainForm::DosCommand1Terminated(TComponent*) {
  // No command is ever started on DosCommand1, so this never runs.
}

void TMainForm::BitBtn1Click() {
  // A test already running, or a device in use: the player is not free for the test.
  if (CommandsBusy()) return;
  const std::string packagePath = FContext.ExeFolder + "Sounds.zvd";
  if (!FileExists(packagePath)) return;
  WithFolderLock([&] { TestPackage(packagePath); });
}

void TMainForm::TestPackage(const std::string& packagePath) {
  TShell& shell = Shell();
  TPackageReader package(packagePath);
  package.Open();
  // However the test ends (an error, the window closing), no wait is left standing and the
  // commands it held back come back.
  // The highlight follows the slot that plays and returns where it was at the end.
  struct TTestRun {
    TMainForm& Form;
    const TListHighlight Highlight;
    explicit TTestRun(TMainForm& form) : Form(form), Highlight(form.GetHighlight()) {
      Form.FTestRunning = true;
      Form.UpdateCommandButtons();
    }
    ~TTestRun() {
      Form.FTestWait = false;
      Form.FTestRunning = false;
      if (Form.FClosing) return;
      Form.UpdateCommandButtons();
      Form.SetHighlight(Highlight);
    }
  } testRun(*this);
  FTestFailed = false;
  for (int slot = 0; slot < kSoundSlots && !FClosing && !FTestFailed; ++slot) {
    if (!DecodeSlotToTestWav(FContext, package, slot)) continue;
    ListBox1->setCurrentRow(slot);
    FTestWait = true;
    // A device that did not open sends no deactivation to wait for: the test ends, and
    // the user learns why rather than sitting through silence.
    if (!StockAudioPlayer->StartPlayingFile(TestWavPath(FContext)))
      throw EWaveAudioSysError(DeviceFailureText(*StockAudioPlayer));
    // The player's deactivation clears the flag, also when "Stop" ends this sound.
    while (FTestWait && !FClosing) shell.WaitForEvents();
  }
  // Closing the window stopped the player: the test lets it finish closing, so that it
  // lets go of "testvox.wav" before the package is closed and the program ends.
  while (StockAudioPlayer->GetActive() && StockAudioPlayer->GetClosing()) shell.WaitForEvents();
  package.Close();
}

TMainForm::TListHighlight TMainForm::GetHighlight() const {
  const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
  return {ListBox1->currentRow(), selected.isEmpty() ? -1 : ListBox1->row(selected.first()),
          ListBox1->verticalScrollBar()->value()};
}

void TMainForm::SetHighlight(const TListHighlight& highlight) {
  // The current row (the one Return chooses) and the selection are set apart: before any
  // click the list may have a current row that is not selected.
  ListBox1->setCurrentRow(highlight.Current, QItemSelectionModel::NoUpdate);
  ListBox1->clearSelection();
  if (QListWidgetItem* item = ListBox1->item(highlight.Selected)) item->setSelected(true);
  ListBox1->verticalScrollBar()->setValue(highlight.Scroll);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  Guarded([&] { FormCloseQuery(canClose); });
  if (!canClose) {
    event->ignore();
    return;
  }
  event->accept();
  // A package test waiting for its playback ends with the window, and a playback stops
  // with it; a recording is stopped and its take finished before the program ends.
  FClosing = true;
  if (StockAudioPlayer->GetActive()) Guarded([this] { StockAudioPlayer->SetActive(false); });
  FinishRecordingBeforeClosing();
  FContext.CurrentSoundFileName.clear();
  emit Closed();
}

void TMainForm::FinishRecordingBeforeClosing() {
  while (FTake) {
    // Its deactivation finishes the take; one that has closed without it is finished here.
    if (!StockAudioRecorder->GetActive()) {
      Guarded([this] { FinishTake(); });
      break;
    }
    if (!StockAudioRecorder->GetClosing())
      Guarded([this] { StockAudioRecorder->SetActive(false); });
    if (FShell == nullptr) break;
    FShell->WaitForEvents();
  }
}

TDeviceErrorRoute::TDeviceErrorRoute(TMainForm& form)
    : FScope(
          [&form](TComponent* sender, const std::exception& e) { form.DeviceError(sender, e); }) {}
