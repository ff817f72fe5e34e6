#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/messages.h"

namespace {

// Runs body on a thread of the message system and waits for it to end.
void RunOnThread(std::function<void()> body) {
  HANDLE h = CreateThread(std::move(body), nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  CloseHandle(h);
}

// Empties the calling thread's queue so one test's leftovers cannot reach the next.
void Flush() {
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

struct Received {
  UINT Msg;
  LPARAM LParam;
  DWORD Thread;
};

}  // namespace

TEST(Messages, PostedMessagesAreDispatchedInOrderOnTheOwnerThread) {
  std::vector<Received> got;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    got.push_back({m.Msg, m.LParam, GetCurrentThreadId()});
    m.Result = 7;
  });
  DWORD me = GetCurrentThreadId();
  // Posted from another thread, interleaved with posts from this one.
  RunOnThread([&] {
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(PostMessage(wnd, WM_USER + 1, 0, i));
  });
  EXPECT_TRUE(PostMessage(wnd, WM_USER + 2, 0, 50));
  ASSERT_TRUE(got.empty());  // nothing runs until the owner pumps
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) EXPECT_EQ(DispatchMessage(&m), 7);
  ASSERT_EQ(got.size(), 51u);
  for (int i = 0; i < 51; ++i) {
    EXPECT_EQ(got[i].LParam, i);
    EXPECT_EQ(got[i].Thread, me);
  }
  EXPECT_EQ(got.back().Msg, WM_USER + 2);
  DWORD process = 0;
  EXPECT_EQ(GetWindowThreadProcessId(wnd, &process), me);
  EXPECT_NE(process, 0u);
  DeallocateHWnd(wnd);
  EXPECT_EQ(GetWindowThreadProcessId(wnd, nullptr), 0u);  // no such window any more
}

TEST(Messages, WindowFilterAndRangeTakeOnlyMatchingMessages) {
  Flush();
  HWND a = AllocateHWnd([](TMessage&) {});
  HWND b = AllocateHWnd([](TMessage&) {});
  PostMessage(a, WM_USER + 1, 0, 1);
  PostMessage(b, WM_USER + 2, 0, 2);
  PostMessage(a, WM_USER + 3, 0, 3);
  PostThreadMessage(GetCurrentThreadId(), WM_USER + 4, 0, 4);

  MSG m;
  ASSERT_TRUE(PeekMessage(&m, b, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, b);
  EXPECT_EQ(m.lParam, 2);
  EXPECT_FALSE(PeekMessage(&m, b, 0, 0, PM_REMOVE));
  // Without PM_REMOVE the message stays.
  ASSERT_TRUE(PeekMessage(&m, a, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.lParam, 1);
  ASSERT_TRUE(PeekMessage(&m, a, WM_USER + 3, WM_USER + 3, PM_REMOVE));
  EXPECT_EQ(m.lParam, 3);
  ASSERT_TRUE(PeekMessage(&m, a, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.lParam, 1);
  EXPECT_FALSE(PeekMessage(&m, a, 0, 0, PM_REMOVE));
  // The thread message is left for an unfiltered look.
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, nullptr);
  EXPECT_EQ(m.message, WM_USER + 4u);
  EXPECT_EQ(DispatchMessage(&m), 0);  // no window: nothing to call
  DeallocateHWnd(a);
  DeallocateHWnd(b);
}

TEST(Messages, DeallocatingAWindowDiscardsItsQueuedMessages) {
  Flush();
  int calls = 0;
  HWND gone = AllocateHWnd([&](TMessage&) { ++calls; });
  HWND kept = AllocateHWnd([&](TMessage&) { calls += 100; });
  PostMessage(gone, WM_USER, 0, 0);
  PostMessage(kept, WM_USER, 0, 0);
  PostMessage(gone, WM_USER, 0, 0);
  DeallocateHWnd(gone);
  EXPECT_FALSE(IsWindow(gone));
  EXPECT_FALSE(PostMessage(gone, WM_USER, 0, 0));
  DrainMessageQueue();
  EXPECT_EQ(calls, 100);
  // A filter on a window that no longer exists is an error for GetMessage.
  MSG m;
  EXPECT_EQ(GetMessage(&m, gone, 0, 0), -1);
  DeallocateHWnd(kept);
}

TEST(Messages, PostToAThreadFailsUntilItHasAQueue) {
  std::atomic<DWORD> id{0};
  std::atomic<bool> mayAsk{false};
  HANDLE asked = CreateEvent(TRUE_, FALSE_);
  std::atomic<int> got{0};
  HANDLE h = CreateThread(
      [&] {
        id = GetCurrentThreadId();
        while (!mayAsk) std::this_thread::yield();
        EnsureMessageQueue();
        SetEvent(asked);
        MSG m;
        while (GetMessage(&m, nullptr, 0, 0) > 0) got += static_cast<int>(m.lParam);
      },
      nullptr);
  while (id == 0) std::this_thread::yield();
  EXPECT_FALSE(HasMessageQueue(id));
  EXPECT_FALSE(PostThreadMessage(id, WM_USER, 0, 1));
  mayAsk = true;
  ASSERT_EQ(WaitForSingleObject(asked, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(PostThreadMessage(id, WM_USER, 0, 5));
  EXPECT_TRUE(PostThreadMessage(id, WM_QUIT, 0, 0));
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(got, 5);  // the failed post left nothing behind
  // A thread that has ended has no queue any more.
  EXPECT_FALSE(HasMessageQueue(id));
  EXPECT_FALSE(PostThreadMessage(id, WM_USER, 0, 1));
  CloseHandle(h);
  CloseHandle(asked);
}

TEST(Messages, ThreadIdGivenByCreateThreadIsTheThreadsOwn) {
  DWORD told = 0;
  std::atomic<DWORD> seen{0};
  HANDLE h = CreateThread([&] { seen = GetCurrentThreadId(); }, &told);
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  EXPECT_NE(told, 0u);
  EXPECT_EQ(seen, told);
  EXPECT_NE(told, GetCurrentThreadId());
  CloseHandle(h);
}

TEST(Messages, GetMessageBlocksUntilAPostAndReturnsZeroForQuit) {
  Flush();
  DWORD me = GetCurrentThreadId();
  HANDLE h = CreateThread(
      [me] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        PostThreadMessage(me, WM_USER + 9, 3, 4);
        PostThreadMessage(me, WM_QUIT, 0, 0);
      },
      nullptr);
  MSG m;
  EXPECT_EQ(GetMessage(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER + 9u);
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_EQ(m.lParam, 4);
  EXPECT_EQ(GetMessage(&m, nullptr, 0, 0), 0);
  EXPECT_EQ(m.message, WM_QUIT);
  WaitForSingleObject(h, 5000);
  CloseHandle(h);
}

TEST(Messages, WakeHookRunsAfterEveryPostFromThePostingThread) {
  Flush();
  DWORD me = GetCurrentThreadId();
  std::atomic<int> calls{0};
  std::atomic<DWORD> hookThread{0};
  std::atomic<size_t> queuedWhenCalled{0};
  SetQueueWakeHook(me, [&] {
    ++calls;
    hookThread = GetCurrentThreadId();
  });
  HWND wnd = AllocateHWnd([](TMessage&) {});
  DWORD poster = 0;
  HANDLE h = CreateThread(
      [&] {
        PostMessage(wnd, WM_USER, 0, 0);
        PostThreadMessage(me, WM_USER, 0, 0);
      },
      &poster);
  WaitForSingleObject(h, 5000);
  CloseHandle(h);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(hookThread, poster);
  // The message is already queued when the hook runs, so a drain it schedules finds it.
  SetQueueWakeHook(me, [&] {
    MSG m;
    queuedWhenCalled = PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE) ? 1 : 0;
  });
  Flush();
  PostMessage(wnd, WM_USER, 0, 0);
  EXPECT_EQ(queuedWhenCalled, 1u);
  // Removing the hook stops the calls; a failed post never calls it.
  SetQueueWakeHook(me, nullptr);
  PostMessage(wnd, WM_USER, 0, 0);
  EXPECT_EQ(calls, 2);
  DeallocateHWnd(wnd);
  Flush();
}

TEST(Messages, DrainDispatchesOnlyWhatWasQueuedWhenItStarted) {
  Flush();
  int calls = 0;
  HWND wnd = nullptr;
  wnd = AllocateHWnd([&](TMessage&) {
    ++calls;
    PostMessage(wnd, WM_USER, 0, 0);  // asks again, as the output device does
  });
  PostMessage(wnd, WM_USER, 0, 0);
  PostMessage(wnd, WM_USER, 0, 0);
  DrainMessageQueue();
  EXPECT_EQ(calls, 2);
  DrainMessageQueue();
  EXPECT_EQ(calls, 4);
  DeallocateHWnd(wnd);
}

TEST(Messages, WindowProcedureMayDestroyItsOwnWindow) {
  Flush();
  int calls = 0;
  HWND wnd = nullptr;
  wnd = AllocateHWnd([&](TMessage&) {
    ++calls;
    DeallocateHWnd(wnd);
  });
  PostMessage(wnd, WM_USER, 0, 0);
  PostMessage(wnd, WM_USER, 0, 0);
  DrainMessageQueue();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(IsWindow(wnd));
}

TEST(Handles, EventsSignalWaitsAndAutoResetConsumesTheSignal) {
  int before = OpenHandleCount();
  HANDLE manual = CreateEvent(TRUE_, FALSE_);
  HANDLE autoEv = CreateEvent(FALSE_, TRUE_);
  EXPECT_EQ(OpenHandleCount(), before + 2);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);

  // Set from another thread while waiting without a limit.
  HANDLE setter = CreateThread(
      [manual] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(manual);
      },
      nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
  WaitForSingleObject(setter, 5000);
  CloseHandle(setter);

  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(autoEv));
  EXPECT_FALSE(CloseHandle(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
  EXPECT_EQ(OpenHandleCount(), before);
}

TEST(Handles, TimedWaitTimesOutAfterRoughlyItsTime) {
  HANDLE ev = CreateEvent(TRUE_, FALSE_);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(ev, 50), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
  CloseHandle(ev);
}

TEST(Handles, PseudoHandlesBecomeRealHandlesWhenDuplicated) {
  HANDLE self = GetCurrentThread();
  EXPECT_EQ(self, GetCurrentThread());
  EXPECT_NE(self, GetCurrentProcess());
  int before = OpenHandleCount();
  HANDLE dup = DuplicateHandle(self);
  ASSERT_NE(dup, nullptr);
  EXPECT_NE(dup, self);
  EXPECT_EQ(OpenHandleCount(), before + 1);
  // This thread is running: its handle is not signalled.
  EXPECT_EQ(WaitForSingleObject(dup, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), WAIT_TIMEOUT);
  CloseHandle(dup);
  EXPECT_EQ(OpenHandleCount(), before);
  EXPECT_EQ(DuplicateHandle(reinterpret_cast<HANDLE>(0x7777)), nullptr);

  // A duplicate made on another thread stands for that thread and is signalled at its end.
  std::atomic<HANDLE> other{nullptr};
  std::thread t([&] { other = DuplicateHandle(GetCurrentThread()); });
  t.join();
  ASSERT_NE(other.load(), nullptr);
  EXPECT_EQ(WaitForSingleObject(other, 5000), WAIT_OBJECT_0);
  CloseHandle(other);
}

TEST(Handles, ThreadHandleStaysValidAfterDuplicateAndClose) {
  HANDLE go = CreateEvent(TRUE_, FALSE_);
  HANDLE h = CreateThread([go] { WaitForSingleObject(go, INFINITE); }, nullptr);
  HANDLE dup = DuplicateHandle(h);
  CloseHandle(h);
  EXPECT_EQ(WaitForSingleObject(dup, 0), WAIT_TIMEOUT);
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(dup, 5000), WAIT_OBJECT_0);
  CloseHandle(dup);
  CloseHandle(go);
}

TEST(MsgWait, WakesForAPostAndReturnsForTheHandle) {
  Flush();
  DWORD me = GetCurrentThreadId();
  HANDLE ev = CreateEvent(TRUE_, FALSE_);
  HANDLE poster = CreateThread(
      [me] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        PostThreadMessage(me, WM_USER, 0, 0);
      },
      nullptr);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE_, INFINITE, QS_POSTMESSAGE), WAIT_OBJECT_0 + 1);
  WaitForSingleObject(poster, 5000);
  CloseHandle(poster);
  // The message was reported once; left in the queue it does not wake the next wait...
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE_, 0, QS_POSTMESSAGE), WAIT_TIMEOUT);
  // ...unless the wait asks for every queued message.
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE_, 0, QS_ALLPOSTMESSAGE), WAIT_OBJECT_0 + 1);
  Flush();

  HANDLE setter = CreateThread(
      [ev] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(ev);
      },
      nullptr);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE_, 5000, QS_POSTMESSAGE), WAIT_OBJECT_0);
  WaitForSingleObject(setter, 5000);
  CloseHandle(setter);

  HANDLE never = CreateEvent(TRUE_, FALSE_);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, FALSE_, 10, QS_POSTMESSAGE), WAIT_TIMEOUT);
  // A message outside the wake mask does not end the wait.
  PostThreadMessage(me, WM_USER, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, FALSE_, 10, QS_TIMER), WAIT_TIMEOUT);
  Flush();
  HANDLE bad = reinterpret_cast<HANDLE>(0x7777);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &bad, FALSE_, 0, QS_POSTMESSAGE), WAIT_FAILED);
  CloseHandle(never);
  CloseHandle(ev);
}

TEST(MsgWait, SecondHandleAndWaitAll) {
  HANDLE a = CreateEvent(TRUE_, FALSE_);
  HANDLE b = CreateEvent(TRUE_, TRUE_);
  HANDLE both[2] = {a, b};
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE_, 0, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, TRUE_, 0, 0), WAIT_TIMEOUT);
  SetEvent(a);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, TRUE_, 0, 0), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
}

TEST(Messages, ManyThreadsPostingKeepEachSendersOrder) {
  Flush();
  constexpr int kThreads = 4, kEach = 500;
  std::vector<int> next(kThreads, 0);
  bool inOrder = true;
  int total = 0;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    int t = static_cast<int>(m.WParam), n = static_cast<int>(m.LParam);
    inOrder = inOrder && next[t] == n;
    next[t] = n + 1;
    ++total;
  });
  std::vector<HANDLE> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.push_back(CreateThread(
        [wnd, t] {
          for (int i = 0; i < kEach; ++i) PostMessage(wnd, WM_USER, t, i);
        },
        nullptr));
  // Pump while they post, the way the window thread does.
  while (total < kThreads * kEach) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE_, 1000, QS_ALLPOSTMESSAGE);
    DrainMessageQueue();
  }
  for (HANDLE h : threads) {
    WaitForSingleObject(h, 5000);
    CloseHandle(h);
  }
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(total, kThreads * kEach);
  DeallocateHWnd(wnd);
}
