# Cross-builds for 64-bit Windows with Debian's mingw-w64 (the posix-threads compilers, so
# std::thread, std::mutex and std::condition_variable work as on Linux).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DZS_WIN_DEPS=<prefix> ...
# ZS_WIN_DEPS is the folder the libraries built from source were installed into
# (scripts/build-windows.sh makes it); it is searched before the compiler's own folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZS_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ZS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZS_MINGW_TRIPLE}-windres)

# Passed on to try_compile projects, which see the toolchain file but not the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZS_WIN_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${ZS_MINGW_TRIPLE})
if(ZS_WIN_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${ZS_WIN_DEPS})
  list(APPEND CMAKE_PREFIX_PATH ${ZS_WIN_DEPS})
  # pkg-config sees only the Windows libraries, never the build machine's.
  set(ENV{PKG_CONFIG_LIBDIR} ${ZS_WIN_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program stands alone: the compiler's runtime (libgcc, libstdc++, winpthread) is linked
# in, so no DLL of the build machine has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run on this machine under wine (test discovery, the tests themselves).
find_program(ZS_WINE wine)
if(ZS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZS_WINE})
endif()
