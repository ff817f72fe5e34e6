// Ctrl-C on Linux: SIGINT's handler.
#include <signal.h>

#include "cli/Interrupt.h"

namespace cli {
namespace {

volatile sig_atomic_t gStopRequested = 0;

void OnInterrupt(int) {
  gStopRequested = 1;
  signal(SIGINT, SIG_DFL);
}

}  // namespace

struct TInterruptGuard::TSaved {
  struct sigaction Action {};
};

TInterruptGuard::TInterruptGuard() : FSaved(std::make_unique<TSaved>()) {
  gStopRequested = 0;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &FSaved->Action);
}

TInterruptGuard::~TInterruptGuard() { sigaction(SIGINT, &FSaved->Action, nullptr); }

bool TInterruptGuard::Requested() { return gStopRequested != 0; }

}  // namespace cli
