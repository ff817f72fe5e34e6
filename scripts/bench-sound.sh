#!/usr/bin/env bash
# The CPU that recording and playing cost through a real sound server, side by side with
# arecord and aplay doing the same 8 kHz job on the same server (scripts/sound-server.sh, a
# private PulseAudio behind ALSA's "default"):
#  - `zelvorsound-cli record take.wav --seconds S --raw` against `arecord -d S` (8000 Hz,
#    8-bit, mono), and `zelvorsound-cli play take.wav` against `aplay take.wav`;
#  - user + system CPU of each run (the rusage of the finished process), the median of
#    RUNS runs each;
#  - the target: at most twice the CPU of arecord/aplay plus 0.05 s;
#  - how long `record` takes to end after the last byte of its take has arrived.
# Usage: scripts/bench-sound.sh [BUILD_DIR]   (default build/bench, a Release build)
#        SECONDS_PER_RUN=4 RUNS=5 by default.
# Needs pulseaudio, libasound2-plugins, alsa-utils and python3 (scripts/setup.sh --tests).
set -euo pipefail
BENCH_BUILD_DIR=${1:-build/bench}
LENGTH=${SECONDS_PER_RUN:-4}
RUNS=${RUNS:-5}
for tool in arecord aplay python3; do
  command -v "$tool" >/dev/null || { echo "bench-sound: $tool is missing (scripts/setup.sh --tests)"; exit 1; }
done
# Sourced with no arguments of its own it would take this script's as targets to build.
set --
source "$(dirname "$0")/bench-build.sh"
SOUND_SERVER_PID=""
trap '[ -z "$SOUND_SERVER_PID" ] || kill "$SOUND_SERVER_PID"; rm -rf "$WORK"' EXIT
vars=$(scripts/sound-server.sh "$WORK/server") || { echo "bench-sound: no sound server"; exit 1; }
while IFS='=' read -r name value; do export "$name=$value"; done <<<"$vars"
export ZELVOR_AUDIO=alsa
unset ZELVOR_ALSA_DEVICE
cd "$WORK"

cpu() {  # user + system seconds of one run of a command, to the millisecond
  python3 -c 'import resource, subprocess, sys
def used():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
before = used()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
print("%.3f" % (used() - before), end="")' "$@"
}
median() {  # the median of RUNS runs of cpu COMMAND
  for _ in $(seq 1 "$RUNS"); do cpu "$@"; echo; done | sort -n | awk '{ v[NR] = $1 }
    END { printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
verdict() {  # ours theirs: the target and whether ours meets it
  awk -v o="$1" -v t="$2" 'BEGIN { l = 2 * t + 0.05; printf "target <= %.3f s: %s", l, (o <= l ? "met" : "MISSED") }'
}

arecord -q -f U8 -r 8000 -c 1 -d "$LENGTH" take.wav
ours_rec=$(median "$CLI" record rec.wav --seconds "$LENGTH" --raw)
theirs_rec=$(median arecord -q -f U8 -r 8000 -c 1 -d "$LENGTH" arec.wav)
ours_play=$(median "$CLI" play take.wav)
theirs_play=$(median aplay -q take.wav)

# The end of a timed recording: from the moment its take holds every byte to the exit.
BYTES=$((46 + LENGTH * 8000))
"$CLI" record ends.wav --seconds "$LENGTH" --raw >/dev/null 2>&1 &
pid=$!
while [ "$(stat -c %s ends.wav 2>/dev/null || echo 0)" -lt "$BYTES" ] && kill -0 "$pid" 2>/dev/null; do
  sleep 0.01
done
full=$(date +%s.%N)
wait "$pid"
ended=$(date +%s.%N)

echo "== ${LENGTH} s of 8000 Hz 8-bit mono through PulseAudio, median CPU (user + system) of $RUNS runs"
echo "zelvorsound-cli record:  $ours_rec s   arecord: $theirs_rec s   $(verdict "$ours_rec" "$theirs_rec")"
echo "zelvorsound-cli play:    $ours_play s   aplay:   $theirs_play s   $(verdict "$ours_play" "$theirs_play")"
echo "record ends $(awk -v a="$full" -v b="$ended" 'BEGIN { printf "%.2f", b - a }') s after its take holds all $LENGTH s"
