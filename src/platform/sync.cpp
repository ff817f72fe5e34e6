#include "platform/sync.h"

#include <chrono>
#include <cstdlib>
#include <limits>
#include <thread>

void Sleep(DWORD ms) {
  if (ms == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

DWORD GetTickCount() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const int64_t product = static_cast<int64_t>(number) * numerator;
  // Round on magnitudes so halves go away from zero whatever the signs.
  const uint64_t num =
      product < 0 ? 0 - static_cast<uint64_t>(product) : static_cast<uint64_t>(product);
  const uint64_t den = denominator < 0
                           ? 0 - static_cast<uint64_t>(static_cast<int64_t>(denominator))
                           : static_cast<uint64_t>(denominator);
  const uint64_t magnitude = (num + den / 2) / den;
  const bool negative = (product < 0) != (denominator < 0);
  if (magnitude > static_cast<uint64_t>(std::numeric_limits<int>::max()) + (negative ? 1u : 0u))
    return -1;
  return negative ? static_cast<int>(-static_cast<int64_t>(magnitude))
                  : static_cast<int>(magnitude);
}
