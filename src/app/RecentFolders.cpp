#include "app/RecentFolders.h"

#include <QSettings>

namespace {

constexpr const char* kKey = "RecentFolders";

QSettings UserSettings() {
  return QSettings(QSettings::IniFormat, QSettings::UserScope, "ZelvorSound", "zelvorsound");
}

void Keep(QStringList folders) {
  while (folders.size() > static_cast<qsizetype>(kRecentFolders)) folders.removeLast();
  UserSettings().setValue(kKey, folders);
}

}  // namespace

std::vector<std::string> RecentFolders() {
  std::vector<std::string> folders;
  for (const QString& f : UserSettings().value(kKey).toStringList())
    if (!f.isEmpty() && folders.size() < kRecentFolders) folders.push_back(f.toStdString());
  return folders;
}

void UseRecentFolder(const std::string& folder) {
  QStringList folders = UserSettings().value(kKey).toStringList();
  folders.removeAll(QString::fromStdString(folder));
  folders.prepend(QString::fromStdString(folder));
  Keep(folders);
}

void ForgetRecentFolder(const std::string& folder) {
  QStringList folders = UserSettings().value(kKey).toStringList();
  folders.removeAll(QString::fromStdString(folder));
  Keep(folders);
}
