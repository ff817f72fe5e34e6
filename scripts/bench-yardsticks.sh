#!/usr/bin/env bash
# The program's main jobs against a yardstick doing the least the job must do with the same
# bytes, both measured in this run (median of 5 runs after one warm-up, scripts/bench-median.py),
# each printed as the ratio of the two:
#  - `build` of 128 slots of 10-second 8-bit 8 kHz sources (standard coder) against `cat` of
#    the sources into one file, CPU;
#  - `report` of that package with every source beside it, for a folder with `Coder=optimal`
#    (nothing to estimate) and with the standard coder (the optimal coder's gain estimated
#    over each slot's first 4 s), against `base64` of the sources, wall and CPU;
#  - `convert` of a 60-second 44.1 kHz 16-bit mono WAV against
#    `sox in.wav -r 8000 -b 8 -e unsigned out.wav`, wall and CPU;
#  - `build` with `Coder=optimal`: its wall time against its own CPU time (both cores busy);
#  - start-up, `--version` against `sox --version`, wall and CPU;
#  - which of the sound server's, X11's and D-Bus's libraries `--version`, `list`, `build`
#    and `convert` load (the dynamic loader's own account, LD_DEBUG=files).
# Usage: scripts/bench-yardsticks.sh [BUILD_DIR]   (default build/bench, a Release build)
# Needs sox (Debian's, the yardstick only: installed here when missing and run as root).
set -euo pipefail
BENCH_BUILD_DIR=${1:-build/bench}
if ! command -v sox >/dev/null && [ "$(id -u)" = 0 ]; then
  apt-get install -y --no-install-recommends sox >/dev/null
fi
command -v sox >/dev/null || { echo "bench-yardsticks: sox is missing (scripts/setup.sh --tests)"; exit 1; }
# Sourced with no arguments of its own it would take this script's as targets to build.
set --
source "$(dirname "$0")/bench-build.sh"
RUNS=${RUNS:-5}
cd "$WORK"
median() { "$ROOT/scripts/bench-median.py" "$RUNS" "$WORK/stdout" "$@"; }
# ratio NAME "WALL CPU" "WALL CPU" [cpu|wall|both]: the job's figures over the yardstick's.
ratio() {
  awk -v name="$1" -v job="$2" -v yard="$3" -v what="${4:-both}" 'BEGIN {
    split(job, j, " "); split(yard, y, " ")
    w = sprintf("wall %.3f s / %.3f s = %.2f x", j[1], y[1], j[1] / y[1])
    c = sprintf("CPU %.3f s / %.3f s = %.2f x", j[2], y[2], j[2] / y[2])
    print name ": " (what == "cpu" ? c : what == "wall" ? w : w "; " c) }'
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
mkdir std opt
"$ROOT/scripts/bench-sources.py" std
"$ROOT/scripts/bench-sources.py" opt optimal
cat std/s*.wav >sources.bin
"$CLI" build --folder std >/dev/null
"$CLI" build --folder opt >/dev/null

CAT=$(median cat std/s*.wav)
BUILD=$(median "$CLI" build -q --folder std)
ratio "build, 128 x 10 s, against cat of the sources" "$BUILD" "$CAT" cpu
B64=$(median base64 sources.bin)
ratio "report, Coder=optimal, against base64 of the sources" "$(median "$CLI" report --folder opt)" "$B64"
ratio "report, standard coder (gain estimated), against base64" "$(median "$CLI" report --folder std)" "$B64"
OPT=$(median "$CLI" build -q --folder opt)
awk -v f="$OPT" 'BEGIN { split(f, o, " ")
  printf "build, Coder=optimal: wall %.3f s / CPU %.3f s = %.2f x\n", o[1], o[2], o[1] / o[2] }'

# 60 s of 16-bit 44.1 kHz noise: every sample loud, nothing trimmed.
sox -n -r 44100 -c 1 -b 16 in.wav synth 60 whitenoise vol 0.5
ratio "convert, 60 s 44.1 kHz 16-bit, against sox" "$(median "$CLI" convert in.wav --folder "$WORK")" \
  "$(median sox in.wav -r 8000 -b 8 -e unsigned out-sox.wav)"
ratio "start-up, --version against sox --version" "$(median "$CLI" --version)" \
  "$(median sox --version)"

for job in "--version" "list --folder std" "build -q --folder std" "convert in.wav --folder $WORK"; do
  # shellcheck disable=SC2086
  loaded=$(LD_DEBUG=files "$CLI" $job 2>&1 >/dev/null | grep -oE 'file=lib(pulse|X11|xcb|dbus)[^ ]*' |
    sed 's/file=//' | sort -u | tr '\n' ' ' || true)
  echo "libraries of the sound server, X11, D-Bus loaded by '${job%% *}': ${loaded:-none}"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
