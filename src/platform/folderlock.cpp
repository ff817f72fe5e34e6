#include "platform/folderlock.h"

#include "rtl/SysUtils.h"

TFolderLock::TFolderLock(std::string folder) : FFolder(std::move(folder)) {}

TFolderLock::~TFolderLock() { Unlock(); }

void TFolderLock::SetFolder(std::string folder) {
  CheckNotHeld();
  FFolder = std::move(folder);
}

void TFolderLock::CheckNotHeld() const {
  if (Held()) throw Exception("The lock on the folder \"" + FFolder + "\" is held already");
}

bool TFolderLock::TryLock() { return Lock(std::chrono::milliseconds(0)); }

std::string FolderBusyText(const std::string& folder) {
  return "The folder \"" + folder +
         "\" is busy: another run of ZelvorSound is working in it. Try again when it has "
         "finished.";
}
