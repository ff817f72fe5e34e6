// Tells the window when "ZelvorSound.ini" may have been changed by someone else: another
// run of the program, zelvorsound-cli, an editor.
//
// It watches the folder and the file in it. Editors, like the program's own safe writes,
// often replace the file by renaming a new one over it, after which the system no longer
// watches the name; every event therefore arms the watch on the file again (whatever the
// letter case of its name). Changes come in bursts (a temporary file made, written, renamed):
// Changed is emitted once the folder has been quiet for a quarter of a second. The signal
// says only that something may have changed; the window reads the file and compares, so its
// own writes change nothing on the screen.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>
#include <string>

class TFolderWatch : public QObject {
  Q_OBJECT

 public:
  explicit TFolderWatch(QObject* parent = nullptr);
  // Watches fileName in folder (ending with '/'), and nothing watched before.
  void Watch(const std::string& folder, const std::string& fileName);

 signals:
  void Changed();

 private:
  void Arm();
  void Seen();

  QFileSystemWatcher FWatcher;
  QTimer FQuiet;
  std::string FFolder, FFileName;
};
