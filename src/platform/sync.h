// Synchronisation helpers of the platform: the re-entrant critical section, sleeping, the
// tick count and the platform's multiply-divide.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/messages.h"

// A re-entrant lock: the thread that holds it may enter again (an event handler that calls
// a control operation of its component does), and must leave as often as it entered.
class TCriticalSection {
 public:
  TCriticalSection() = default;
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter() { FMutex.lock(); }
  void Leave() { FMutex.unlock(); }
  // Enters when nobody else holds it; true when entered.
  bool TryEnter() { return FMutex.try_lock(); }

 private:
  std::recursive_mutex FMutex;
};

// Suspends the calling thread for at least ms milliseconds; 0 gives up the rest of the time
// slice.
void Sleep(DWORD ms);

// Milliseconds since an arbitrary start, wrapping at 2^32 (about 49.7 days).
DWORD GetTickCount();

// number × numerator ÷ denominator with a 64-bit product, rounded to the nearest integer,
// halves away from zero. -1 when the denominator is 0 or the result does not fit in 32 bits.
int MulDiv(int number, int numerator, int denominator);
