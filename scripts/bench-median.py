#!/usr/bin/env python3
# Runs a command RUNS times (after one run that warms the caches) and prints the median wall
# time and the median CPU time (user + system of the command and what it waited for), in
# seconds. Its output goes to OUT. Used by scripts/bench-yardsticks.sh.
# Usage: scripts/bench-median.py RUNS OUT COMMAND [ARG...]
import os, resource, statistics, subprocess, sys, time

runs, out, command = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
walls, cpus = [], []
for i in range(runs + 1):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    with open(out, "wb") as o:
        subprocess.run(command, stdout=o, stderr=subprocess.DEVNULL, check=False)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if i == 0:
        continue
    walls.append(wall)
    cpus.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
print(f"{statistics.median(walls):.4f} {statistics.median(cpus):.4f}")
