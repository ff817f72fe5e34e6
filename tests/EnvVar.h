// Sets (or, given no value, clears) an environment variable for one test and puts the old
// value back when it goes.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

class TEnvVar {
 public:
  TEnvVar(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  TEnvVar(const char* name, const std::string& value) : TEnvVar(name, value.c_str()) {}
  ~TEnvVar() { FOld ? ::setenv(FName, FOld->c_str(), 1) : ::unsetenv(FName); }
  TEnvVar(const TEnvVar&) = delete;
  TEnvVar& operator=(const TEnvVar&) = delete;

 private:
  const char* FName;
  std::optional<std::string> FOld;
};
