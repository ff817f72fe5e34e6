#!/usr/bin/env bash
# Checks the window under a real X server: starts Xvfb and the program (a copy of it in a
# fresh folder, which becomes its executable folder), checks the caption and the 514 x 254
# client area, closes the window by its close box (WM_DELETE_WINDOW, as a window manager
# does) and checks that "ZelvorSound.ini" then holds the 128 slot names. Given a folder, the
# program runs where it lies (an installed copy) with ZELVOR_FOLDER naming that folder, and
# its files are looked for there.
#
#   scripts/xvfb-check.sh [path/to/zelvorsound [FOLDER]]
# Exit status: 0 passed, 1 failed, 77 skipped (Xvfb, xdotool, xwininfo or python3 missing).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
APP=${1:-$ROOT/build/app/src/app/zelvorsound}
CAPTION="Zelvor Sound Recorder version 1.0.0.1"

for tool in Xvfb xdotool xwininfo python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$APP" ] || { echo "FAIL: no program at $APP"; exit 1; }
[[ $APP = /* ]] || APP=$PWD/$APP  # the program starts from /

WORK=$(mktemp -d)
# The folders opened last go into the user's configuration: here, the check's own.
export XDG_CONFIG_HOME=$WORK/config
XVFB_PID=""
APP_PID=""
cleanup() {
  [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -s "$WORK/app.log" ] && sed 's/^/  program: /' "$WORK/app.log"; exit 1; }

source "$ROOT/scripts/xvfb-start.sh"
start_xvfb 1280x1024x24 || fail "Xvfb did not start"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

FOLDER=${2:-}
if [ -n "$FOLDER" ]; then
  [[ $FOLDER = /* ]] || FOLDER=$PWD/$FOLDER
  export ZELVOR_FOLDER=$FOLDER
else
  unset ZELVOR_FOLDER
  FOLDER=$WORK/app
  mkdir "$FOLDER"
  cp "$APP" "$FOLDER/zelvorsound"
  APP=$FOLDER/zelvorsound
fi
(cd / && exec "$APP") >"$WORK/app.log" 2>&1 &
APP_PID=$!

WID=""
for _ in $(seq 1 100); do
  WID=$(xdotool search --name "^${CAPTION}\$" 2>/dev/null | head -n1)
  [ -n "$WID" ] && break
  kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before showing its window"
  sleep 0.1
done
[ -n "$WID" ] || fail "no window with the caption \"$CAPTION\""

NAME=$(xdotool getwindowname "$WID")
[ "$NAME" = "$CAPTION" ] || fail "caption is \"$NAME\""
INFO=$(xwininfo -id "$WID")
W=$(sed -n 's/^ *Width: *//p' <<<"$INFO")
H=$(sed -n 's/^ *Height: *//p' <<<"$INFO")
[ "$W" = 514 ] && [ "$H" = 254 ] || fail "client area is ${W}x${H}, not 514x254"
echo "window \"$NAME\" with a ${W}x${H} client area"

python3 "$ROOT/scripts/x11-close-window.py" "$WID" || fail "could not send the close request"

for _ in $(seq 1 100); do
  kill -0 "$APP_PID" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$APP_PID" 2>/dev/null && fail "the program did not end when its window was closed"
wait "$APP_PID"
RC=$?
APP_PID=""
[ "$RC" = 0 ] || fail "the program ended with status $RC"

INI="$FOLDER/ZelvorSound.ini"
[ -f "$INI" ] || fail "no ZelvorSound.ini in $FOLDER"
for i in $(seq 0 127); do
  grep -qx "Name$i=Sound $((i + 1))" "$INI" || fail "ZelvorSound.ini lacks Name$i=Sound $((i + 1))"
done
[ -d "$FOLDER/WAV Export" ] || fail "no \"WAV Export\" folder in $FOLDER"
echo "closing wrote the 128 names into ZelvorSound.ini"
echo "PASS"
