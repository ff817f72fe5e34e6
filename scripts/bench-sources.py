#!/usr/bin/env python3
# Writes a folder for the package benchmarks: 128 slots of 10-second 8-bit 8 kHz sources (a
# changing two-tone signal with pauses, loud enough to be kept whole) and the
# "ZelvorSound.ini" that names them, with the coder given (standard when none).
# Usage: scripts/bench-sources.py FOLDER [CODER]
import math, struct, sys

folder, n = sys.argv[1], 8000 * 10
ini = []
if len(sys.argv) > 2:
    ini += ["[Options]", f"Coder={sys.argv[2]}"]
ini += ["[SoundFiles]"] + [f"Name{s}=Prompt {s}" for s in range(128)] + ["[SourceFileNames]"]
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
