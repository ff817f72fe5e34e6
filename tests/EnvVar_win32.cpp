#include "EnvVar.h"

// An empty value removes the variable on Windows.
void SetEnvVar(const char* name, const char* value) { _putenv_s(name, value ? value : ""); }
