#include "cli/Cli.h"

#include <signal.h>

#include <iostream>

#include "rtl/SysUtils.h"

namespace cli {
namespace {

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}

volatile sig_atomic_t gStopRequested = 0;

void OnInterrupt(int) {
  gStopRequested = 1;
  signal(SIGINT, SIG_DFL);
}

}  // namespace

Register::Register(Command c) { Registry()[c.Name] = std::move(c); }

const std::map<std::string, Command>& Commands() { return Registry(); }

bool Args::Has(const std::string& name) const {
  for (auto& o : Options)
    if (o.first == name) return true;
  return false;
}

std::string Args::Get(const std::string& name, const std::string& fallback) const {
  for (auto& o : Options)
    if (o.first == name) return o.second;
  return fallback;
}

void ConsoleShell::ShowMessage(const std::string& text) {
  ++FMessages;
  std::cerr << text << std::endl;
}

void ConsoleShell::StatusAdd(const std::string& line) { std::cout << line << std::endl; }

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

TErrorCounter::TErrorCounter(std::string before)
    : FScope([this, before = std::move(before)](TComponent*, const std::exception& e) {
        ++FCount;
        std::cerr << before << e.what() << std::endl;
      }) {}

int Guarded(const std::function<int()>& f) {
  try {
    return f();
  } catch (const Exception& e) {
    std::cerr << e.Message() << std::endl;
    return kIOError;
  }
}

std::string InFolder(const Args& a, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  return a.Folder + name;
}

}  // namespace cli
