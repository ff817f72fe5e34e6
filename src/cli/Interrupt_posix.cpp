// Ctrl-C and the requests to end on Linux: SIGINT's handler, and SIGTERM's and SIGHUP's.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <iterator>

#include "cli/Interrupt.h"

namespace cli {
namespace {

volatile sig_atomic_t gStopRequested = 0;  // the signal that asked, 0 while none has

// The signals a guard with endings takes over besides SIGINT.
constexpr int kEndings[] = {SIGTERM, SIGHUP};

void OnInterrupt(int sig) {
  gStopRequested = sig;
  // The next one ends the program the usual way.
  signal(SIGINT, SIG_DFL);
  for (int s : kEndings) signal(s, SIG_DFL);
}

}  // namespace

struct TInterruptGuard::TSaved {
  struct sigaction Action {};
  bool Endings = false;
  struct sigaction EndingActions[std::size(kEndings)]{};
};

TInterruptGuard::TInterruptGuard(bool endings) : FSaved(std::make_unique<TSaved>()) {
  gStopRequested = 0;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &FSaved->Action);
  FSaved->Endings = endings;
  if (endings)
    for (size_t i = 0; i < std::size(kEndings); ++i)
      sigaction(kEndings[i], &sa, &FSaved->EndingActions[i]);
}

TInterruptGuard::~TInterruptGuard() {
  sigaction(SIGINT, &FSaved->Action, nullptr);
  if (FSaved->Endings)
    for (size_t i = 0; i < std::size(kEndings); ++i)
      sigaction(kEndings[i], &FSaved->EndingActions[i], nullptr);
}

bool TInterruptGuard::Requested() { return gStopRequested != 0; }

void TInterruptGuard::EndAsAsked() {
  const int sig = gStopRequested != 0 ? static_cast<int>(gStopRequested) : SIGINT;
  std::cout.flush();
  std::cerr.flush();
  signal(sig, SIG_DFL);
  raise(sig);
  _exit(128 + sig);  // a signal that did not end it (held back): the shell's code for it
}

}  // namespace cli
