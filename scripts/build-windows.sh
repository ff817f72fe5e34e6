#!/usr/bin/env bash
# Cross-builds ZelvorSound's command line for 64-bit Windows on this Debian machine:
#   1. installs the cross compilers, wine, NSIS and zip (scripts/setup.sh --windows);
#   2. fetches Debian's source packages of the libraries the program links (libsndfile with
#      libogg, libvorbis, libFLAC and opus, so FLAC and Ogg files import; libsoxr; libebur128;
#      googletest for the tests) through a private source list kept in the build tree, and
#      cross-builds them as static libraries into build/win/deps/prefix, each its library
#      alone (no programs, tests or documents). A library built once is kept
#      (build/win/deps/stamps), so a second run starts at step 3;
#   3. cross-builds zelvorsound-cli.exe and its tests into build/win;
#   4. makes the installer and the portable zip (scripts/package-windows.sh).
# Each library's build time is printed; WIN_DEPS_ONLY=1 stops after step 2. WIN_BUILD moves
# the tree, WIN_DEPS the libraries (a folder kept between fresh clones saves their build).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WIN=${WIN_BUILD:-$ROOT/build/win}
DEPS=${WIN_DEPS:-$WIN/deps}
PREFIX=$DEPS/prefix
JOBS=${JOBS:-2}
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake

scripts/setup.sh --windows
mkdir -p "$DEPS/src" "$DEPS/build" "$DEPS/stamps" "$PREFIX"

# --- Debian's sources, through apt state of our own: the system's lists stay as they are.
APT=$DEPS/apt
APT_OPTS=(-o "Dir::Etc::SourceList=$APT/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$APT/lists" -o "Dir::Cache=$APT/cache" -qq)
fetch_sources() {  # source package names...
  mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial"
  if [ ! -f "$APT/sources.list" ]; then
    local suite
    suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
      "http://deb.debian.org/debian $suite main" >"$APT/sources.list"
  fi
  ls "$APT/lists/"*Sources* >/dev/null 2>&1 || apt-get "${APT_OPTS[@]}" update
  # A package whose Debian part cannot be had is built from its upstream tarball alone
  # (unpack below); one whose upstream tarball is missing fails there.
  (cd "$DEPS/src" && apt-get "${APT_OPTS[@]}" source --download-only "$@" 2>&1 |
     grep -v "unsandboxed" || true)
}

unpack() {  # source package name -> prints the unpacked folder
  local name=$1 dsc dir orig
  dsc=$(ls "$DEPS/src/${name}_"*.dsc | head -n1)
  dir=$DEPS/src/$name
  if [ ! -d "$dir" ]; then
    if ls "$DEPS/src/${name}_"*.debian.tar.* >/dev/null 2>&1; then
      dpkg-source -q -x "$dsc" "$dir" >/dev/null 2>&1  # upstream plus Debian's patches
    else
      orig=$(ls "$DEPS/src/${name}_"*.orig.tar.* | head -n1)
      mkdir -p "$dir"
      tar -xf "$orig" -C "$dir" --strip-components=1
    fi
  fi
  echo "$dir"
}

# Configures, builds and installs one library with CMake unless it was done before; TARGET,
# when set, is the one target to build where a project builds more than its library.
build_dep() {  # source package name, subfolder with CMakeLists.txt ('.'), cmake args...
  local name=$1 sub=$2 start src
  shift 2
  [ -f "$DEPS/stamps/$name" ] && return 0
  start=$(date +%s)
  src=$(unpack "$name")
  rm -rf "$DEPS/build/$name"
  cmake -S "$src/$sub" -B "$DEPS/build/$name" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DZS_WIN_DEPS="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_C_COMPILER_LAUNCHER="$(command -v ccache || true)" \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$(command -v ccache || true)" \
    "$@" >"$DEPS/build/$name.log" 2>&1 ||
    { tail -n 30 "$DEPS/build/$name.log"; return 1; }
  cmake --build "$DEPS/build/$name" -j"$JOBS" ${TARGET:+--target "$TARGET"} \
    >>"$DEPS/build/$name.log" 2>&1 &&
    cmake --install "$DEPS/build/$name" >>"$DEPS/build/$name.log" 2>&1 ||
    { tail -n 30 "$DEPS/build/$name.log"; return 1; }
  echo "$(($(date +%s) - start))" >"$DEPS/stamps/$name"
  echo "-- $name: built in $(cat "$DEPS/stamps/$name") s"
}

DEP_NAMES=(libogg flac libvorbis opus libsndfile libsoxr libebur128 googletest)
missing=()
for d in "${DEP_NAMES[@]}"; do [ -f "$DEPS/stamps/$d" ] || missing+=("$d"); done
if [ ${#missing[@]} -gt 0 ]; then
  t=$(date +%s)
  fetch_sources "${missing[@]}"
  echo "-- sources fetched in $(($(date +%s) - t)) s"
fi
build_dep libogg . -DBUILD_TESTING=OFF -DINSTALL_DOCS=OFF
# FLAC's helpers for its programs and its benchmarks are made whatever the options say.
TARGET=FLAC build_dep flac . -DBUILD_CXXLIBS=OFF -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF \
  -DBUILD_TESTING=OFF -DBUILD_DOCS=OFF -DINSTALL_MANPAGES=OFF -DWITH_OGG=ON
build_dep libvorbis . -DBUILD_TESTING=OFF
# libsndfile reads Ogg and FLAC only together with Opus. Opus's release lacks the file of
# its CMake build that picks a default build type (one is always given here): an empty one
# stands in, so it builds with CMake and Ninja, much faster than through its configure script.
[ -f "$DEPS/stamps/opus" ] || touch "$(unpack opus)/opus_buildtype.cmake"
build_dep opus . -DOPUS_STACK_PROTECTOR=OFF -DOPUS_BUILD_PROGRAMS=OFF -DOPUS_BUILD_TESTING=OFF \
  -DBUILD_TESTING=OFF -DOPUS_INSTALL_CMAKE_CONFIG_MODULE=ON
# FLAC__NO_DLL: libFLAC is linked in statically, not imported from a DLL.
build_dep libsndfile . -DCMAKE_C_FLAGS=-DFLAC__NO_DLL -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF \
  -DENABLE_CPACK=OFF -DENABLE_EXTERNAL_LIBS=ON -DENABLE_MPEG=OFF -DINSTALL_PKGCONFIG_MODULE=ON \
  -DINSTALL_MANPAGES=OFF
build_dep libsoxr . -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_OPENMP=OFF
# libsoxr installs its pkg-config file everywhere but on Windows.
[ -f "$PREFIX/lib/pkgconfig/soxr.pc" ] || cat >"$PREFIX/lib/pkgconfig/soxr.pc" <<PC
prefix=$PREFIX
Name: soxr
Description: High quality, one-dimensional sample-rate conversion library
Version: 0.1.3
Libs: -L\${prefix}/lib -lsoxr
Cflags: -I\${prefix}/include
PC
build_dep libebur128 . -DENABLE_TESTS=OFF
build_dep googletest . -DBUILD_GMOCK=OFF -Dgtest_force_shared_crt=ON
for d in "${DEP_NAMES[@]}"; do printf '%s=%ss ' "$d" "$(cat "$DEPS/stamps/$d")"; done
echo
[ "${WIN_DEPS_ONLY:-0}" = 1 ] && exit 0

# --- the program and its tests: optimised as the Linux build, without debugging data (the
# installer strips it anyway, and it would double the time the compiler and linker take).
t=$(date +%s)
cmake -S . -B "$WIN" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DZS_WIN_DEPS="$PREFIX" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DZELVOR_BUILD_APP=OFF -DZELVOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$WIN" -j"$JOBS"
echo "-- the program and its tests: built in $(($(date +%s) - t)) s"
scripts/package-windows.sh "$WIN"
