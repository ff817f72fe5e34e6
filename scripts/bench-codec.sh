#!/usr/bin/env bash
# Speed and memory of the voice codec and the sound package:
#  - the codec's passes (Google Benchmark, input samples per second);
#  - `zelvorsound-cli convert` of a 10-minute 44.1 kHz 16-bit mono file, side by side with
#    `sox in.wav -r 8000 -b 8 -e unsigned out.wav`, best of three wall-clock runs each, and
#    the peak memory of each (/usr/bin/time -v);
#  - building a package of 128 slots of 10-second 8-bit 8 kHz sources;
#  - the peak memory of `list` and `extract` on a package of 128 such slots.
# Usage: scripts/bench-codec.sh [BUILD_DIR]   (default build/bench, a Release build)
set -euo pipefail
BENCH_BUILD_DIR=${1:-build/bench}
source "$(dirname "$0")/bench-build.sh" bench_codec bench_package

echo "== codec passes (items_per_second = input samples per second)"
"$BUILD/bench/bench_codec" --benchmark_min_time=1 2>/dev/null | grep '^BM_'

echo "== package build, 128 slots of 10 s 8-bit 8 kHz (folder on the working disk)"
ZELVOR_BENCH_DIR=$WORK "$BUILD/bench/bench_package" --benchmark_min_time=3 2>/dev/null | grep '^BM_'

# A 10-minute 16-bit 44.1 kHz mono WAV of noise: every sample loud, nothing trimmed.
SAMPLES=$((44100 * 600))
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
{
  printf 'RIFF'; le32 $((36 + 2 * SAMPLES)); printf 'WAVEfmt '; le32 16
  printf '\x01\x00\x01\x00'; le32 44100; le32 88200; printf '\x02\x00\x10\x00'
  printf 'data'; le32 $((2 * SAMPLES))
  head -c $((2 * SAMPLES)) /dev/urandom
} >"$WORK/in.wav"

best() {  # best wall time in seconds of three runs of a command
  local b=999999 t s e
  for _ in 1 2 3; do
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    b=$(awk -v s="$s" -v e="$e" -v b="$b" 'BEGIN { t = e - s; print (t < b ? t : b) }')
  done
  printf '%.3f' "$b"
}
peak() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'; }

echo "== convert of a 10-minute 44.1 kHz 16-bit mono file (52.9 MB)"
cd "$WORK"
OURS=$(best "$CLI" convert in.wav --folder "$WORK")
echo "zelvorsound-cli convert: $OURS s, peak $(peak "$CLI" convert in.wav --folder "$WORK") KiB"
if command -v sox >/dev/null; then
  SOX=$(best sox in.wav -r 8000 -b 8 -e unsigned out-sox.wav)
  echo "sox -r 8000 -b 8 -e unsigned:  $SOX s, peak $(peak sox in.wav -r 8000 -b 8 -e unsigned out-sox.wav) KiB"
  awk -v a="$OURS" -v b="$SOX" 'BEGIN { printf "convert / sox: %.2f x\n", a / b }'
fi

echo "== list / extract on a package of 128 slots of 10 s"
mkdir -p pkg
SRC=$((8000 * 10))
for i in $(seq 0 127); do
  { printf 'RIFF'; le32 $((36 + SRC)); printf 'WAVEfmt '; le32 16
    printf '\x01\x00\x01\x00'; le32 8000; le32 8000; printf '\x01\x00\x08\x00'
    printf 'data'; le32 $SRC; head -c $SRC /dev/urandom; } >"pkg/s$i.wav"
  echo "Name$i=s$i.wav"
done | { echo "[SourceFileNames]"; cat; } >pkg/ZelvorSound.ini
"$CLI" build --folder "$WORK/pkg" >/dev/null
echo "package: $(stat -c %s pkg/Sounds.zvd) bytes"
echo "build:   $(best "$CLI" build --folder "$WORK/pkg") s, peak $(peak "$CLI" build --folder "$WORK/pkg") KiB"
echo "list:    peak $(peak "$CLI" list --folder "$WORK/pkg") KiB"
echo "extract: peak $(peak "$CLI" extract pkg/Sounds.zvd 127 pkg/x.wav --folder "$WORK/pkg") KiB"
