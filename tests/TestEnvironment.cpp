// Every test program, and every program a test starts, runs the virtual sound device at its
// fast pacing and Qt without a screen, so sound moves as fast as the tests take it; a test
// about real time asks for it itself, and a run that sets a variable keeps its own choice.
// It is set here and not as a property of the discovered tests: those get their properties
// as one flat list, in which only the first variable of an ENVIRONMENT value survives.
#include <cstdlib>

#include "EnvVar.h"

namespace {

// Sets the variable unless the run has set it already.
bool Default(const char* name, const char* value) {
  if (std::getenv(name) == nullptr) SetEnvVar(name, value);
  return true;
}

// The in-process sound device at its fast pacing, and windows without a screen; a test about
// the ALSA driver, real time or a real X server sets its own.
[[maybe_unused]] const bool kTestEnvironment = Default("ZELVOR_AUDIO", "virtual") &&
                                               Default("ZELVOR_VIRTUAL_PACING", "fast") &&
                                               Default("QT_QPA_PLATFORM", "offscreen");
// A test is no installed command, whatever the shell that runs it.
[[maybe_unused]] const bool kNotInstalled = (SetEnvVar("ZELVOR_INSTALLED", nullptr), true);

}  // namespace
