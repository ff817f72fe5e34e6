// One run works in the program's folder at a time. Every command that writes there (a
// build, a recording with its take conversion, a decode, an import, ...) holds an exclusive
// lock on the folder while it works, so two runs never share the working files ("out.dat",
// "temp2.tmp", "testvox.wav") or replace each other's takes and packages halfway.
//
// The lock is an advisory flock on a descriptor of the folder itself: no lock file appears
// among the user's files, and the system drops the lock with the descriptor, so a run that
// is killed never leaves a stale lock behind. flock locks belong to an open descriptor, not
// to a process: two TFolderLock objects on one folder exclude each other also inside one
// program.
//
// Taking the lock also removes what runs that were killed mid-write left behind (their
// temporary files, RemoveStrayTemporaries), and letting go of it hands the folders the run
// wrote to the disk (SyncChangedFolders).
//
// The wait for a busy folder blocks in the kernel. Lock(timeout) sleeps in a blocking flock
// and a one-shot timer aimed at the waiting thread (timer_create with SIGEV_THREAD_ID)
// interrupts it when the time is up; the thread is woken by the lock coming free or by that
// timer, never by a clock of its own. A wake that would arrive in the instant before the
// thread enters flock is repeated every 100 ms after the deadline, so it cannot be lost.
// The timer's signal is SIGRTMIN + 4; a handler that does nothing is installed for it once,
// without SA_RESTART, so that it ends the blocked call. Nothing else in the program uses it.
//
// On Windows (folderlock_win32.cpp) a folder cannot carry a byte-range lock, and a lock file
// would appear among the user's files; the lock is a named mutex instead, named after the
// folder's identity (its volume and file index, so every spelling of its path meets the same
// one). The system hands a mutex whose holder died to the next waiter, so a killed run leaves
// no lock behind either, and a wait for it blocks in the kernel with its time-out. A mutex
// belongs to the thread that took it: Unlock (and the destructor of a held lock) runs on that
// thread, and two objects of one program exclude each other through a table of the folders
// this program holds, as two descriptors do on Linux.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class TFolderLock {
 public:
  // folder: the folder to lock, with or without its trailing '/'. Nothing is opened yet.
  explicit TFolderLock(std::string folder);
  ~TFolderLock();  // lets go of a lock still held
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

  const std::string& Folder() const { return FFolder; }
  // Points the lock at another folder (a window that opens another one). Raises Exception
  // while the lock is held.
  void SetFolder(std::string folder);
  bool Held() const { return FHeld != 0; }

  // Takes the lock when no other run holds it and returns true; false, holding nothing,
  // when one does. A folder that cannot be opened raises the runtime's input/output error
  // ("File not found", "File access denied"). Taking a lock this object holds already is a
  // mistake of the caller and raises Exception.
  bool TryLock();
  // As TryLock, but a busy folder is waited for, blocked, until it comes free (true) or
  // timeout has passed (false). A timeout of zero or less does not wait.
  bool Lock(std::chrono::milliseconds timeout);
  // Lets go of the lock (nothing when none is held).
  void Unlock();

 private:
  // Raises Exception when this object holds the lock already.
  void CheckNotHeld() const;

  std::string FFolder;
  // What holds the lock while it is held, 0 otherwise: the descriptor of the folder plus one
  // (Linux), the mutex's handle (Windows).
  intptr_t FHeld = 0;
};

// Holds a folder's lock for one scope: taken (TryLock) on construction when free, given
// back on destruction. Acquired() tells whether it was taken.
class TFolderLockScope {
 public:
  explicit TFolderLockScope(TFolderLock& lock) : FLock(lock), FAcquired(lock.TryLock()) {}
  ~TFolderLockScope() {
    if (FAcquired) FLock.Unlock();
  }
  TFolderLockScope(const TFolderLockScope&) = delete;
  TFolderLockScope& operator=(const TFolderLockScope&) = delete;
  bool Acquired() const { return FAcquired; }

 private:
  TFolderLock& FLock;
  bool FAcquired;
};

// What a window command tells the user when another run works in the folder.
std::string FolderBusyText(const std::string& folder);
