// Ctrl-C while a command runs (Interrupt_posix.cpp, Interrupt_win32.cpp).
#pragma once

#include <memory>

namespace cli {

// Ctrl-C asks the running command to stop (Requested() turns true); a second one ends the
// program the usual way. The handler before comes back when the guard goes.
class TInterruptGuard {
 public:
  TInterruptGuard();
  ~TInterruptGuard();
  TInterruptGuard(const TInterruptGuard&) = delete;
  TInterruptGuard& operator=(const TInterruptGuard&) = delete;
  static bool Requested();

 private:
  struct TSaved;
  std::unique_ptr<TSaved> FSaved;
};

}  // namespace cli
