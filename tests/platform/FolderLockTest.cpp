// The folder lock: one holder at a time, nothing left on disk, and a wait that sleeps in the
// kernel until the folder comes free or the time is up. (That a killed run leaves no lock is
// seen end to end in tests/cli: a command right after a kill -9 finds the folder free.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "ErrorOf.h"
#include "TempDir.h"
#include "platform/folderlock.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

size_t EntryCount(const TempDir& dir) {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.Path(""))) ++n;
  return n;
}

TEST(FolderLock, OneHolderAtATimeAndNoFileAppears) {
  TempDir dir;
  dir.Write("take.WAV", "x");
  TFolderLock first(dir.Folder()), second(dir.Path(""));  // with and without the '/'
  EXPECT_TRUE(first.TryLock());
  EXPECT_TRUE(first.Held());
  EXPECT_FALSE(second.TryLock());
  EXPECT_FALSE(second.Held());
  EXPECT_FALSE(second.Lock(milliseconds(0)));
  EXPECT_EQ(EntryCount(dir), 1u) << "the lock must not add a file to the folder";
  EXPECT_NE(ErrorOf([&] { first.TryLock(); }).find("is held already"), std::string::npos);
  first.Unlock();
  EXPECT_FALSE(first.Held());
  EXPECT_TRUE(second.TryLock());
  {
    TFolderLock third(dir.Folder());
    TFolderLockScope scope(third);
    EXPECT_FALSE(scope.Acquired());
  }
  second.Unlock();
  {
    TFolderLock third(dir.Folder());
    TFolderLockScope scope(third);
    EXPECT_TRUE(scope.Acquired());
    EXPECT_FALSE(first.TryLock());
  }
  EXPECT_TRUE(first.TryLock());  // the scope gave it back
}

TEST(FolderLock, AFolderThatCannotBeOpenedNamesTheRuntimeError) {
  TempDir dir;
  const struct {
    std::string Folder;
    std::string Error;
  } cases[] = {
      {dir.Path("missing/"), "File not found"},
      {dir.Write("file", "x"), "Invalid filename"},  // not a folder
  };
  for (const auto& c : cases) {
    TFolderLock lock(c.Folder);
    EXPECT_EQ(ErrorOf([&] { lock.TryLock(); }), c.Error) << c.Folder;
    EXPECT_EQ(ErrorOf([&] { lock.Lock(milliseconds(50)); }), c.Error) << c.Folder;
    EXPECT_FALSE(lock.Held());
  }
}

TEST(FolderLock, TheWaitEndsAsSoonAsTheFolderComesFree) {
  TempDir dir;
  TFolderLock holder(dir.Folder());
  ASSERT_TRUE(holder.TryLock());
  std::atomic<bool> waiting{false};
  bool got = false;
  std::thread waiter([&] {
    TFolderLock lock(dir.Folder());
    waiting = true;
    got = lock.Lock(milliseconds(60000));
  });
  while (!waiting) std::this_thread::yield();
  const auto start = steady_clock::now();
  holder.Unlock();
  waiter.join();
  EXPECT_TRUE(got);
  EXPECT_LT(steady_clock::now() - start, milliseconds(30000));
}

}  // namespace
