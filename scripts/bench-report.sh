#!/usr/bin/env bash
# Time, peak memory and size of the review page of a full package: 128 slots of 10-second
# 8-bit 8 kHz sources (a changing two-tone signal with pauses, loud enough to be kept whole),
# built with `zelvorsound-cli build`, then `zelvorsound-cli report`:
#  - with "ZelvorSound.ini" and the sources in the folder (every slot compared with its source);
#  - the package alone (no INI: nothing to compare).
# Best wall-clock time and largest peak memory of three runs, from /usr/bin/time.
# Usage: scripts/bench-report.sh [BUILD_DIR]   (default build/bench, a Release build)
set -euo pipefail
BENCH_BUILD_DIR=${1:-build/bench}
source "$(dirname "$0")/bench-build.sh"
mkdir "$WORK/full" "$WORK/alone"

python3 - "$WORK/full" <<'EOF'
import math, struct, sys
folder, n = sys.argv[1], 8000 * 10
ini = ["[SoundFiles]"] + [f"Name{s}=Prompt {s}" for s in range(128)] + ["[SourceFileNames]"]
for s in range(128):
    f1, f2 = 180 + 7 * s, 900 + 11 * s
    data = bytearray()
    for i in range(n):
        t = i / 8000
        gate = 1.0 if (t % 1.25) < 1.0 else 0.25  # a word, then a softer pause
        v = gate * (55 * math.sin(2 * math.pi * f1 * t) + 20 * math.sin(2 * math.pi * f2 * t))
        data.append(max(0, min(255, round(128 + v))))
    head = (b"RIFF" + struct.pack("<I", 36 + n) + b"WAVEfmt "
            + struct.pack("<IHHIIHH", 16, 1, 1, 8000, 8000, 1, 8))
    with open(f"{folder}/s{s}.wav", "wb") as w:
        w.write(head + b"data" + struct.pack("<I", n) + data)
    ini.append(f"Name{s}=s{s}.wav")
open(f"{folder}/ZelvorSound.ini", "w").write("\n".join(ini) + "\n")
EOF
"$CLI" build --folder "$WORK/full" >/dev/null
cp "$WORK/full/Sounds.zvd" "$WORK/alone/"

# Best wall time (s) and largest peak memory (KiB) of three runs of a command.
measure() {
  for _ in 1 2 3; do /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -n 1; done |
    awk 'NR == 1 || $1 < t { t = $1 } $2 > m { m = $2 } END { printf "%.2f s, peak %d KiB", t, m }'
}

echo "package: $(stat -c %s "$WORK/full/Sounds.zvd") bytes, 128 slots of 10 s"
for where in full alone; do
  figures=$(measure "$CLI" report --folder "$WORK/$where")
  size=$(stat -c %s "$WORK/$where/Sounds.html")
  echo "report ($where): $figures, page $size bytes ($(awk -v b="$size" 'BEGIN { printf "%.2f", b / 1048576 }') MiB)"
done
