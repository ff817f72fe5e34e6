#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build; between them the Debian package of the
# normal build is installed, checked and removed again; then the audio and platform tests
# run once more under ThreadSanitizer, and each fuzz harness runs briefly. Last, the Windows
# build is made from nothing and tested under wine (WINDOWS=0 leaves it out).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
if [ "${WINDOWS:-1}" = 1 ]; then
  scripts/setup.sh --tests --windows
else
  scripts/setup.sh --tests
fi
JOBS=${JOBS:-2}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

# The tests against a real sound server (named "SoundServer") keep real time: the normal
# build runs them once, one at a time, after the rest; the sanitizer build leaves them out.
SERVER_TESTS=SoundServer

run_suite() {  # build dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
  (cd "$dir" && ctest --output-on-failure -j"$JOBS" --timeout 300 -E "$SERVER_TESTS")
}

echo "== normal build"
run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== through a real sound server"
(cd build/test && ctest --output-on-failure -j1 --timeout 300 -R "$SERVER_TESTS")

echo "== the Debian package, installed and used as a user would"
rc=0
scripts/install-check.sh build/test || rc=$?
[ "$rc" = 0 ] || [ "$rc" = 77 ] || exit "$rc"

echo "== sanitizer build (ASan + UBSan)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DZELVOR_SANITIZE=ON -DZELVOR_BUILD_BENCH=OFF

echo "== thread sanitizer (the audio and platform tests: device threads, Async worker)"
# Only the two test programs whose code runs threads, without the window and the CLI: the
# rest of the suite has no threads of its own and would only add build time.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVOR_TSAN=ON \
  -DZELVOR_BUILD_APP=OFF -DZELVOR_BUILD_BENCH=OFF >/dev/null
cmake --build build/tsan -j"$JOBS" --target test_audio test_platform
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j"$JOBS" --timeout 300 \
  -E "NOT_BUILT|WinmmDevicesCommand|$SERVER_TESTS")

if [ "$FUZZ_SECONDS" -gt 0 ] && ls fuzz/fuzz_*.cpp >/dev/null 2>&1; then
  echo "== fuzzing, ${FUZZ_SECONDS}s per harness"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELVOR_BUILD_FUZZ=ON -DZELVOR_BUILD_APP=OFF -DZELVOR_BUILD_TESTS=OFF \
    -DZELVOR_BUILD_BENCH=OFF >/dev/null
  cmake --build build/fuzz -j"$JOBS"
  for src in fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    corpus=$(mktemp -d)
    [ -d "fuzz/corpus/${name#fuzz_}" ] && cp -r "fuzz/corpus/${name#fuzz_}/." "$corpus/"
    echo "-- $name"
    build/fuzz/fuzz/"$name" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=1024 \
      -print_final_stats=0 "$corpus" 2>&1 | tail -n 2
    rm -rf "$corpus"
  done
fi
if [ "${WINDOWS:-1}" = 1 ]; then
  echo "== the Windows build: libraries from Debian's sources, the program, the installer"
  start=$(date +%s)
  scripts/build-windows.sh
  echo "== the Windows build under wine"
  scripts/test-windows.sh
  echo "-- the Windows part took $(($(date +%s) - start)) s"
fi
echo "== all tests passed"
