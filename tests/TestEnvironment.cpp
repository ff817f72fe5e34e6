// Every test program, and every program a test starts, runs the virtual sound device at its
// fast pacing and Qt without a screen, so sound moves as fast as the tests take it; a test
// about real time asks for it itself, and a run that sets a variable keeps its own choice.
// It is set here and not as a property of the discovered tests: those get their properties
// as one flat list, in which only the first variable of an ENVIRONMENT value survives.
#include <cstdlib>

namespace {

// The in-process sound device at its fast pacing, and windows without a screen; a test about
// the ALSA driver, real time or a real X server sets its own.
[[maybe_unused]] const bool kTestEnvironment = ::setenv("ZELVOR_AUDIO", "virtual", 0) == 0 &&
                                               ::setenv("ZELVOR_VIRTUAL_PACING", "fast", 0) == 0 &&
                                               ::setenv("QT_QPA_PLATFORM", "offscreen", 0) == 0;

}  // namespace
