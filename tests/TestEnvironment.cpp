// Every test program, and every program a test starts, runs the virtual sound device at its
// fast pacing, so sound moves as fast as the tests take it; a test about real time asks for
// it itself, and a run that sets the variable keeps its own choice. It is set here and not as
// a property of the discovered tests: those get their properties as one flat list, in which
// only the first variable of an ENVIRONMENT value survives.
#include <cstdlib>

namespace {

[[maybe_unused]] const bool kFastVirtualDevice = ::setenv("ZELVOR_VIRTUAL_PACING", "fast", 0) == 0;

}  // namespace
