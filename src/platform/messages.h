// A small, faithful model of the desktop's message system in plain C++: every thread that
// asks has a first-in-first-out queue; a hidden window belongs to the thread that created it
// and receives what is posted to it; posts are thread-safe; waits keep dispatching posted
// messages. The device notifications of the audio layer travel on it.
//
// The user-interface thread's queue can carry a wake hook: every post to that queue calls
// the hook (from the posting thread), so a GUI toolkit can schedule a drain of the queue on
// its own event loop. Without a hook a thread drains its queue itself (GetMessage,
// PeekMessage, the waits).
#pragma once

#include <cstdint>
#include <functional>

using UINT = uint32_t;
using DWORD = uint32_t;
using BOOL = int;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;  // pointer-sized: it carries buffer-header pointers
using LRESULT = intptr_t;
struct HWND__;
using HWND = HWND__*;
struct HANDLE__;
using HANDLE = HANDLE__*;

constexpr BOOL TRUE_ = 1;
constexpr BOOL FALSE_ = 0;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
// Wake mask bits of MsgWaitForMultipleObjects.
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;

struct MSG {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
};

// The message record a window procedure of the class library receives; it sets Result.
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};
using TWndMethod = std::function<void(TMessage&)>;

// --- threads and their queues ---
DWORD GetCurrentThreadId();
// Creates the calling thread's queue if it has none (asking for a message does it too).
void EnsureMessageQueue();
bool HasMessageQueue(DWORD threadId);

// --- hidden windows ---
// A hidden utility window owned by the calling thread, whose procedure is proc.
HWND AllocateHWnd(TWndMethod proc);
// Destroys the window; messages still queued for it are discarded.
void DeallocateHWnd(HWND wnd);
bool IsWindow(HWND wnd);
// The thread that owns the window (its messages are dispatched there); 0 when there is no
// such window. The process is always this one: processId, when given, receives 1.
DWORD GetWindowThreadProcessId(HWND wnd, DWORD* processId);

// --- posting and dispatching ---
// Queues a message for the window's thread. False when the window does not exist.
BOOL PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues a message with no window for the thread; False until that thread has a queue.
BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Takes the first message of the calling thread's queue that matches the window filter
// (nullptr: any) and the range (0, 0: any). Returns False at once when there is none.
BOOL PeekMessage(MSG* msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// Blocks until a matching message arrives; 0 for WM_QUIT, -1 on an invalid window filter.
BOOL GetMessage(MSG* msg, HWND wnd, UINT filterMin, UINT filterMax);
// Calls the procedure of the message's window; a message without a window is not
// dispatched (returns 0).
LRESULT DispatchMessage(const MSG* msg);
LRESULT DefWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Keyboard translation has nothing to do here: the hidden windows take no input. False.
BOOL TranslateMessage(const MSG* msg);
// Dispatches every message queued for the calling thread now, and returns.
void DrainMessageQueue();

// The hook called after each post to the thread's queue (the GUI drains on it). One hook
// per thread; an empty function removes it.
void SetQueueWakeHook(DWORD threadId, std::function<void()> hook);

// --- handles and waits ---
// Pseudo-handles of the calling thread and process; they stand for "me" and are
// duplicated before they can be waited on.
HANDLE GetCurrentThread();
HANDLE GetCurrentProcess();
HANDLE CreateEvent(BOOL manualReset, BOOL initialState);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// A real handle for the same object (a pseudo-handle becomes the thread or process).
HANDLE DuplicateHandle(HANDLE source);
BOOL CloseHandle(HANDLE handle);
// Live handles of this process, for leak checks in tests.
int OpenHandleCount();
// Starts a thread running body; its handle is signalled when the body has returned.
HANDLE CreateThread(std::function<void()> body, DWORD* threadId);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits for the handles (any one, or all with waitAll), the time-out, or a new message of a kind in
// wakeMask in the calling thread's queue; returns WAIT_OBJECT_0 + i (handle i), WAIT_OBJECT_0 +
// count (a message), WAIT_TIMEOUT or WAIT_FAILED. QS_POSTMESSAGE wakes only for messages posted
// since the thread last looked at its queue (peek, get or a wait that returned for a message);
// QS_ALLPOSTMESSAGE for any message still queued. An auto-reset event is reset by the wait
// it ends.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);
