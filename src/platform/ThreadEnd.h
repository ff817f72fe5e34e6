// Work a thread leaves to be done when it ends, on that thread, after everything it ran.
// A thread_local object's destructor would do this on Linux; Windows' C++ runtime here frees
// a thread's thread_local storage before it runs those destructors, so a destructor there
// would read memory another thread may already have been given. ThreadEnd_posix.cpp keeps
// the work in a thread_local object, ThreadEnd_win32.cpp in the system's fiber-local
// storage, whose end calls back with the value it was given.
#pragma once

// fn(arg) runs when the calling thread ends. One registration a thread.
void AtThreadEnd(void (*fn)(void*), void* arg);
