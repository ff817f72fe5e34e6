// The folder lock's wait on Linux blocks in flock and is woken by a timer's signal: it takes
// no processor time, and leaves the thread undisturbed afterwards.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TempDir.h"
#include "platform/folderlock.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct TThreadUsage {
  long VoluntarySwitches;
  double CpuSeconds;
};

TThreadUsage ThisThreadUsage() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return {u.ru_nvcsw,
          u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6};
}

TEST(FolderLock, TheWaitSleepsUntilTheTimeIsUpWithoutTicking) {
  TempDir dir;
  TFolderLock holder(dir.Folder());
  ASSERT_TRUE(holder.TryLock());
  bool got = true;
  TThreadUsage before{}, after{};
  steady_clock::duration waited{};
  std::thread waiter([&] {
    TFolderLock lock(dir.Folder());
    before = ThisThreadUsage();
    const auto start = steady_clock::now();
    got = lock.Lock(milliseconds(1500));
    waited = steady_clock::now() - start;
    after = ThisThreadUsage();
  });
  waiter.join();
  EXPECT_FALSE(got);
  EXPECT_GE(waited, milliseconds(1500)) << "the wait ended before its time";
  // Blocked in the kernel: woken once by its timer (a loop that looked every few
  // milliseconds would have switched hundreds of times), and next to no processor time.
  EXPECT_LE(after.VoluntarySwitches - before.VoluntarySwitches, 5);
  EXPECT_LT(after.CpuSeconds - before.CpuSeconds, 0.2);
  // Once over, the waiting thread takes no more signals: this one goes on undisturbed.
  EXPECT_EQ(::usleep(200 * 1000), 0);
}

}  // namespace
