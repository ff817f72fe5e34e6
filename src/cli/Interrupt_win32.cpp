// Ctrl-C on Windows: a console control handler. The system calls it on a thread of its own;
// the first Ctrl-C (or Ctrl-Break) is taken as the request to stop, a second one is left to
// the next handler, which ends the program.
#include <windows.h>

#include <atomic>
#include <iostream>

#include "cli/Interrupt.h"

namespace cli {
namespace {

std::atomic<bool> gStopRequested{false};
std::atomic<bool> gEndings{false};

BOOL WINAPI OnControl(DWORD event) {
  const bool asks = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ||
                    (gEndings && event == CTRL_CLOSE_EVENT);
  if (!asks) return FALSE;
  return gStopRequested.exchange(true) ? FALSE : TRUE;
}

}  // namespace

struct TInterruptGuard::TSaved {};

TInterruptGuard::TInterruptGuard(bool endings) : FSaved(std::make_unique<TSaved>()) {
  gStopRequested = false;
  gEndings = endings;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

TInterruptGuard::~TInterruptGuard() { SetConsoleCtrlHandler(OnControl, FALSE); }

bool TInterruptGuard::Requested() { return gStopRequested; }

void TInterruptGuard::EndAsAsked() {
  std::cout.flush();
  std::cerr.flush();
  // The code a console program ends with when Ctrl-C ends it.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace cli
