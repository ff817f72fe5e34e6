// Ctrl-C on Windows: a console control handler. The system calls it on a thread of its own;
// the first Ctrl-C (or Ctrl-Break) is taken as the request to stop, a second one is left to
// the next handler, which ends the program.
#include <windows.h>

#include <atomic>

#include "cli/Interrupt.h"

namespace cli {
namespace {

std::atomic<bool> gStopRequested{false};

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  return gStopRequested.exchange(true) ? FALSE : TRUE;
}

}  // namespace

struct TInterruptGuard::TSaved {};

TInterruptGuard::TInterruptGuard() : FSaved(std::make_unique<TSaved>()) {
  gStopRequested = false;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

TInterruptGuard::~TInterruptGuard() { SetConsoleCtrlHandler(OnControl, FALSE); }

bool TInterruptGuard::Requested() { return gStopRequested; }

}  // namespace cli
