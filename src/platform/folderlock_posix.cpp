// The folder lock on Linux: flock on a descriptor of the folder; see the header.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>

#include "platform/folderlock.h"
#include "rtl/FileSystem.h"
#include "rtl/SysUtils.h"

namespace {

// The signal of the timer that ends a wait; see the header.
int WakeSignal() { return SIGRTMIN + 4; }

void OnWake(int) {}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = OnWake;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the signal must end the blocked flock
    sigaction(WakeSignal(), &sa, nullptr);
  });
}

timespec ToTimespec(std::chrono::nanoseconds d) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(d);
  return {static_cast<time_t>(seconds.count()), static_cast<long>((d - seconds).count())};
}

// The timer that wakes this thread out of its blocking wait once the time is up, and every
// 100 ms after that until it is gone (in case the first wake came just before the wait).
class TWakeTimer {
 public:
  explicit TWakeTimer(std::chrono::milliseconds after) {
    InstallWakeHandler();
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, WakeSignal());
    pthread_sigmask(SIG_UNBLOCK, &wake, &FSavedMask);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = WakeSignal();
    event._sigev_un._tid = ::gettid();
    if (::timer_create(CLOCK_MONOTONIC, &event, &FTimer) != 0) {
      const int err = errno;
      pthread_sigmask(SIG_SETMASK, &FSavedMask, nullptr);
      throw EInOutError(IOErrorFromErrno(err));
    }
    itimerspec when{};
    when.it_value = ToTimespec(after);
    when.it_interval = ToTimespec(std::chrono::milliseconds(100));
    ::timer_settime(FTimer, 0, &when, nullptr);
  }
  ~TWakeTimer() {
    // Deleting the timer also takes back a signal of it that is still pending.
    ::timer_delete(FTimer);
    pthread_sigmask(SIG_SETMASK, &FSavedMask, nullptr);
  }
  TWakeTimer(const TWakeTimer&) = delete;
  TWakeTimer& operator=(const TWakeTimer&) = delete;

 private:
  timer_t FTimer{};
  sigset_t FSavedMask{};
};

}  // namespace

bool TFolderLock::Lock(std::chrono::milliseconds timeout) {
  CheckNotHeld();
  const int fd = ::open(FFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw EInOutError(IOErrorFromErrno(errno));
  int err = 0;
  bool held = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (!held && errno != EWOULDBLOCK) err = errno;
  if (!held && err == 0 && timeout.count() > 0) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    try {
      TWakeTimer timer(timeout);
      for (;;) {
        if (::flock(fd, LOCK_EX) == 0) {
          held = true;
          break;
        }
        // Another signal ended the wait early: the wait goes on.
        if (errno != EINTR) {
          err = errno;
          break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
      }
    } catch (...) {
      ::close(fd);
      throw;
    }
  }
  if (!held) {
    ::close(fd);
    if (err != 0) throw EInOutError(IOErrorFromErrno(err));
    return false;
  }
  FHeld = fd + 1;
  // What a killed run left half-written goes now that no run can be writing it.
  RemoveStrayTemporaries(FFolder);
  return true;
}

void TFolderLock::Unlock() {
  if (!Held()) return;
  // The command's files are on the disk; so are their names, before the next run starts.
  SyncChangedFolders();
  ::close(static_cast<int>(FHeld - 1));  // closing the descriptor lets go of its lock
  FHeld = 0;
}
