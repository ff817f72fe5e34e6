// The file error of an import: the runtime's input/output error, with its fixed text, plus
// the path of the file it concerns, so that a front end can say which file failed (the
// source, the take, the configuration file) and not only how.
#pragma once

#include <string>
#include <utility>

#include "rtl/SysUtils.h"

class EImportFileError : public EInOutError {
 public:
  EImportFileError(std::string path, int code) : EInOutError(code), Path(std::move(path)) {}
  const std::string Path;
};

// Runs f; an input/output error it raises comes out as an EImportFileError naming path
// (one that names a file already keeps its own).
template <class F>
auto ConcerningFile(const std::string& path, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const EImportFileError&) {
    throw;
  } catch (const EInOutError& e) {
    throw EImportFileError(path, e.ErrorCode);
  }
}
