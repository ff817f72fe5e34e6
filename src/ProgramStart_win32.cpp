// Part of every Windows program of the project (the command line, the launcher and the
// tests), with the manifest in ProgramStart_win32.rc:
// - the standard streams and every file opened without a mode letter for it move bytes as
//   they are, so "\n" never becomes "\r\n" and a file written here is byte for byte the file
//   Linux writes;
// - the program's texts are UTF-8, as on Linux: the manifest makes UTF-8 the code page of
//   every narrow call of the system and the C library (the command line, names of files,
//   the environment), and a console shows the standard streams as UTF-8.
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <windows.h>

#include <cstdio>
#include <initializer_list>

namespace {

[[maybe_unused]] const bool kProgramStart = [] {
  _fmode = _O_BINARY;
  for (FILE* stream : {stdin, stdout, stderr}) _setmode(_fileno(stream), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
  return true;
}();

}  // namespace
