// The folder lock on Windows: a named mutex per folder, named after the folder's identity;
// see the header.
#include <windows.h>

#include <condition_variable>
#include <cwchar>
#include <map>
#include <mutex>

#include "platform/folderlock.h"
#include "rtl/FileSystem.h"
#include "rtl/SysUtils.h"
#include "rtl/Win32.h"

namespace {

// The folders this program holds or is waiting for, by mutex name, with the mutex once it is
// held. A mutex is granted again to the thread that holds it, so the objects of one program
// meet here before they meet at the mutex.
struct THeldFolders {
  std::mutex M;
  std::condition_variable Freed;
  std::map<std::wstring, HANDLE> Names;
};

THeldFolders& HeldFolders() {
  static THeldFolders* held = new THeldFolders;  // never destroyed: locks may outlive statics
  return *held;
}

// The name of the folder's mutex: the folder's volume serial number and file index.
std::wstring MutexName(const std::string& folder) {
  HANDLE h = CreateFileW(WideOf(folder).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw EInOutError(IOErrorFromWin32(GetLastError()));
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = GetFileInformationByHandle(h, &info);
  const DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok) throw EInOutError(IOErrorFromWin32(err));
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) throw EInOutError(ioInvalidFilename);
  wchar_t name[80];
  std::swprintf(name, 80, L"Global\\ZelvorSound.folder.%08lx.%08lx%08lx", info.dwVolumeSerialNumber,
                info.nFileIndexHigh, info.nFileIndexLow);
  return name;
}

}  // namespace

bool TFolderLock::Lock(std::chrono::milliseconds timeout) {
  CheckNotHeld();
  const std::wstring name = MutexName(FFolder);
  const auto deadline =
      std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  THeldFolders& held = HeldFolders();
  {
    std::unique_lock lk(held.M);
    if (!held.Freed.wait_until(lk, deadline, [&] { return held.Names.count(name) == 0; }))
      return false;
    held.Names.emplace(name, nullptr);  // ours while this thread waits for the mutex
  }
  auto giveUp = [&] {
    std::lock_guard lk(held.M);
    held.Names.erase(name);
    held.Freed.notify_all();
  };
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) {
    const DWORD err = GetLastError();
    giveUp();
    throw EInOutError(IOErrorFromWin32(err));
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  const DWORD waited =
      WaitForSingleObject(mutex, static_cast<DWORD>(std::max<int64_t>(left.count(), 0)));
  // An abandoned mutex is one whose holder ended without letting go: it is ours now.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    std::lock_guard lk(held.M);
    held.Names[name] = mutex;
    FHeld = reinterpret_cast<intptr_t>(mutex);
    // What a killed run left half-written goes now that no run can be writing it.
    RemoveStrayTemporaries(FFolder);
    return true;
  }
  const DWORD err = GetLastError();
  CloseHandle(mutex);
  giveUp();
  if (waited == WAIT_FAILED) throw EInOutError(IOErrorFromWin32(err));
  return false;
}

void TFolderLock::Unlock() {
  if (!Held()) return;
  // The command's files are on the disk; so are their names, before the next run starts.
  SyncChangedFolders();
  HANDLE mutex = reinterpret_cast<HANDLE>(FHeld);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  FHeld = 0;
  THeldFolders& held = HeldFolders();
  std::lock_guard lk(held.M);
  for (auto it = held.Names.begin(); it != held.Names.end(); ++it)
    if (it->second == mutex) {
      held.Names.erase(it);
      break;
    }
  held.Freed.notify_all();
}
