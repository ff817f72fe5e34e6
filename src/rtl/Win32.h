// What the Windows sources of every layer share (used only by files named *_win32.cpp): the
// program's UTF-8 names as the system's UTF-16 ones and back, and the system's error codes as
// the runtime's input/output errors. Kept free of the system's own header, whose names
// (DWORD, HANDLE, Sleep, PostMessage, ...) the platform layer defines for itself.
#pragma once

#include <string>

// UTF-8 to UTF-16 and back. Bytes that are not UTF-8 become U+FFFD, as the system does.
std::wstring WideOf(const std::string& utf8);
std::string Utf8Of(const std::wstring& wide);

// The errno value for a system error code (GetLastError()), as the file services report
// failures (rtl/OsFiles.h): a sharing violation is EWOULDBLOCK; a code without a match is EIO.
int ErrnoFromWin32(unsigned long err);
// The runtime's input/output error code for a system error code.
int IOErrorFromWin32(unsigned long err);
