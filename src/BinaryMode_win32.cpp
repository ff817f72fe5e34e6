// Part of every Windows program of the project (the command line and the tests): the standard
// streams and every file opened without a mode letter for it move bytes as they are, so "\n"
// never becomes "\r\n" and a file written here is byte for byte the file Linux writes.
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <cstdio>
#include <initializer_list>

namespace {

[[maybe_unused]] const bool kBinaryMode = [] {
  _fmode = _O_BINARY;
  for (FILE* stream : {stdin, stdout, stderr}) _setmode(_fileno(stream), _O_BINARY);
  return true;
}();

}  // namespace
