#!/usr/bin/env bash
# Installs what is missing, builds the program (build/app, Release), installs the build into
# build/app/prefix and starts it from there, working in ~/ZelvorSound (or the folder
# ZELVOR_FOLDER names). The prefix stays inside build/ so that nothing lands in the user's
# menu or PATH; the user's files stay outside it, so deleting build/ loses none of them.
# The folder gets the demo prompts only while it has no "ZelvorSound.ini". Without a
# display it says so in one line and builds the demo package headlessly instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
JOBS=${JOBS:-2}
PREFIX=$PWD/build/app/prefix
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVOR_BUILD_TESTS=OFF \
  -DZELVOR_BUILD_BENCH=OFF >/dev/null
cmake --build build/app -j"$JOBS"
cmake --install build/app --prefix "$PREFIX" >/dev/null

APP=$PREFIX/bin/zelvorsound
CLI=$PREFIX/bin/zelvorsound-cli
export ZELVOR_FOLDER=${ZELVOR_FOLDER:-${HOME:?HOME is not set; set ZELVOR_FOLDER}/ZelvorSound}
mkdir -p "$ZELVOR_FOLDER"
# The program finds its files in any case of their names; so does this check.
if [ -z "$(find "$ZELVOR_FOLDER" -maxdepth 1 -iname ZelvorSound.ini)" ]; then
  "$CLI" demo >/dev/null
  echo "start.sh: seeded $ZELVOR_FOLDER with four demo prompts and a ZelvorSound.ini naming them"
fi
echo "start.sh: your prompts and packages live in $ZELVOR_FOLDER; deleting build/ loses none of them"
# Earlier versions of this script kept the user's files beside the program in the build tree.
OLD=build/app/src/app
if [ -n "$(find "$OLD" -maxdepth 1 -iname ZelvorSound.ini 2>/dev/null)" ]; then
  echo "start.sh: $PWD/$OLD still holds prompts from before; copy the ones to keep into" \
    "$ZELVOR_FOLDER, since deleting build/ would lose them"
fi

if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "start.sh: no display (DISPLAY/WAYLAND_DISPLAY unset): the window cannot be shown;" \
    "running headless instead: building the package with zelvorsound-cli, then listing it" \
    "(QT_QPA_PLATFORM=offscreen $APP runs the window without a screen)."
  "$CLI" build
  "$CLI" list
  echo "start.sh: more commands: $CLI --help"
  exit 0
fi
exec "$APP"
