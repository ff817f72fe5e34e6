// Sets (or, given no value, clears) an environment variable for one test and puts the old
// value back when it goes.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

// Sets name to value in this process's environment (and so in programs it starts); value
// nullptr clears it. EnvVar_posix.cpp, EnvVar_win32.cpp.
void SetEnvVar(const char* name, const char* value);

class TEnvVar {
 public:
  TEnvVar(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    SetEnvVar(name, value);
  }
  TEnvVar(const char* name, const std::string& value) : TEnvVar(name, value.c_str()) {}
  ~TEnvVar() { SetEnvVar(FName, FOld ? FOld->c_str() : nullptr); }
  TEnvVar(const TEnvVar&) = delete;
  TEnvVar& operator=(const TEnvVar&) = delete;

 private:
  const char* FName;
  std::optional<std::string> FOld;
};
