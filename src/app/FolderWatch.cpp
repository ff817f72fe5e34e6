#include "app/FolderWatch.h"

#include <QFileInfo>

#include "rtl/FileSystem.h"

TFolderWatch::TFolderWatch(QObject* parent) : QObject(parent) {
  FQuiet.setSingleShot(true);
  FQuiet.setInterval(250);
  connect(&FWatcher, &QFileSystemWatcher::fileChanged, this, &TFolderWatch::Seen);
  connect(&FWatcher, &QFileSystemWatcher::directoryChanged, this, &TFolderWatch::Seen);
  connect(&FQuiet, &QTimer::timeout, this, [this] {
    // The name may stand for a new file by now, which the old watch does not see.
    if (!FWatcher.files().isEmpty()) FWatcher.removePaths(FWatcher.files());
    Arm();
    emit Changed();
  });
}

void TFolderWatch::Watch(const std::string& folder, const std::string& fileName) {
  for (const QStringList& paths : {FWatcher.files(), FWatcher.directories()})
    if (!paths.isEmpty()) FWatcher.removePaths(paths);
  FQuiet.stop();
  FFolder = folder;
  FFileName = fileName;
  Arm();
}

void TFolderWatch::Seen() {
  Arm();
  FQuiet.start();
}

void TFolderWatch::Arm() {
  // Only what is there can be watched; the folder's events bring the file when it comes.
  const QString folder = QString::fromStdString(FFolder);
  if (!FWatcher.directories().contains(folder) && QFileInfo(folder).isDir())
    FWatcher.addPath(folder);
  const QString file = QString::fromStdString(ResolveFileName(FFolder + FFileName));
  if (!FWatcher.files().contains(file) && QFileInfo(file).isFile()) FWatcher.addPath(file);
}
