#!/usr/bin/env bash
# Speed and memory of `zelvorsound-cli import` and `say`:
#  - importing a 10-minute 48 kHz stereo 16-bit FLAC (made here with sox), side by side with
#    `sox in.flac -r 8000 -b 8 -c 1 out.wav` on the same file: best of three wall-clock runs
#    each, and the peak memory of each (/usr/bin/time);
#  - the peak memory of importing a 1-minute file of the same kind, to show that memory does
#    not grow with the length;
#  - the time and peak memory of `say` on a text of about 2000 words.
# Usage: scripts/bench-import.sh [BUILD_DIR]   (default build/bench, a Release build)
# Needs sox and time (scripts/setup.sh --tests installs them).
set -euo pipefail
BENCH_BUILD_DIR=${1:-build/bench}
for tool in sox /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-import: $tool is missing (scripts/setup.sh --tests)"; exit 1; }
done
# Sourced with no arguments of its own it would take this script's as targets to build.
set --
source "$(dirname "$0")/bench-build.sh"
cd "$WORK"

# Pink noise: every block carries detail, the hardest case for the FLAC decoder.
sox -n -r 48000 -c 2 -b 16 in.flac synth 600 pinknoise vol 0.5
sox -n -r 48000 -c 2 -b 16 short.flac synth 60 pinknoise vol 0.5
mkdir -p folder

best() {  # best wall time in seconds of three runs of a command
  local b=999999 s e
  for _ in 1 2 3; do
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    b=$(awk -v s="$s" -v e="$e" -v b="$b" 'BEGIN { t = e - s; print (t < b ? t : b) }')
  done
  printf '%.2f' "$b"
}
peak() {  # peak resident memory in MiB of one run of a command
  /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1 | awk '{ printf "%.1f", $1 / 1024 }'
}
IMPORT=("$CLI" import --slot 0 --name bench --force --folder folder)

echo "== a 10-minute 48 kHz stereo FLAC ($(du -m in.flac | cut -f1) MB) to 8 kHz 8-bit mono"
echo "zelvorsound-cli import:      $(best "${IMPORT[@]}" in.flac) s, peak $(peak "${IMPORT[@]}" in.flac) MiB"
echo "sox -r 8000 -b 8 -c 1:       $(best sox in.flac -r 8000 -b 8 -c 1 out.wav) s, peak $(peak sox in.flac -r 8000 -b 8 -c 1 out.wav) MiB"
echo "import of a 1-minute file:   peak $(peak "${IMPORT[@]}" short.flac) MiB"

WORDS=""
for _ in $(seq 1 200); do
  WORDS+="The battery is low. Please connect the charger and wait for the green light. "
done
SAY=("$CLI" say "$WORDS" --slot 1 --name speech --force --folder folder)
echo "== say, $(echo "$WORDS" | wc -w) words"
echo "zelvorsound-cli say:         $(best "${SAY[@]}") s, peak $(peak "${SAY[@]}") MiB, $("${SAY[@]}" | sed 's/.*(\(.*\)).*/\1/') of speech"
