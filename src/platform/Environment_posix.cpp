#include <cstdlib>

#include "platform/Environment.h"

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string UserHomeFolder() {
  std::string home = EnvironmentValue("HOME");
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

const char* UserHomeVariable() { return "HOME"; }
