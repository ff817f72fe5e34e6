#pragma once
// Slots worked on by one worker per core and taken in slot order: the builder's and the
// review's way of using both cores while what they write stays in slot order.
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "package/Package.h"

// Runs the work of the slots on worker threads, in slot order, as far as the caller allows
// (Allow): the caller takes the results in slot order (WaitFor) while later slots are worked on.
// With fewer than two workers there are no threads: a slot's work runs when it is waited for.
class TSlotQueue {
 public:
  TSlotQueue(int workers, std::function<void(int)> work)
      : FWork(std::move(work)), FDone(kSlotCount, false) {
    for (int i = 0; workers > 1 && i < workers; ++i) FThreads.emplace_back([this] { Run(); });
  }
  // Lets the workers finish the slot each is on, and waits for them.
  ~TSlotQueue() {
    {
      std::lock_guard<std::mutex> hold(FMutex);
      FStop = true;
    }
    FMore.notify_all();
    for (std::thread& t : FThreads) t.join();
  }
  // The slots below limit may be started.
  void Allow(int limit) {
    {
      std::lock_guard<std::mutex> hold(FMutex);
      FLimit = std::max(FLimit, limit);
    }
    FMore.notify_all();
  }
  // Returns once the slot's work is done. Slots are waited for in order.
  void WaitFor(int slot) {
    if (FThreads.empty()) return FWork(slot);
    std::unique_lock<std::mutex> hold(FMutex);
    FDoneChanged.wait(hold, [&] { return FDone[slot]; });
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> hold(FMutex);
    for (;;) {
      FMore.wait(hold, [&] { return FStop || FNext < FLimit; });
      if (FStop) return;
      const int slot = FNext++;
      hold.unlock();
      FWork(slot);
      hold.lock();
      FDone[slot] = true;
      FDoneChanged.notify_all();
    }
  }

  std::function<void(int)> FWork;
  std::mutex FMutex;
  std::condition_variable FMore, FDoneChanged;
  std::vector<bool> FDone;
  int FNext = 0, FLimit = 0;
  bool FStop = false;
  std::vector<std::thread> FThreads;
};

// One worker per core.
inline int WorkersPerCore() {
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}
