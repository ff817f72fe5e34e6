// Runtime basics shared by every layer: the exception family, the runtime's input/output
// error with its fixed texts, printf-style formatting and the locale's separators.
#pragma once

#include <cstdarg>
#include <ctime>
#include <exception>
#include <string>

// The base of every error the program raises; carries only its message.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// The runtime's input/output error. Its text is chosen by the code alone, so every layer
// reports the same words for the same failure.
class EInOutError : public Exception {
 public:
  explicit EInOutError(int code) : Exception(TextFor(code)), ErrorCode(code) {}
  static std::string TextFor(int code);
  const int ErrorCode;
};

// Input/output error codes the program distinguishes.
enum : int {
  ioFileNotFound = 2,
  ioInvalidFilename = 3,
  ioTooManyOpenFiles = 4,
  ioAccessDenied = 5,
  ioSharingViolation = 32,
  ioReadBeyondEnd = 100,
  ioDiskFull = 101,
  ioInvalidNumericInput = 106,
};

// Maps an errno value to the runtime's input/output error code.
int IOErrorFromErrno(int err);
// The same for the errno values only one system has (SysUtils_posix.cpp, SysUtils_win32.cpp);
// a value it does not know comes back as it was.
int IOErrorFromSystemErrno(int err);

// Stream errors of the class library.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
class EFOpenError : public EStreamError {  // "Cannot open file %s"
 public:
  explicit EFOpenError(const std::string& fileName);
};
class EFCreateError : public EStreamError {  // "Cannot create file %s"
 public:
  explicit EFCreateError(const std::string& fileName);
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// Raised by an operation a base class leaves to its descendants.
class EAbstractError : public Exception {
 public:
  EAbstractError() : Exception("Abstract error") {}
};

// The calendar time of t in the user's time zone (SysUtils_posix.cpp, SysUtils_win32.cpp:
// the system's thread-safe call for it).
std::tm LocalTime(std::time_t t);

// printf-style formatting into a std::string, checked by the compiler. Windows builds use the
// C library's own printf family, which follows the standard as glibc does, not the
// system's older one that the plain "printf" check stands for there.
#ifdef __MINGW32__
#define ZS_PRINTF_CHECK(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define ZS_PRINTF_CHECK(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
std::string Format(const char* fmt, ...) ZS_PRINTF_CHECK(1, 2);
std::string FormatV(const char* fmt, va_list args);

// The separators of the user's locale. One object for the whole program; the window fills
// it from the system locale at start-up, everything else only reads it.
struct TFormatSettings {
  char DecimalSeparator = '.';
  char TimeSeparator = ':';
};
TFormatSettings& FormatSettings();

// Case-insensitive comparison of ASCII texts (names in configuration files, "NONE").
bool SameText(const std::string& a, const std::string& b);

// A text from a file as a terminal may show it: every control character, C0 (but the tab),
// DEL and C1 (U+0080 to U+009F, and the bytes 0x80 to 0x9F that are no part of a UTF-8
// character), becomes '?', so that a name cannot move the cursor, clear the screen or set
// the window's title. Everything else stays as it is.
std::string PrintableText(const std::string& text);
