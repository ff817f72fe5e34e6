// The folder the window works in: shown, opened anew, and watched for what others change in
// its "ZelvorSound.ini" while the window is open.
#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>

#include "app/FolderWatch.h"
#include "app/Main.h"
#include "app/RecentFolders.h"
#include "package/SlotActions.h"
#include "platform/files.h"
#include "platform/profile.h"

namespace {

QString Shown(const std::string& folder) {
  return QDir::toNativeSeparators(QString::fromStdString(folder));
}

}  // namespace

void TMainForm::CreateFolderCommands() {
  PopupMenu1->addSeparator();
  OpenFolder1 = PopupMenu1->addMenu(QString::fromUtf8("Open folder…"));
  OpenFolder1->setObjectName("OpenFolder1");
  ChooseFolder1 = new QAction(QString::fromUtf8("Choose folder…"), this);
  ChooseFolder1->setObjectName("ChooseFolder1");
  connect(ChooseFolder1, &QAction::triggered, this, [this] {
    Guarded([this] {
      const QString folder = QFileDialog::getExistingDirectory(
          this, "Open folder", QString::fromStdString(FContext.ExeFolder),
          QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
      if (!folder.isEmpty()) OpenFolder(folder.toStdString());
    });
  });
  connect(OpenFolder1, &QMenu::aboutToShow, this, [this] { FillFolderMenu(); });
  FFolderWatch = new TFolderWatch(this);
  connect(FFolderWatch, &TFolderWatch::Changed, this,
          [this] { Guarded([this] { SeeOutsideChange(); }); });
  FFolderWatch->Watch(FContext.ExeFolder, kConfigFile);
  ListBox1->setToolTip(Shown(FContext.ExeFolder));
}

void TMainForm::FillFolderMenu() {
  OpenFolder1->clear();
  OpenFolder1->addAction(Shown(FContext.ExeFolder))->setEnabled(false);
  OpenFolder1->addSeparator();
  const bool free = !CommandsBusy();
  for (const std::string& folder : RecentFolders()) {
    if (folder == FContext.ExeFolder) continue;
    QAction* open = OpenFolder1->addAction(Shown(folder));
    open->setEnabled(free);
    connect(open, &QAction::triggered, this,
            [this, folder] { Guarded([this, folder] { OpenFolder(folder); }); });
  }
  OpenFolder1->addAction(ChooseFolder1);
  ChooseFolder1->setEnabled(free);
}

void TMainForm::OpenFolder(const std::string& folder) {
  if (CommandsBusy()) return;
  std::string path =
      QDir::cleanPath(QDir::current().absoluteFilePath(QString::fromStdString(folder)))
          .toStdString();
  if (path.back() != '/') path += '/';
  if (!QFileInfo(QString::fromStdString(path)).isDir()) {
    ForgetRecentFolder(folder);
    ShowMessage("The folder \"" + folder + "\" is not there any more.", msWarning);
    return;
  }
  // The folder left keeps the window's names, as after closing.
  bool canClose = true;
  FormCloseQuery(canClose);
  FContext.ExeFolder = path;
  FContext.CurrentSoundFileName.clear();
  FFolderLock.SetFolder(path);
  FNamesGiven.clear();
  FIniProblem.clear();
  FOutsideChange = false;
  const TIniFile ini(ConfigFileName());
  ChooseSoundDevices(ini);
  ShowNames(ini);
  CreateDirectory(FContext.ExeFolder + kExportFolder);
  // No slot is chosen, as after a start.
  MarkCurrentSlot(-1);
  ShowCurrentSlot();
  btnRecord->setEnabled(false);
  SetHighlight({});
  OpenDialog1->SetInitialDir(path);
  ImportDialog->SetInitialDir(path);
  FFolderWatch->Watch(path, kConfigFile);
  ListBox1->setToolTip(Shown(path));
  UseRecentFolder(path);
}

void TMainForm::ShowNames(const TIniFile& ini) {
  FIniSeen = ini.Exists();
  bool current = false;
  for (int i = 0; i < ListBox1->count(); ++i) {
    const std::string name = SlotName(ini, i);
    if (RowText(i) == name) continue;
    ListBox1->item(i)->setText(QString::fromStdString(name));
    // The file names the slot otherwise now: closing leaves that name alone.
    FNamesGiven.erase(i);
    current = current || i == FCurrentSlot;
  }
  // The current slot stays chosen under the name it has now.
  if (current) ShowCurrentSlot();
}

void TMainForm::SeeOutsideChange() {
  if (FClosing) return;
  FOutsideChange = CommandsBusy();
  if (FOutsideChange) return;
  const TIniFile ini(ConfigFileName());
  const std::string file = "\"" + ConfigFileName() + "\"";
  const std::string kept = "; the sound list keeps the names it shows";
  std::string problem;
  if (ini.Unreadable())
    problem = file + " was changed and cannot be read" + kept + ".";
  else if (ini.NotText())
    problem = file + " was changed and is no text file any more (it holds NUL bytes)" + kept + ".";
  else if (!ini.Exists() && FIniSeen)
    problem = file + " was removed" + kept + ", and closing writes them into a new one.";
  else if (!ini.Exists())
    return;  // never there: the list shows the names a start shows
  if (!problem.empty()) {
    if (problem != FIniProblem && FShell != nullptr) FShell->StatusAdd(problem);
    FIniProblem = problem;
    return;
  }
  FIniProblem.clear();
  ChooseSoundDevices(ini);
  ShowNames(ini);
}
