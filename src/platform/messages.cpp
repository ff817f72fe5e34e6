// The message system: one registry, guarded by one mutex, holds every thread's queue, every
// hidden window and every kernel object (events, threads, the process). Waiters sleep on one
// condition variable that is notified whenever something they could be waiting for changes
// (a post, an event set, a thread's end), so no wait ever polls.
//
// Identifiers are never reused: a window handle or a kernel handle is a number from a
// counter, so a stale handle can never reach a newer window or object.
#include "platform/messages.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ThreadEnd.h"

namespace {

// What a handle stands for. Events and threads become signalled; the process never does
// while anybody can still ask.
struct TKernelObject {
  enum TKind { koEvent, koThread, koProcess } Kind = koEvent;
  bool ManualReset = true;
  bool Signalled = false;
};
using PKernelObject = std::shared_ptr<TKernelObject>;

struct TQueue {
  std::deque<MSG> Messages;
  // Set by every post, cleared whenever the owner looks at its queue: what a wait for "new"
  // posted messages wakes for, so a message that was seen but left queued does not make
  // the wait return again and again.
  bool NewPosted = false;
};

struct TWindow {
  DWORD OwnerThread = 0;
  std::shared_ptr<TWndMethod> Proc;
};

struct TRegistry {
  std::mutex Lock;
  std::condition_variable Changed;
  std::map<DWORD, TQueue> Queues;
  std::map<DWORD, std::shared_ptr<std::function<void()>>> WakeHooks;
  std::map<uintptr_t, TWindow> Windows;
  std::map<uintptr_t, PKernelObject> Handles;
  PKernelObject Process =
      std::make_shared<TKernelObject>(TKernelObject{TKernelObject::koProcess, true, false});
  uintptr_t NextWindow = 0x10000;
  uintptr_t NextHandle = 0x100;
};

// Never destroyed: threads may still post while the program's static objects go away.
TRegistry& Reg() {
  static TRegistry* registry = new TRegistry;
  return *registry;
}

std::atomic<DWORD> GNextThreadId{1};

HANDLE const PseudoProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const PseudoThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

// Per-thread identity: its number and the object its handles stand for. When the thread
// ends, its queue and wake hook go away (posts to it fail again) and its object becomes
// signalled. It lives on the heap and is ended through AtThreadEnd (ThreadEnd.h), so the
// thread's own storage holds only a pointer, which needs no destructor.
struct TThreadIdentity {
  DWORD Id = 0;
  PKernelObject Object;
};
thread_local TThreadIdentity* tIdentity = nullptr;

void EndIdentity(void* identity) {
  auto* me = static_cast<TThreadIdentity*>(identity);
  {
    TRegistry& r = Reg();
    std::lock_guard<std::mutex> guard(r.Lock);
    r.Queues.erase(me->Id);
    r.WakeHooks.erase(me->Id);
    if (me->Object) me->Object->Signalled = true;
    r.Changed.notify_all();
  }
  delete me;
}

TThreadIdentity& StartIdentity(DWORD id, PKernelObject object) {
  tIdentity = new TThreadIdentity{id, std::move(object)};
  AtThreadEnd(EndIdentity, tIdentity);
  return *tIdentity;
}

TThreadIdentity& Identity() {
  return tIdentity ? *tIdentity : StartIdentity(GNextThreadId.fetch_add(1), nullptr);
}

// The calling thread's object; made on first ask. Call with the registry lock held.
PKernelObject ThreadObjectLocked() {
  TThreadIdentity& me = Identity();
  if (!me.Object)
    me.Object =
        std::make_shared<TKernelObject>(TKernelObject{TKernelObject::koThread, true, false});
  return me.Object;
}

uintptr_t Key(const void* p) { return reinterpret_cast<uintptr_t>(p); }

DWORD TickNow() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The object a handle refers to, pseudo-handles included; nullptr when there is none.
// Call with the registry lock held.
PKernelObject ResolveLocked(HANDLE h) {
  TRegistry& r = Reg();
  if (h == PseudoProcess) return r.Process;
  if (h == PseudoThread) return ThreadObjectLocked();
  auto it = r.Handles.find(Key(h));
  return it == r.Handles.end() ? nullptr : it->second;
}

HANDLE AddHandleLocked(PKernelObject obj) {
  TRegistry& r = Reg();
  uintptr_t id = r.NextHandle;
  r.NextHandle += 4;
  r.Handles.emplace(id, std::move(obj));
  return reinterpret_cast<HANDLE>(id);
}

TQueue& QueueLocked(DWORD threadId) { return Reg().Queues[threadId]; }

bool MatchesRange(const MSG& m, UINT filterMin, UINT filterMax) {
  if (filterMin == 0 && filterMax == 0) return true;
  if (m.message == WM_QUIT) return true;  // a quit is never held back by a range
  return m.message >= filterMin && m.message <= filterMax;
}

bool MatchesWindow(const MSG& m, HWND wnd) {
  if (wnd == nullptr) return true;
  if (wnd == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) return m.hwnd == nullptr;
  return m.hwnd == wnd;
}

// A window filter names an existing window of the calling thread (or is none, or -1).
bool ValidFilterLocked(HWND wnd) {
  if (wnd == nullptr || wnd == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) return true;
  auto it = Reg().Windows.find(Key(wnd));
  return it != Reg().Windows.end() && it->second.OwnerThread == Identity().Id;
}

// Finds (and optionally removes) the first matching message. Lock held.
bool TakeLocked(TQueue& q, MSG* out, HWND wnd, UINT filterMin, UINT filterMax, bool remove) {
  q.NewPosted = false;
  for (auto it = q.Messages.begin(); it != q.Messages.end(); ++it) {
    if (!MatchesWindow(*it, wnd) || !MatchesRange(*it, filterMin, filterMax)) continue;
    if (out) *out = *it;
    if (remove) q.Messages.erase(it);
    return true;
  }
  return false;
}

// Queues a message for a thread and calls its wake hook outside the lock.
BOOL PostToThread(DWORD threadId, HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam,
                  bool windowMustExist) {
  TRegistry& r = Reg();
  std::shared_ptr<std::function<void()>> hook;
  {
    std::lock_guard<std::mutex> guard(r.Lock);
    if (windowMustExist) {
      auto w = r.Windows.find(Key(wnd));
      if (w == r.Windows.end()) return FALSE_;
      threadId = w->second.OwnerThread;
    }
    auto q = r.Queues.find(threadId);
    if (q == r.Queues.end()) return FALSE_;
    q->second.Messages.push_back(MSG{wnd, msg, wParam, lParam, TickNow()});
    q->second.NewPosted = true;
    auto h = r.WakeHooks.find(threadId);
    if (h != r.WakeHooks.end()) hook = h->second;
    r.Changed.notify_all();
  }
  if (hook && *hook) (*hook)();
  return TRUE_;
}

}  // namespace

// --- threads and their queues ---

DWORD GetCurrentThreadId() { return Identity().Id; }

void EnsureMessageQueue() {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  QueueLocked(Identity().Id);
}

bool HasMessageQueue(DWORD threadId) {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  return Reg().Queues.count(threadId) != 0;
}

// --- hidden windows ---

HWND AllocateHWnd(TWndMethod proc) {
  TRegistry& r = Reg();
  std::lock_guard<std::mutex> guard(r.Lock);
  DWORD me = Identity().Id;
  QueueLocked(me);  // a window's thread can always receive
  uintptr_t id = r.NextWindow;
  r.NextWindow += 4;
  r.Windows.emplace(id, TWindow{me, std::make_shared<TWndMethod>(std::move(proc))});
  return reinterpret_cast<HWND>(id);
}

void DeallocateHWnd(HWND wnd) {
  TRegistry& r = Reg();
  std::lock_guard<std::mutex> guard(r.Lock);
  auto w = r.Windows.find(Key(wnd));
  if (w == r.Windows.end()) return;
  auto q = r.Queues.find(w->second.OwnerThread);
  if (q != r.Queues.end()) {
    auto& msgs = q->second.Messages;
    for (auto it = msgs.begin(); it != msgs.end();) it = it->hwnd == wnd ? msgs.erase(it) : it + 1;
  }
  r.Windows.erase(w);
}

bool IsWindow(HWND wnd) {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  return Reg().Windows.count(Key(wnd)) != 0;
}

DWORD GetWindowThreadProcessId(HWND wnd, DWORD* processId) {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  auto w = Reg().Windows.find(Key(wnd));
  if (w == Reg().Windows.end()) return 0;
  if (processId != nullptr) *processId = 1;
  return w->second.OwnerThread;
}

// --- posting and dispatching ---

BOOL PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (wnd == nullptr)
    return PostToThread(GetCurrentThreadId(), nullptr, msg, wParam, lParam, false);
  return PostToThread(0, wnd, msg, wParam, lParam, true);
}

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  return PostToThread(threadId, nullptr, msg, wParam, lParam, false);
}

BOOL PeekMessage(MSG* msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
  TRegistry& r = Reg();
  std::lock_guard<std::mutex> guard(r.Lock);
  TQueue& q = QueueLocked(Identity().Id);
  if (!ValidFilterLocked(wnd)) return FALSE_;
  return TakeLocked(q, msg, wnd, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) ? TRUE_
                                                                                       : FALSE_;
}

BOOL GetMessage(MSG* msg, HWND wnd, UINT filterMin, UINT filterMax) {
  TRegistry& r = Reg();
  std::unique_lock<std::mutex> lock(r.Lock);
  DWORD me = Identity().Id;
  QueueLocked(me);
  MSG got;
  for (;;) {
    if (!ValidFilterLocked(wnd)) return -1;
    if (TakeLocked(QueueLocked(me), &got, wnd, filterMin, filterMax, true)) break;
    r.Changed.wait(lock);
  }
  if (msg) *msg = got;
  return got.message == WM_QUIT ? 0 : 1;
}

LRESULT DispatchMessage(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  std::shared_ptr<TWndMethod> proc;
  {
    std::lock_guard<std::mutex> guard(Reg().Lock);
    auto w = Reg().Windows.find(Key(msg->hwnd));
    if (w == Reg().Windows.end()) return 0;
    proc = w->second.Proc;  // kept alive even if the procedure destroys its own window
  }
  TMessage m{msg->message, msg->wParam, msg->lParam, 0};
  if (*proc) (*proc)(m);
  return m.Result;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

BOOL TranslateMessage(const MSG*) { return FALSE_; }

void DrainMessageQueue() {
  // Only what is queued now: a handler that posts to its own window (the output device asks
  // for its next buffer that way) must not keep this loop going for ever.
  size_t pending;
  {
    std::lock_guard<std::mutex> guard(Reg().Lock);
    pending = QueueLocked(Identity().Id).Messages.size();
  }
  MSG m;
  while (pending-- > 0 && PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);
}

void SetQueueWakeHook(DWORD threadId, std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  if (hook)
    Reg().WakeHooks[threadId] = std::make_shared<std::function<void()>>(std::move(hook));
  else
    Reg().WakeHooks.erase(threadId);
}

// --- handles and waits ---

HANDLE GetCurrentThread() { return PseudoThread; }
HANDLE GetCurrentProcess() { return PseudoProcess; }

HANDLE CreateEvent(BOOL manualReset, BOOL initialState) {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  return AddHandleLocked(std::make_shared<TKernelObject>(
      TKernelObject{TKernelObject::koEvent, manualReset != 0, initialState != 0}));
}

static BOOL SetEventState(HANDLE event, bool state) {
  TRegistry& r = Reg();
  std::lock_guard<std::mutex> guard(r.Lock);
  auto it = r.Handles.find(Key(event));
  if (it == r.Handles.end() || it->second->Kind != TKernelObject::koEvent) return FALSE_;
  it->second->Signalled = state;
  if (state) r.Changed.notify_all();
  return TRUE_;
}

BOOL SetEvent(HANDLE event) { return SetEventState(event, true); }
BOOL ResetEvent(HANDLE event) { return SetEventState(event, false); }

HANDLE DuplicateHandle(HANDLE source) {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  PKernelObject obj = ResolveLocked(source);
  return obj ? AddHandleLocked(std::move(obj)) : nullptr;
}

BOOL CloseHandle(HANDLE handle) {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  return Reg().Handles.erase(Key(handle)) != 0 ? TRUE_ : FALSE_;
}

int OpenHandleCount() {
  std::lock_guard<std::mutex> guard(Reg().Lock);
  return static_cast<int>(Reg().Handles.size());
}

HANDLE CreateThread(std::function<void()> body, DWORD* threadId) {
  DWORD id = GNextThreadId.fetch_add(1);
  auto obj = std::make_shared<TKernelObject>(TKernelObject{TKernelObject::koThread, true, false});
  HANDLE h;
  {
    std::lock_guard<std::mutex> guard(Reg().Lock);
    h = AddHandleLocked(obj);
  }
  if (threadId) *threadId = id;
  std::thread([id, obj, body = std::move(body)]() mutable {
    StartIdentity(id, obj);
    // An error escaping a thread body would end the whole program; the thread ends instead.
    try {
      body();
    } catch (...) {
    }
    body = nullptr;  // what the body captured goes away before anybody learns of the end
    // The identity's end removes the queue and signals the handle.
  }).detach();
  return h;
}

namespace {

// Waits for handles and, optionally, for posted messages. Lock-free callers go through here.
DWORD WaitFor(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds, DWORD wakeMask,
              bool withMessages) {
  TRegistry& r = Reg();
  std::unique_lock<std::mutex> lock(r.Lock);
  std::vector<PKernelObject> objs;
  for (DWORD i = 0; i < count; ++i) {
    PKernelObject o = ResolveLocked(handles[i]);
    if (!o) return WAIT_FAILED;
    objs.push_back(std::move(o));
  }
  DWORD me = Identity().Id;
  if (withMessages) QueueLocked(me);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);

  auto consume = [](TKernelObject& o) {
    if (o.Kind == TKernelObject::koEvent && !o.ManualReset) o.Signalled = false;
  };
  bool timedOut = false;
  for (;;) {
    if (waitAll && !objs.empty()) {
      bool all = true;
      for (auto& o : objs) all = all && o->Signalled;
      if (all) {
        for (auto& o : objs) consume(*o);
        return WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < objs.size(); ++i)
        if (objs[i]->Signalled) {
          consume(*objs[i]);
          return WAIT_OBJECT_0 + i;
        }
    }
    if (withMessages) {
      TQueue& q = QueueLocked(me);
      bool wake = ((wakeMask & QS_POSTMESSAGE) && q.NewPosted) ||
                  ((wakeMask & QS_ALLPOSTMESSAGE) && !q.Messages.empty());
      if (wake) {
        q.NewPosted = false;
        return WAIT_OBJECT_0 + count;
      }
    }
    if (timedOut) return WAIT_TIMEOUT;
    if (milliseconds == INFINITE) {
      r.Changed.wait(lock);
    } else if (r.Changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      timedOut = true;  // one last look, so that what arrived with the deadline counts
    }
  }
}

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitFor(1, &handle, false, milliseconds, 0, false);
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
  if (count > 0 && handles == nullptr) return WAIT_FAILED;
  return WaitFor(count, handles, waitAll != 0, milliseconds, wakeMask, true);
}
