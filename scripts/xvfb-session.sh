#!/usr/bin/env bash
# A whole working session in the window under a real X server, driven by xdotool the way a
# user drives it with the mouse: double-click the first slot of the sound list, record into
# it for two seconds, stop, play the take back, build the package, close the builder's
# message box, test the package, close the window. The sound goes through the sound system's
# file device (tests/platform/alsa/asound.conf): recording reads a prepared signal from a
# file, playback writes into a file. Afterwards the files on disk are checked: the trimmed
# take and its ".vox", the package with that ".vox" as slot 0's record, the filed copy in
# "WAV Export", "testvox.wav" holding the decoded sound, and the playback holding the take
# and then the decoded sound.
#
#
# With --sound-server the session records, stops and plays through a real sound server
# instead (scripts/sound-server.sh: a private PulseAudio behind ALSA's "default", chosen by
# the [Audio] section of "ZelvorSound.ini"); see the part marked "sound server" below.
#
#   scripts/xvfb-session.sh [path/to/zelvorsound] [--screenshot FILE.png] [--sound-server]
# Exit status: 0 passed, 1 failed, 77 skipped (Xvfb, xdotool or python3 missing; with
# --sound-server also pulseaudio or its ALSA plugin).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
APP=$ROOT/build/app/src/app/zelvorsound
SHOT=""
SOUND_SERVER=""
while [ $# -gt 0 ]; do
  case "$1" in
    --screenshot) SHOT=$2; shift 2 ;;
    --sound-server) SOUND_SERVER=1; shift ;;
    *) APP=$1; shift ;;
  esac
done
CAPTION="Zelvor Sound Recorder version 1.0.0.1"

for tool in Xvfb xdotool python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$APP" ] || { echo "FAIL: no program at $APP"; exit 1; }
if [ -n "$SHOT" ] && ! command -v import >/dev/null 2>&1; then
  echo "FAIL: import (imagemagick) is needed for the screenshot"; exit 1
fi

WORK=$(mktemp -d)
XVFB_PID=""
APP_PID=""
SOUND_SERVER_PID=""
cleanup() {
  [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  [ -n "$SOUND_SERVER_PID" ] && kill "$SOUND_SERVER_PID" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -s "$WORK/app.log" ] && sed 's/^/  program: /' "$WORK/app.log"; exit 1; }
# Waits up to $1 tenths of a second for the command in the other arguments to succeed.
wait_for() {
  local tries=$1; shift
  for _ in $(seq 1 "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

exec 3>"$WORK/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
exec 3>&-
wait_for 100 test -s "$WORK/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$WORK/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM ZELVOR_FOLDER  # the copy works in its own folder

# The program's folder: the program, and a configuration that names slot 0's take as the
# source of the package and files a copy of it as "prompt1".
APPDIR=$WORK/app
mkdir "$APPDIR"
cp "$APP" "$APPDIR/zelvorsound"
cat >"$APPDIR/ZelvorSound.ini" <<'INI'
[SourceFileNames]
Name0=Sound 1.WAV
[DestinationFileNames]
Name0=prompt1
INI
# What the microphone hears (8 kHz, 8-bit, mono): a quiet room, a second of a loud tone,
# then quiet again for longer than the recording lasts.
python3 - "$WORK/capture.raw" <<'PY'
import sys
quiet = bytes([128]) * 2400
tone = bytes([224 if (i // 8) % 2 else 32 for i in range(8000)])
open(sys.argv[1], "wb").write(quiet + tone + bytes([128]) * 80000)
PY

# --- sound server ----------------------------------------------------------------------
# Record into slot 0 for two seconds, stop, play the take back, all through the server's
# "default" device, which "ZelvorSound.ini" names. The server shows each stream while it
# runs: a recording stream from Record to Stop, a playback stream from Play to the end of
# the take. Afterwards the take holds the server's tone and is coded; no message box came up.
if [ -n "$SOUND_SERVER" ]; then
  server_vars=$("$ROOT/scripts/sound-server.sh" "$WORK/server" 2>"$WORK/server.why")
  case $? in
    0) ;;
    77) echo "SKIP: $(cat "$WORK/server.why")"; exit 77 ;;
    *) fail "the sound server did not start: $(cat "$WORK/server.why")" ;;
  esac
  while IFS='=' read -r name value; do export "$name=$value"; done <<<"$server_vars"
  printf '[Audio]\nInputDevice=default\nOutputDevice=default\n' >>"$APPDIR/ZelvorSound.ini"
  export ZELVOR_AUDIO=alsa
  unset ZELVOR_ALSA_DEVICE
  (cd / && exec "$APPDIR/zelvorsound") >"$WORK/app.log" 2>&1 &
  APP_PID=$!
  WID=""
  find_window() { WID=$(xdotool search --name "^${CAPTION}\$" 2>/dev/null | head -n1); [ -n "$WID" ]; }
  wait_for 100 find_window || fail "no window with the caption \"$CAPTION\""
  sleep 0.5
  # The server's streams of a kind (source-outputs, sink-inputs): some, or none.
  some() { [ "$(pactl list short "$1" 2>/dev/null | grep -c .)" -gt 0 ]; }
  none() { ! some "$1"; }
  no_message() { ! xdotool search --onlyvisible --name '^Sound Recorder$' >/dev/null 2>&1; }
  xdotool mousemove --window "$WID" 400 24 click --repeat 2 --delay 80 1
  sleep 0.5
  xdotool mousemove --window "$WID" 62 37 click 1
  wait_for 100 some source-outputs || fail "Record opened no stream at the server"
  sleep 2
  xdotool mousemove --window "$WID" 156 37 click 1
  wait_for 100 none source-outputs || fail "Stop left the recording stream open"
  wait_for 100 test -s "$APPDIR/Sound 1.vox" || fail "the take was not coded into \"Sound 1.vox\""
  no_message || fail "a message box came up while recording"
  echo "recorded through the server: take $(size_of "$APPDIR/Sound 1.WAV") bytes"
  xdotool mousemove --window "$WID" 252 37 click 1
  wait_for 100 some sink-inputs || fail "Play opened no stream at the server"
  wait_for 300 none sink-inputs || fail "the playback did not end"
  no_message || fail "a message box came up while playing"
  echo "played the take through the server"
  python3 "$ROOT/scripts/x11-close-window.py" "$WID" || fail "could not send the close request"
  ended() { ! kill -0 "$APP_PID" 2>/dev/null; }
  wait_for 100 ended || fail "the program did not end when its window was closed"
  wait "$APP_PID" || fail "the program ended with status $?"
  APP_PID=""
  python3 - "$APPDIR/Sound 1.WAV" <<'PY' || fail "the take is not right"
import struct, sys
take = open(sys.argv[1], "rb").read()
samples = take[46:]
ok = take[:4] == b"RIFF" and struct.unpack_from("<I", take, 42)[0] == len(samples) > 0
if not ok or max(samples) - min(samples) < 32:
    print("  take of %d bytes holds no tone" % len(take))
    sys.exit(1)
PY
  grep -q "^InputDevice=default" "$APPDIR/ZelvorSound.ini" || fail "ZelvorSound.ini lost its [Audio] section"
  echo "PASS"
  exit 0
fi
# --- end of the sound server's part ------------------------------------------------------

export ZELVOR_AUDIO=alsa
export ALSA_CONFIG_PATH=$ROOT/tests/platform/alsa/asound.conf
export ZELVOR_ALSA_DEVICE=zelvor_file
export ZELVOR_TEST_CAPTURE=$WORK/capture.raw
export ZELVOR_TEST_PLAYBACK=$WORK/played.raw
(cd / && exec "$APPDIR/zelvorsound") >"$WORK/app.log" 2>&1 &
APP_PID=$!

WID=""
find_window() { WID=$(xdotool search --name "^${CAPTION}\$" 2>/dev/null | head -n1); [ -n "$WID" ]; }
wait_for 100 find_window || fail "no window with the caption \"$CAPTION\""
sleep 0.5

# Clicks at a point of the window's client area (the window layout's coordinates).
click_at() { xdotool mousemove --window "$WID" "$1" "$2" click 1; }
# Controls, by the centre of their place in the window.
RECORD="62 37"; STOP="156 37"; PLAY="252 37"; CREATE="92 188"; TEST="92 228"
ROW0="400 24"

xdotool mousemove --window "$WID" $ROW0 click --repeat 2 --delay 80 1
sleep 0.5
click_at $RECORD
sleep 2.5
click_at $STOP
wait_for 100 test -s "$APPDIR/Sound 1.vox" || fail "the take was not coded into \"Sound 1.vox\""
TAKE=$(size_of "$APPDIR/Sound 1.WAV")
[ "$TAKE" -gt 46 ] || fail "the take holds no sound ($TAKE bytes)"
[ "$(head -c 4 "$APPDIR/Sound 1.WAV")" = RIFF ] || fail "the take is no RIFF file"
# The quiet around the tone was trimmed away: far less than the 2.5 s recorded is kept.
[ "$TAKE" -lt $((46 + 16000)) ] || fail "the take was not trimmed ($TAKE bytes)"
echo "recorded and coded slot 0: take $TAKE bytes, .vox $(size_of "$APPDIR/Sound 1.vox") bytes"

click_at $PLAY
KEPT=$((TAKE - 46))
wait_for 100 test "$(size_of "$WORK/played.raw")" -ge "$KEPT" || fail "the take was not played"
sleep 1
if [ -n "$SHOT" ]; then
  import -window "$WID" "$SHOT" || fail "no screenshot"
  echo "screenshot in $SHOT"
fi
# The file device starts its file afresh at every playback: the take's is kept aside.
mv "$WORK/played.raw" "$WORK/played-take.raw"
echo "played the take back: $(size_of "$WORK/played-take.raw") bytes"

click_at $CREATE
MSG=""
find_message() { MSG=$(xdotool search --onlyvisible --name '^Sound Recorder$' 2>/dev/null | head -n1); [ -n "$MSG" ]; }
wait_for 100 find_message || fail "the build ended without its message box"
wait_for 50 test -s "$APPDIR/Sounds.zvd" || fail "no Sounds.zvd"
sleep 0.3
# Its one button, OK, sits at the bottom right; a click on it closes the box.
eval "$(xdotool getwindowgeometry --shell "$MSG")"
echo "message box ${WIDTH}x${HEIGHT}: $(xdotool getwindowname "$MSG")"
[ -n "$SHOT" ] && import -window "$MSG" "${SHOT%.png}-message.png"
xdotool mousemove --window "$MSG" $((WIDTH - 50)) $((HEIGHT - 25)) click 1
gone() { ! xdotool search --onlyvisible --name '^Sound Recorder$' >/dev/null 2>&1; }
wait_for 50 gone || fail "the builder's message box did not close"
echo "built Sounds.zvd: $(size_of "$APPDIR/Sounds.zvd") bytes"

# The status window opened over the desktop; the main window is brought back on top of it.
xdotool windowraise "$WID"
sleep 0.3
click_at $TEST
VOX=$(size_of "$APPDIR/Sound 1.vox")
wait_for 100 test "$(size_of "$WORK/played.raw")" -ge $((2 * VOX)) ||
  fail "the package test did not play slot 0"
sleep 1
echo "tested the package: $(size_of "$WORK/played.raw") bytes played"

python3 "$ROOT/scripts/x11-close-window.py" "$WID" || fail "could not send the close request"
ended() { ! kill -0 "$APP_PID" 2>/dev/null; }
wait_for 100 ended || fail "the program did not end when its window was closed"
wait "$APP_PID"
RC=$?
APP_PID=""
[ "$RC" = 0 ] || fail "the program ended with status $RC"

# The files on disk, byte for byte.
python3 - "$APPDIR" "$WORK/played-take.raw" "$WORK/played.raw" <<'PY' || fail "the files on disk are not right"
import os, struct, sys
folder, take_played_path, test_played_path = sys.argv[1], sys.argv[2], sys.argv[3]
def read(name):
    return open(os.path.join(folder, name), "rb").read()
def check(cond, what):
    if not cond:
        print("  " + what)
        sys.exit(1)
take, vox, pkg = read("Sound 1.WAV"), read("Sound 1.vox"), read("Sounds.zvd")
played = open(take_played_path, "rb").read()
played_test = open(test_played_path, "rb").read()
samples = take[46:]
check(struct.unpack_from("<I", take, 42)[0] == len(samples), "take's data size is wrong")
check(any(s > 200 for s in samples) and any(s < 60 for s in samples), "the tone is not in the take")
check(played == samples, "the playback is not the take")
# The package: slot 0 at 512, holding the ".vox" bytes; every other slot empty.
entries = struct.unpack_from("<128I", pkg, 0)
check(entries[0] == 512 and not any(entries[1:]), "package directory %r" % (entries[:4],))
count = struct.unpack_from("<I", pkg, 512)[0]
check(count == len(vox) and pkg[516:] == vox, "slot 0's record is not the .vox file")
# The test file: the decoded sound behind the 46-byte header; the same was played.
steps = [0, 1, 2, 4, 8, 16, 32, 64]
v, decoded = 128, bytearray()
for c in vox:
    for nib in (c & 15, c >> 4):
        v = (v - steps[nib & 7]) & 255 if nib & 8 else (v + steps[nib & 7]) & 255
        decoded.append(v)
test = read("testvox.wav")
check(test[:4] == b"RIFF" and struct.unpack_from("<I", test, 4)[0] == 2 * count + 38,
      "testvox.wav header")
check(test[46:] == bytes(decoded), "testvox.wav does not hold the decoded sound")
check(played_test == bytes(decoded),
      "the package test did not play the decoded sound")
check(read(os.path.join("WAV Export", "prompt1.wav")) == take, "no filed copy of the take")
ini = read("ZelvorSound.ini").decode()
check("Name0=Sound 1" in ini and "Name0=Sound 1.WAV" in ini, "ZelvorSound.ini lost a section")
print("  take %d samples, .vox %d bytes, package %d bytes, testvox.wav %d bytes"
      % (len(samples), len(vox), len(pkg), len(test)))
PY
echo "PASS"
