#include "EnvVar.h"

void SetEnvVar(const char* name, const char* value) {
  value ? ::setenv(name, value, 1) : ::unsetenv(name);
}
