// The sound list's own commands: Return on a row, its context menu and the sound files
// dropped onto it. They bring prompts from anywhere into a slot through the import layer.
#include <QAction>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

#include "app/Main.h"
#include "audio/WavePlayers.h"
#include "import/FileError.h"
#include "package/Builder.h"
#include "package/Tester.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

namespace {

// The local files among what is dragged, in the order the source gives them.
std::vector<std::string> LocalFiles(const QMimeData* data) {
  std::vector<std::string> files;
  if (data == nullptr) return files;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
  return files;
}

}  // namespace

void TMainForm::CreateListCommands() {
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  ImportSoundFile1 = PopupMenu1->addAction(QString::fromUtf8("Import sound file…"));
  ImportSoundFile1->setObjectName("ImportSoundFile1");
  SpeakText1 = PopupMenu1->addAction(QString::fromUtf8("Speak text…"));
  SpeakText1->setObjectName("SpeakText1");
  PlayAsInstrument1 = PopupMenu1->addAction("Play as the instrument plays it");
  PlayAsInstrument1->setObjectName("PlayAsInstrument1");
  connect(ImportSoundFile1, &QAction::triggered, this,
          [this] { Guarded([this] { ImportSoundFile1Click(); }); });
  connect(SpeakText1, &QAction::triggered, this,
          [this] { Guarded([this] { SpeakText1Click(); }); });
  connect(PlayAsInstrument1, &QAction::triggered, this,
          [this] { Guarded([this] { PlayAsInstrument1Click(); }); });
  FInstrumentSound = new TMemoryWaveStorage(FComponents.get());

  FImportDialog = std::make_unique<TOpenDialog>(this);
  ImportDialog = FImportDialog.get();
  ImportDialog->SetTitle("Import sound file");
  ImportDialog->SetFilter(
      "Sound files|*.wav;*.flac;*.ogg;*.oga;*.opus;*.mp3;*.aif;*.aiff;*.aifc;*.au;*.snd;*.caf;"
      "*.w64;*.voc|All files|*");
  ImportDialog->SetAllowMultiSelect(true);
  ImportDialog->SetInitialDir(FContext.ExeFolder);

  ListBox1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ListBox1, &QWidget::customContextMenuRequested, this,
          [this](QPoint pos) { Guarded([=, this] { ListBox1ContextPopup(pos); }); });
  ListBox1->installEventFilter(this);
  ListBox1->viewport()->installEventFilter(this);
  ListBox1->viewport()->setAcceptDrops(true);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched == ListBox1 && type == QEvent::KeyPress) {
    const auto* press = static_cast<QKeyEvent*>(event);
    const int key = press->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
      // A held key acts once.
      if (!press->isAutoRepeat()) Guarded([=, this] { ListBox1KeyDown(key); });
      return true;
    }
  }
  if (watched == ListBox1->viewport() &&
      (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)) {
    auto* drag = static_cast<QDropEvent*>(event);
    const int row = ListBox1->indexAt(drag->position().toPoint()).row();
    std::vector<std::string> files = LocalFiles(drag->mimeData());
    // Files may come in over any place of the list; where they would land says the cursor.
    const bool takes = !files.empty() && (type == QEvent::DragEnter || ListBox1DragOver(row));
    if (!takes) {
      drag->ignore();
      return true;
    }
    drag->setDropAction(Qt::CopyAction);
    drag->accept();
    // The import runs after the drop has been answered, so the program the files came from
    // is not kept waiting behind it (nor behind a message box it shows).
    if (type == QEvent::Drop)
      QMetaObject::invokeMethod(
          this, [this, row, files] { Guarded([&] { ListBox1DragDrop(row, files); }); },
          Qt::QueuedConnection);
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TMainForm::ListBox1KeyDown(int Key) {
  if (Key == Qt::Key_Return || Key == Qt::Key_Enter) ListBox1DblClick();
  if (Key == Qt::Key_Space) PlayOrStop();
}

void TMainForm::ListBox1ContextPopup(QPoint pos) {
  const int row = ListBox1->indexAt(pos).row();
  if (row < 0) return;
  FPopupRow = row;
  // The entries are there to see while a device works, but off, as the buttons are.
  const bool free = !CommandsBusy();
  ImportSoundFile1->setEnabled(free);
  SpeakText1->setEnabled(free);
  PlayAsInstrument1->setEnabled(free && FileExists(SoundOfRow(row)));
  PopupMenu1->popup(ListBox1->viewport()->mapToGlobal(pos));
}

void TMainForm::ImportSoundFile1Click() {
  if (CommandsBusy() || FPopupRow < 0) return;
  const int row = FPopupRow;
  if (!ImportDialog->Execute()) return;
  // The next choice starts where this one was made.
  const std::string& first = ImportDialog->GetFileName();
  ImportDialog->SetInitialDir(first.substr(0, first.rfind('/') + 1));
  ImportIntoSlots(row, ImportDialog->GetFiles());
}

std::string TMainForm::SoundOfRow(int row) const {
  const std::string source = NormaliseConfiguredName(TIniFile(ConfigFileName()).ReadString(
      "SourceFileNames", "Name" + std::to_string(row), ""));
  if (!IsNoFile(source) && FileExists(FContext.ExeFolder + source))
    return FContext.ExeFolder + source;
  return TakeOfRow(row);
}

void TMainForm::PlayAsInstrument1Click() {
  if (CommandsBusy() || FPopupRow < 0) return;
  const std::string sound = SoundOfRow(FPopupRow);
  ChooseCoder();
  std::string problem;
  std::optional<std::string> wave = CodedWave(sound, FContext.Coder, problem);
  if (!wave) {
    ShowMessage(problem, msWarning);
    return;
  }
  PlayFromMemory(*wave);
}

void TMainForm::PlayFromMemory(const std::string& wave) {
  FInstrumentSound->PutBytes(0, wave);
  StockAudioPlayer->SetStock(FInstrumentSound);
  if (!StockAudioPlayer->StartPlayingStockItem(0))
    throw EWaveAudioSysError(DeviceFailureText(*StockAudioPlayer));
}

bool TMainForm::ListBox1DragOver(int row) const { return row >= 0 && !CommandsBusy(); }

void TMainForm::ListBox1DragDrop(int row, const std::vector<std::string>& files) {
  if (!ListBox1DragOver(row)) return;
  ImportIntoSlots(row, files);
}

void TMainForm::ImportIntoSlots(int row, const std::vector<std::string>& files) {
  if (CommandsBusy() || row < 0 || files.empty()) return;
  const int last = row + static_cast<int>(files.size()) - 1;
  if (last >= kSoundSlots) {
    ShowMessage(::Format("%zu files from slot %d would go past slot %d: nothing was imported",
                         files.size(), row, kSoundSlots - 1),
                msWarning);
    return;
  }
  WithFolderLock([&] {
    int filled = 0;
    for (const std::string& file : files) {
      const int slot = row + filled;
      if (!ImportIntoSlot(slot, [&](TAppContext& ctx) {
            return ImportSoundFile(ctx, Shell(), slot, file, TImportOptions());
          }))
        break;
      ++filled;
    }
    if (filled > 0) ChooseSlot(row);
  });
}

void TMainForm::SpeakIntoSlot(int row, const std::string& text, const TSpeechOptions& speech,
                              const std::string& name) {
  if (CommandsBusy() || row < 0 || row >= kSoundSlots) return;
  TImportOptions options;
  options.Name = name;
  WithFolderLock([&] {
    if (ImportIntoSlot(row, [&](TAppContext& ctx) {
          return SpeakText(ctx, Shell(), row, text, options, speech);
        }))
      ChooseSlot(row);
  });
}

bool TMainForm::ImportIntoSlot(int row, const std::function<TImportResult(TAppContext&)>& import) {
  ChooseCoder();
  TAppContext ctx = FContext;
  TImportResult result;
  try {
    result = import(ctx);
  } catch (const EImportFileError& e) {
    ShowMessage(e.Path + ": " + e.Message(), msError);
    return false;
  }
  if (result.Status != TImportStatus::Done) return false;
  NoteReplacement(ctx.CurrentSoundFileName, result.Kept);
  ListBox1->item(row)->setText(QString::fromStdString(result.Name));
  FNamesGiven[row] = result.Name;
  return true;
}
