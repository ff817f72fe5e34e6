// The slot commands of the sound list: its earlier takes, rename, clear, move, and undoing
// the last replacement of a take. The work itself is the package layer's (package/History.h,
// package/SlotActions.h), under the folder's lock; here are the menu entries, their keys,
// the dialogs and the rows that show the result.
#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/Main.h"
#include "audio/WavePlayers.h"
#include "package/History.h"
#include "package/SlotActions.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// "Earlier takes…": the slot's history, newest first, with its date and length; "Play"
// plays the chosen one, "Use this take" ends the dialog with it chosen.
class TEarlierTakesDialog : public QDialog {
 public:
  TEarlierTakesDialog(QWidget* parent, const std::string& name,
                      const std::vector<THistoryEntry>& entries,
                      std::function<void(const std::string&)> play)
      : QDialog(parent), FEntries(entries) {
    setObjectName("EarlierTakesDialog");
    setWindowTitle(Q("Earlier takes of \"" + name + "\""));
    FList = new QTreeWidget(this);
    FList->setObjectName("TakeList");
    FList->setRootIsDecorated(false);
    FList->setHeaderLabels({"Date", "Length"});
    for (const THistoryEntry& e : entries) {
      const std::string length =
          e.Milliseconds < 0 ? "?" : ::Format("%.2f s", e.Milliseconds / 1000.0);
      FList->addTopLevelItem(new QTreeWidgetItem({Q(e.Date()), Q(length)}));
    }
    FList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    FList->setCurrentItem(FList->topLevelItem(0));
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* playButton = buttons->addButton("Play", QDialogButtonBox::ActionRole);
    playButton->setObjectName("PlayTake");
    QPushButton* use = buttons->addButton("Use this take", QDialogButtonBox::AcceptRole);
    use->setObjectName("UseThisTake");
    buttons->addButton(QDialogButtonBox::Close);
    connect(playButton, &QPushButton::clicked, this, [this, play] {
      if (Chosen() >= 0) play(FEntries[Chosen()].Take);
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FList);
    layout->addWidget(buttons);
  }
  int Chosen() const { return FList->indexOfTopLevelItem(FList->currentItem()); }

 private:
  QTreeWidget* FList;
  std::vector<THistoryEntry> FEntries;
};

}  // namespace

void TMainForm::CreateSlotCommands() {
  PopupMenu1->addSeparator();
  struct TEntry {
    QAction*& Action;
    const char* Name;
    const char* Caption;
    QKeySequence Key;
    std::function<void(int)> Run;
  };
  const TEntry entries[] = {
      {EarlierTakes1,
       "EarlierTakes1",
       "Earlier takes…",
       {},
       [this](int row) { EarlierTakes1Click(row); }},
      {RenameSlot1, "RenameSlot1", "Rename…", QKeySequence(Qt::Key_F2),
       [this](int row) { RenameSlot1Click(row); }},
      {ClearSlot1, "ClearSlot1", "Clear slot", QKeySequence(Qt::Key_Delete),
       [this](int row) { ClearSlot1Click(row); }},
      {MoveUp1, "MoveUp1", "Move up", QKeySequence(Qt::ALT | Qt::Key_Up),
       [this](int row) { MoveSlot1Click(row, -1); }},
      {MoveDown1, "MoveDown1", "Move down", QKeySequence(Qt::ALT | Qt::Key_Down),
       [this](int row) { MoveSlot1Click(row, +1); }},
  };
  for (const TEntry& e : entries) {
    e.Action = PopupMenu1->addAction(QString::fromUtf8(e.Caption));
    e.Action->setObjectName(e.Name);
    // The menu shows the key; the key itself belongs to the list and acts on its current row.
    e.Action->setShortcut(e.Key);
    e.Action->setShortcutContext(Qt::WidgetShortcut);
    connect(e.Action, &QAction::triggered, this,
            [this, run = e.Run] { Guarded([&] { run(FPopupRow); }); });
    if (e.Key.isEmpty()) continue;
    auto* key = new QShortcut(e.Key, ListBox1, nullptr, nullptr, Qt::WidgetShortcut);
    connect(key, &QShortcut::activated, this, [this, run = e.Run] {
      Guarded([&] {
        if (ListBox1->currentRow() >= 0) run(ListBox1->currentRow());
      });
    });
  }
  connect(PopupMenu1, &QMenu::aboutToShow, this, [this] {
    const bool free = !CommandsBusy() && FPopupRow >= 0;
    EarlierTakes1->setEnabled(
        free &&
        !ListHistory(FContext.ExeFolder, HistoryNameOf(FContext.ExeFolder, TakeOfRow(FPopupRow)))
             .empty());
    RenameSlot1->setEnabled(free);
    ClearSlot1->setEnabled(free);
    MoveUp1->setEnabled(free && FPopupRow > 0);
    MoveDown1->setEnabled(free && FPopupRow + 1 < kSoundSlots);
  });
  UndoReplacement1 = new QAction("Undo the last replacement", this);
  UndoReplacement1->setObjectName("UndoReplacement1");
  UndoReplacement1->setShortcut(QKeySequence::Undo);
  addAction(UndoReplacement1);
  connect(UndoReplacement1, &QAction::triggered, this,
          [this] { Guarded([this] { UndoReplacement1Click(); }); });
}

void TMainForm::ReloadRows(std::initializer_list<int> rows) {
  const TIniFile ini(ConfigFileName());
  for (int row : rows)
    if (QListWidgetItem* item = ListBox1->item(row)) {
      const std::string name = SlotName(ini, row);
      item->setText(Q(name));
      // Closing writes back what the list shows: the name the action wrote.
      FNamesGiven[row] = name;
    }
}

void TMainForm::NoteReplacement(const std::string& take, const std::string& entry) {
  if (!entry.empty()) FLastReplacement = {take, entry};
}

void TMainForm::RenameSlot1Click(int row) {
  if (CommandsBusy() || row < 0 || row >= kSoundSlots) return;
  bool ok = false;
  const QString name =
      QInputDialog::getText(this, "Rename slot", Q(::Format("New name of slot %d:", row)),
                            QLineEdit::Normal, Q(RowText(row)), &ok);
  if (!ok || name.toStdString() == RowText(row)) return;
  WithFolderLock([&] {
    const std::string refused = RenameSlot(FContext.ExeFolder, row, name.toStdString());
    if (!refused.empty()) return ShowMessage(refused, msWarning);
    ReloadRows({row});
    if (row == FCurrentSlot) ChooseSlot(row);  // "Record" and "Play" follow the new take
  });
}

void TMainForm::ClearSlot1Click(int row) {
  if (CommandsBusy() || row < 0 || row >= kSoundSlots) return;
  const QString question =
      Q(::Format("Clear slot %d \"%s\"? The build leaves it empty from "
                 "now on; its take and \".vox\" stay.",
                 row, RowText(row).c_str()));
  if (QMessageBox::question(this, kApplicationTitle, question) != QMessageBox::Yes) return;
  WithFolderLock([&] {
    const std::string refused = ClearSlot(FContext.ExeFolder, row);
    if (!refused.empty()) return ShowMessage(refused, msWarning);
    ReloadRows({row});
  });
}

void TMainForm::MoveSlot1Click(int row, int direction) {
  const int other = row + direction;
  if (CommandsBusy() || row < 0 || other < 0 || other >= kSoundSlots) return;
  WithFolderLock([&] {
    const std::string refused = MoveSlot(FContext.ExeFolder, row, direction);
    if (!refused.empty()) return ShowMessage(refused, msWarning);
    ReloadRows({row, other});
    // The chosen slot and the highlight go with the take they stand for.
    if (FCurrentSlot == row || FCurrentSlot == other)
      MarkCurrentSlot(FCurrentSlot == row ? other : row);
    ListBox1->setCurrentRow(other);
  });
}

void TMainForm::EarlierTakes1Click(int row) {
  if (CommandsBusy() || row < 0 || row >= kSoundSlots) return;
  const std::string take = TakeOfRow(row);
  const std::string name = HistoryNameOf(FContext.ExeFolder, take);
  const std::vector<THistoryEntry> entries = ListHistory(FContext.ExeFolder, name);
  if (entries.empty())
    return ShowMessage("\"" + RowText(row) + "\" has no earlier takes.", msInformation);
  TEarlierTakesDialog dialog(this, name, entries, [this](const std::string& file) {
    Guarded([&] {
      if (StockAudioPlayer->GetActive() || CommandsBusy()) return;
      if (!StockAudioPlayer->StartPlayingFile(file))
        throw EWaveAudioSysError(DeviceFailureText(*StockAudioPlayer));
    });
  });
  const bool use = dialog.exec() == QDialog::Accepted && dialog.Chosen() >= 0;
  // The take played last lets go of its file before the history changes.
  if (StockAudioPlayer->GetActive()) StockAudioPlayer->SetActive(false);
  while (StockAudioPlayer->GetActive()) Shell().WaitForEvents();
  if (!use) return;
  const std::string entry = entries[dialog.Chosen()].Take;
  WithFolderLock([&] {
    NoteReplacement(take, RestoreTake(FContext.ExeFolder, name, take, entry));
    ReloadRows({row});
    if (row == FCurrentSlot) ChooseSlot(row);
  });
}

void TMainForm::UndoReplacement1Click() {
  if (CommandsBusy()) return;
  if (FLastReplacement.Entry.empty())
    return ShowMessage("No take was replaced since the start: there is nothing to undo.",
                       msInformation);
  const TReplacement last = FLastReplacement;
  WithFolderLock([&] {
    if (!FileExists(last.Entry))
      return ShowMessage("The take \"" + last.Take +
                             "\" replaced is no longer among the earlier takes: nothing to undo.",
                         msWarning);
    const std::string name = HistoryNameOf(FContext.ExeFolder, last.Take);
    // Undoing it again brings back the take it replaces now.
    FLastReplacement = {last.Take, RestoreTake(FContext.ExeFolder, name, last.Take, last.Entry)};
    if (FCurrentSlot >= 0 && TakeOfRow(FCurrentSlot) == last.Take) ChooseSlot(FCurrentSlot);
  });
}
