#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/Environment.h"
#include "rtl/Win32.h"

std::string EnvironmentValue(const char* name) {
  const std::wstring wide = WideOf(name);
  const DWORD needed = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (needed == 0) return "";
  std::vector<wchar_t> value(needed);
  const DWORD n = GetEnvironmentVariableW(wide.c_str(), value.data(), needed);
  return n == 0 || n >= needed ? std::string() : Utf8Of(std::wstring(value.data(), n));
}

std::string UserHomeFolder() {
  std::string home = EnvironmentValue("USERPROFILE");
  std::replace(home.begin(), home.end(), '\\', '/');
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

const char* UserHomeVariable() { return "USERPROFILE"; }
