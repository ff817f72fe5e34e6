// A call into a shared library that most commands never need, found when it is first made.
// On Linux the library is opened then (dlopen) rather than when the program starts: every
// library the program links costs each run its loading, and `--version`, `list` and `build`
// would pay for the decoders of every sound format and the Unicode tables. On Windows the
// libraries are linked statically and the call is made directly.
//
// ZS_LATE_CALL(library, call) is the function call names (a macro of the library's own
// header, such as a versioned name, is expanded first), of the library named library (its
// file name with the major version, "libsndfile.so.1"). It raises Exception naming the
// library and the call when either cannot be found.
#pragma once

#if defined(_WIN32)

#define ZS_LATE_CALL(library, call) (call)

#else

// The address of name in library, opened once per library.
void* LateLibraryCall(const char* library, const char* name);

#define ZS_LATE_NAME_(call) #call
#define ZS_LATE_NAME(call) ZS_LATE_NAME_(call)
#define ZS_LATE_CALL(library, call)                                                      \
  ([] {                                                                                  \
    static const auto found =                                                            \
        reinterpret_cast<decltype(&call)>(LateLibraryCall(library, ZS_LATE_NAME(call))); \
    return found;                                                                        \
  }())

#endif
