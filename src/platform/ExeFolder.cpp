// The executable's folder: what both systems share (ExeFolder_posix.cpp, ExeFolder_win32.cpp
// ask the system for the path).
#include "platform/files.h"

std::string ExeFolderOf(const std::string& exePath) {
  size_t slash = exePath.rfind('/');
  return slash == std::string::npos ? std::string() : exePath.substr(0, slash + 1);
}
