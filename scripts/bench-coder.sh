#!/usr/bin/env bash
# What the optimal coder gains over the standard one on speech nobody here wrote, and what
# it costs (bench/bench_coder.cpp): the median gain in signal to coding noise over all the
# prompts, and the CPU time per second of sound of each coder.
#
# The speech, each prompt made into a take the way the program makes one (resampled to
# 8000 Hz, levelled by loudness, trimmed):
#  - recorded voice prompts of a human speaker from Debian's asterisk-core-sounds-en-wav
#    (every sixth file of one speaker's folder, 60 prompts), through `zelvorsound-cli import`;
#  - espeak-ng speaking four voices at three speeds, through `zelvorsound-cli say`.
# Usage: scripts/bench-coder.sh [BUILD_DIR]   (default build/bench, a Release build)
set -euo pipefail
BENCH_BUILD_DIR=${1:-build/bench}
source "$(dirname "$0")/bench-build.sh" bench_coder

mkdir -p "$WORK/folder" "$WORK/speech"
HUMAN=/usr/share/asterisk/sounds/en_US_f_Allison
if [ -d "$HUMAN" ]; then
  mapfile -t files < <(find "$HUMAN" -maxdepth 1 -name '*.wav' | sort | awk 'NR % 6 == 1' | head -100)
  "$CLI" import "${files[@]}" --slot 0 --folder "$WORK/folder" >/dev/null
  echo "recorded speech: ${#files[@]} prompts of $HUMAN"
else
  echo "recorded speech: none ($HUMAN is missing; scripts/setup.sh --tests installs it)"
fi
slot=100
for voice in en en-us de fr; do
  for speed in 130 175 260; do
    "$CLI" say "The battery is low. Please connect the charger and wait for the green light." \
      --voice "$voice" --speed "$speed" --slot $slot --name "say-$voice-$speed" \
      --folder "$WORK/folder" >/dev/null
    slot=$((slot + 1))
  done
done
echo "synthesised speech: 12 prompts (espeak-ng voices en, en-us, de, fr at 130, 175, 260 wpm)"
for take in "$WORK"/folder/*.WAV; do
  tail -c +47 "$take" >"$WORK/speech/$(basename "$take" .WAV).u8"
done
echo "== the coders on $(ls "$WORK/speech" | wc -l) prompts, $(cat "$WORK"/speech/*.u8 | wc -c) samples"
ZELVOR_BENCH_SPEECH=$WORK/speech "$BUILD/bench/bench_coder" --benchmark_min_time=2 2>/dev/null | grep '^BM_'
