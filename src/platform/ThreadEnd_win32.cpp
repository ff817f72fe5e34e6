#include <windows.h>

#include "platform/ThreadEnd.h"

namespace {

struct TThreadEnd {
  void (*Fn)(void*);
  void* Arg;
};

void WINAPI RunEnd(void* value) {
  auto* end = static_cast<TThreadEnd*>(value);
  if (end == nullptr) return;
  end->Fn(end->Arg);
  delete end;
}

}  // namespace

void AtThreadEnd(void (*fn)(void*), void* arg) {
  static const DWORD slot = FlsAlloc(RunEnd);
  FlsSetValue(slot, new TThreadEnd{fn, arg});
}
