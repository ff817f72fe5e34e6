#!/usr/bin/env bash
# Time, peak memory and size of the review page of a full package: 128 slots of 10-second
# 8-bit 8 kHz sources (a changing two-tone signal with pauses, loud enough to be kept whole),
# built with `zelvorsound-cli build`, then `zelvorsound-cli report`:
#  - with "ZelvorSound.ini" and the sources in the folder (every slot compared with its source);
#  - the package alone (no INI: nothing to compare);
# each against base64 of the sources as the yardstick (scripts/bench-yardsticks.sh takes medians).
# Best wall-clock time and largest peak memory of three runs, from /usr/bin/time.
# Usage: scripts/bench-report.sh [BUILD_DIR]   (default build/bench, a Release build)
set -euo pipefail
BENCH_BUILD_DIR=${1:-build/bench}
# Sourced with no arguments of its own it would take this script's as targets to build.
set --
source "$(dirname "$0")/bench-build.sh"
mkdir "$WORK/full" "$WORK/alone"

"$ROOT/scripts/bench-sources.py" "$WORK/full"
"$CLI" build --folder "$WORK/full" >/dev/null
cp "$WORK/full/Sounds.zvd" "$WORK/alone/"

# Best wall time (s) and largest peak memory (KiB) of three runs of a command.
measure() {
  for _ in 1 2 3; do /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -n 1; done |
    awk 'NR == 1 || $1 < t { t = $1 } $2 > m { m = $2 } END { printf "%.2f s, peak %d KiB", t, m }'
}

# The yardstick: base64 of the sources (as the page holds the sounds), median wall time.
cat "$WORK"/full/s*.wav >"$WORK/sources.bin"
B64=$("$ROOT/scripts/bench-median.py" 3 "$WORK/b64.out" base64 "$WORK/sources.bin" | cut -d' ' -f1)
echo "package: $(stat -c %s "$WORK/full/Sounds.zvd") bytes, 128 slots of 10 s; base64 of the sources $B64 s"
for where in full alone; do
  figures=$(measure "$CLI" report --folder "$WORK/$where")
  size=$(stat -c %s "$WORK/$where/Sounds.html")
  echo "report ($where): $figures, page $size bytes ($(awk -v b="$size" 'BEGIN { printf "%.2f", b / 1048576 }') MiB)," \
    "$(awk -v t="${figures%% s*}" -v b="$B64" 'BEGIN { printf "%.1f x base64", t / b }')"
done
