// The executable's folder on Windows: the module file name of the program, asked with more
// room while the answer fills the buffer (the system cuts it then), with '/' for '\'.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/files.h"
#include "rtl/SysUtils.h"
#include "rtl/Win32.h"

std::string ExeFolder() {
  constexpr size_t kMostRoom = 64 * 1024;  // beyond the longest path the system has
  for (std::vector<wchar_t> buf(MAX_PATH); buf.size() <= kMostRoom; buf.resize(buf.size() * 2)) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) break;
    if (n < buf.size()) {
      std::string path = Utf8Of(std::wstring(buf.data(), n));
      std::replace(path.begin(), path.end(), '\\', '/');
      return ExeFolderOf(path);
    }
  }
  throw Exception(
      Format("The folder of the program cannot be used: system error %lu", GetLastError()));
}
