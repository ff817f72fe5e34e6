// Ctrl-C while a command runs (Interrupt_posix.cpp, Interrupt_win32.cpp).
#pragma once

#include <memory>

namespace cli {

// Ctrl-C asks the running command to stop (Requested() turns true); a second one ends the
// program the usual way. With endings, the requests to end the program (SIGTERM and SIGHUP;
// on Windows the console's close) ask the same (once: a second of any of them ends the
// program), so a command can take away what it made before it ends; EndAsAsked then ends the
// program as the request asked, as if it had not been caught. The handlers before come back
// when the guard goes.
class TInterruptGuard {
 public:
  explicit TInterruptGuard(bool endings = false);
  ~TInterruptGuard();
  TInterruptGuard(const TInterruptGuard&) = delete;
  TInterruptGuard& operator=(const TInterruptGuard&) = delete;
  static bool Requested();
  [[noreturn]] void EndAsAsked();

 private:
  struct TSaved;
  std::unique_ptr<TSaved> FSaved;
};

}  // namespace cli
