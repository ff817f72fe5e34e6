# Sourced by the benchmark scripts: a Release build of the given targets in BUILD (the
# script's first argument, default build/bench), then ROOT, BUILD, CLI and a scratch WORK
# folder (removed at exit) for the script to use.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
BUILD=${BENCH_BUILD_DIR:-build/bench}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVOR_BUILD_APP=OFF \
  -DZELVOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"${JOBS:-2}" --target zelvorsound-cli "$@" >/dev/null
CLI=$ROOT/$BUILD/src/zelvorsound-cli
WORK=$(mktemp -d "${TMPDIR:-/tmp}/zelvor-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
