// Synchronisation helpers of the platform: the re-entrant critical section, sleeping, the
// tick count and the platform's multiply-divide.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/messages.h"

// A re-entrant lock: the thread that holds it may enter again (an event handler that calls
// a control operation of its component does), and must leave as often as it entered. It
// knows its holder, so a thread can tell that it must not wait for something that needs the
// lock it holds.
class TCriticalSection {
 public:
  TCriticalSection() = default;
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter() {
    FMutex.lock();
    Entered();
  }
  void Leave() {
    if (--FDepth == 0) FOwner.store(std::thread::id(), std::memory_order_relaxed);
    FMutex.unlock();
  }
  // Enters when nobody else holds it; true when entered.
  bool TryEnter() {
    if (!FMutex.try_lock()) return false;
    Entered();
    return true;
  }
  // Whether the calling thread holds the lock. Only the holder writes the owner, so no
  // other thread can ever read its own identity here by mistake.
  bool HeldByCurrentThread() const {
    return FOwner.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  void Entered() {
    if (FDepth++ == 0) FOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }

  std::recursive_mutex FMutex;
  std::atomic<std::thread::id> FOwner{};
  int FDepth = 0;  // entries of the holder; touched only while the lock is held
};

// Suspends the calling thread for at least ms milliseconds; 0 gives up the rest of the time
// slice.
void Sleep(DWORD ms);

// Milliseconds since an arbitrary start, wrapping at 2^32 (about 49.7 days).
DWORD GetTickCount();

// number × numerator ÷ denominator with a 64-bit product, rounded to the nearest integer,
// halves away from zero. -1 when the denominator is 0 or the result does not fit in 32 bits.
int MulDiv(int number, int numerator, int denominator);
