#include "platform/ThreadEnd.h"

namespace {

struct TThreadEnd {
  void (*Fn)(void*) = nullptr;
  void* Arg = nullptr;
  ~TThreadEnd() {
    if (Fn) Fn(Arg);
  }
};
thread_local TThreadEnd tEnd;

}  // namespace

void AtThreadEnd(void (*fn)(void*), void* arg) {
  tEnd.Fn = fn;
  tEnd.Arg = arg;
}
