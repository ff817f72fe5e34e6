#!/usr/bin/env bash
# Installs what is missing, builds the program (build/app, Release), seeds its folder and
# starts it. Without a display it says so in one line and shows the headless way instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
JOBS=${JOBS:-2}
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVOR_BUILD_TESTS=OFF \
  -DZELVOR_BUILD_BENCH=OFF >/dev/null
cmake --build build/app -j"$JOBS" --target zelvorsound zelvorsound-cli

APP=build/app/src/app/zelvorsound
CLI=build/app/src/zelvorsound-cli
FOLDER=$(cd "$(dirname "$APP")" && pwd)

# Every file the program works with lies in the folder of its executable.
HELP=$("$CLI" --help 2>&1 || true)
if grep -qw demo <<<"$HELP"; then
  "$CLI" demo --folder "$FOLDER" || echo "start.sh: seeding $FOLDER failed; starting anyway"
fi

if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "start.sh: no display (DISPLAY/WAYLAND_DISPLAY unset): the window cannot be shown;" \
    "running headless instead: building the package with zelvorsound-cli, then listing it" \
    "(QT_QPA_PLATFORM=offscreen $APP runs the window without a screen)."
  "$CLI" build --folder "$FOLDER"
  "$CLI" list Sounds.zvd --folder "$FOLDER"
  echo "start.sh: more commands: $CLI --help"
  exit 0
fi
exec "$APP"
