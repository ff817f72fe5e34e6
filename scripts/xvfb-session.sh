#!/usr/bin/env bash
# A whole working session in the window under a real X server, driven by xdotool the way a
# user drives it with the mouse: double-click the first slot of the sound list, record into
# it for two seconds (double-clicking another row and pressing "Record" again meanwhile,
# which must change nothing), stop, play the take back, build the package, close the
# builder's message box, test the package, record again with no row chosen since, record
# silence over a good take, try a read-only take and a folder another run is busy in,
# close the window in the middle of a recording; then start the program once more with a
# sound device that does not exist and try to record. The sound goes through the sound
# system's file device (tests/platform/alsa/asound.conf): recording reads a prepared signal
# from a file, playback writes into a file. Afterwards the files on disk are checked byte for
# byte: the trimmed take and its ".vox", the package with that ".vox" as slot 0's record, the
# filed copy in "WAV Export", "testvox.wav" holding the decoded sound, the playback holding
# the take and then the decoded sound, the takes that every mishap had to leave alone, and
# no unfinished recording left behind. Along the way a row is chosen with Return instead of
# a double-click, and the message boxes are looked at for their icons (information for the
# builder's message, a warning for the silent recording, critical for the read-only take).
# Last, on the virtual sound device, which keeps real time: a sound file is imported into
# slot 5 through the list's context menu and its file dialog, the package is built with it
# and tested (by the keys Ctrl+B and Ctrl+T), and the highlight is seen on the slot that
# plays and back on the chosen row afterwards (--screenshot takes the window then); slot 5 is
# recorded again and that undone with Ctrl+Z, byte for byte, then renamed (F2), moved up
# (Alt+Up) and cleared (Delete). While that window is open, zelvorsound-cli (beside the
# program's build) imports the same file into slot 20 under another name: the window shows it
# at once (Space plays it, Esc stops it), and its closing must keep that name and write its own.
#
# With --sound-server the session records, stops and plays through a real sound server
# instead (scripts/sound-server.sh: a private PulseAudio behind ALSA's "default", chosen by
# the [Audio] section of "ZelvorSound.ini"); see the part marked "sound server" below.
#
#   scripts/xvfb-session.sh [path/to/zelvorsound] [--screenshot FILE.png] [--sound-server]
# Exit status: 0 passed, 1 failed, 77 skipped (Xvfb, xdotool, python3 or ImageMagick's
# import missing; with --sound-server also pulseaudio or its ALSA plugin).
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
CLI=$(dirname "$APP")/../zelvorsound-cli

for tool in Xvfb xdotool python3 import; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$APP" ] || { echo "FAIL: no program at $APP"; exit 1; }

WORK=$(mktemp -d)
# The folders opened last go into the user's configuration: here, the session's own.
export XDG_CONFIG_HOME=$WORK/config
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
fail() { echo "FAIL: $*"; xdotool search --onlyvisible --name . 2>/dev/null | while read w; do echo "  window: $(xdotool getwindowname $w)"; done; [ -s "$WORK/app.log" ] && sed 's/^/  program: /' "$WORK/app.log"; exit 1; }
# Waits up to $1 tenths of a second for the command in the other arguments to succeed.
wait_for() {
  local tries=$1; shift
  for _ in $(seq 1 "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

# What the screen shows of a window, read from ImageMagick's picture of it (8-bit PPM):
# "icon" names the icon at a message box's top left by its colour (information blue, warning
# yellow, critical red; none); "highlighted X Y" succeeds when the point has the colour of a
# highlighted row.
cat >"$WORK/look.py" <<'PY'
import sys
data = sys.stdin.buffer.read()
fields, i = [], 0
while len(fields) < 4:
    while data[i:i + 1].isspace(): i += 1
    j = i
    while not data[j:j + 1].isspace(): j += 1
    fields.append(data[i:j]); i = j
i += 1
width, height = int(fields[1]), int(fields[2])
def colour(x, y):
    k = i + 3 * (y * width + x)
    return tuple(data[k:k + 3])
if sys.argv[1] == "icon":
    kinds = {"information": 0, "warning": 0, "critical": 0}
    for y in range(min(height, 80)):
        for x in range(min(width, 80)):
            r, g, b = colour(x, y)
            if b > r + 50 and b > g: kinds["information"] += 1
            elif r > 180 and g > 150 and b < 100: kinds["warning"] += 1
            elif r > 150 and g < 90 and b < 90: kinds["critical"] += 1
    best = max(kinds, key=kinds.get)
    print(best if kinds[best] >= 30 else "none")
else:
    r, g, b = colour(int(sys.argv[2]), int(sys.argv[3]))
    sys.exit(0 if b > 150 and r < 150 else 1)
PY
look() { local w=$1; shift; import -window "$w" -depth 8 ppm:- 2>/dev/null | python3 "$WORK/look.py" "$@"; }

source "$ROOT/scripts/xvfb-start.sh"
start_xvfb 1024x768x24 || fail "Xvfb did not start"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM ZELVOR_FOLDER  # the copy works in its own folder

# The program's folder: the program, and a configuration that names slot 0's take as the
# source of the package and files a copy of it as "prompt1".
APPDIR=$WORK/app
mkdir "$APPDIR"
cp "$APP" "$APPDIR/zelvorsound"
cat >"$APPDIR/ZelvorSound.ini" <<'INI'
[SourceFileNames]
Name0=Sound 1.WAV
Name127=Last.WAV
[DestinationFileNames]
Name0=prompt1
INI
# What the microphone hears (8 kHz, 8-bit, mono): a quiet room, a second of a loud tone,
# then quiet again for longer than the recording lasts; and a room where nothing is heard.
# The files the mishaps must leave alone: slot 1's 16-bit source with its ".vox", slot 2's
# good take with its ".vox", slot 3's read-only take and slot 127's source (quiet, so the
# builder converts it last and packs an empty record, which the test skips); copies of them
# all are kept aside to compare with at the end.
python3 - "$WORK" "$APPDIR" <<'PY'
import os, struct, sys
work, app = sys.argv[1], sys.argv[2]
quiet = bytes([128]) * 2400
tone = bytes([224 if (i // 8) % 2 else 32 for i in range(8000)])
open(os.path.join(work, "tone.raw"), "wb").write(quiet + tone + bytes([128]) * 80000)
open(os.path.join(work, "silence.raw"), "wb").write(bytes([128]) * 90000)
def wav(rate, bits, data):
    align = bits // 8
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * align, align, bits)
    return (b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVEfmt " +
            struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data)
os.mkdir(os.path.join(work, "orig"))
files = {
    "Sound 2.WAV": wav(44100, 16, bytes(range(256)) * 40),
    "Sound 2.vox": b"slot 1 codes",
    "Sound 3.WAV": wav(8000, 8, bytes([128]) * 500 + tone[:3000] + bytes([128]) * 500),
    "Sound 3.vox": b"slot 2 codes",
    "Sound 4.WAV": wav(8000, 8, tone[:2000]),
    "Last.WAV": wav(8000, 8, bytes([128]) * 1000),  # converted last, into an empty record
}
for name, data in files.items():
    for folder in (app, os.path.join(work, "orig")):
        open(os.path.join(folder, name), "wb").write(data)
PY
chmod a-w "$APPDIR/Sound 4.WAV"
cp "$WORK/tone.raw" "$WORK/capture.raw"

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
  find_window() { WID=$(xdotool search --onlyvisible --name "^${CAPTION}\$" 2>/dev/null | head -n1); [ -n "$WID" ]; }
  wait_for 100 find_window || fail "no window with the caption \"$CAPTION\""
  # The server's streams of a kind (source-outputs, sink-inputs): some, or none.
  some() { [ "$(pactl list short "$1" 2>/dev/null | grep -c .)" -gt 0 ]; }
  none() { ! some "$1"; }
  no_message() { ! xdotool search --onlyvisible --name '^Sound Recorder$' >/dev/null 2>&1; }
  # Presses the button at $1 $2 until the server shows a stream of the kind $3: a press
  # that comes before the window has taken the row or finished the last take finds the
  # button off, a press while the stream runs finds it off too.
  press_until() {
    for _ in $(seq 1 10); do
      xdotool mousemove --window "$WID" "$1" "$2" click 1
      wait_for 30 some "$3" && return 0
    done
    return 1
  }
  xdotool mousemove --window "$WID" 400 24 click --repeat 2 --delay 80 1
  press_until 62 37 source-outputs || fail "Record opened no stream at the server"
  sleep 2  # the length of the take
  xdotool mousemove --window "$WID" 156 37 click 1
  wait_for 100 none source-outputs || fail "Stop left the recording stream open"
  wait_for 100 test -s "$APPDIR/Sound 1.vox" || fail "the take was not coded into \"Sound 1.vox\""
  no_message || fail "a message box came up while recording"
  echo "recorded through the server: take $(size_of "$APPDIR/Sound 1.WAV") bytes"
  press_until 252 37 sink-inputs || fail "Play opened no stream at the server"
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
find_window() { WID=$(xdotool search --onlyvisible --name "^${CAPTION}\$" 2>/dev/null | head -n1); [ -n "$WID" ]; }
wait_for 100 find_window || fail "no window with the caption \"$CAPTION\""
sleep 0.5

# Clicks at a point of the window's client area (the window layout's coordinates).
click_at() { xdotool mousemove --window "$WID" "$1" "$2" click 1; }
# Controls, by the centre of their place in the window; rows of the list are 13 pixels high.
RECORD="62 37"; STOP="156 37"; PLAY="252 37"; CREATE="92 188"; TEST="92 228"
ROW0="400 24"; ROW1="400 37"; ROW2="400 50"; ROW3="400 63"; ROW4="400 76"
double_click() { xdotool mousemove --window "$WID" "$1" "$2" click --repeat 2 --delay 80 1; }

MSG=""
find_message() { MSG=$(xdotool search --onlyvisible --name '^Sound Recorder$' 2>/dev/null | head -n1); [ -n "$MSG" ]; }
gone() { ! xdotool search --onlyvisible --name '^Sound Recorder$' >/dev/null 2>&1; }
# Waits for the program's message box ($1 says why it should come), checks its icon when $2
# names one, and presses its one button, OK, at the bottom right.
close_message() {
  wait_for 100 find_message || fail "no message box: $1"
  sleep 0.3
  if [ -n "${2:-}" ]; then
    local icon
    icon=$(look "$MSG" icon)
    [ "$icon" = "$2" ] || fail "the message box ($1) shows the icon \"$icon\", not \"$2\""
  fi
  eval "$(xdotool getwindowgeometry --shell "$MSG")"
  xdotool mousemove --window "$MSG" $((WIDTH - 50)) $((HEIGHT - 25)) click 1
  wait_for 50 gone || fail "the message box did not close: $1"
}
no_message() { sleep 0.5; gone || fail "a message box came up: $1"; }
unfinished() { ls "$APPDIR" | grep -q "unfinished recording"; }
# True once sound flows into the unfinished recording (beyond its 46-byte header).
recording() {
  local f
  f=$(find "$APPDIR" -maxdepth 1 -name "*unfinished recording*" | head -n1)
  [ -n "$f" ] && [ "$(size_of "$f")" -gt 46 ]
}
# Presses "Record" until the recording is under way: a press that comes while the last
# playback is still closing finds the button off.
start_recording() {
  for _ in $(seq 1 10); do
    click_at $RECORD
    wait_for 30 recording && return 0
  done
  fail "the recording did not start: $1"
}

double_click $ROW0
sleep 0.5
start_recording "slot 0"
sleep 0.8
# While it records, another row is double-clicked and "Record" pressed again: the recording
# goes on into slot 0, and slot 1's files stay as they are.
double_click $ROW1
sleep 0.3
click_at $RECORD
sleep 1.4
click_at $STOP
wait_for 100 test -s "$APPDIR/Sound 1.vox" || fail "the take was not coded into \"Sound 1.vox\""
no_message "after a recording with a double-click and a second \"Record\" in it"
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
# The file device starts its file afresh at every playback: the take's is kept aside.
mv "$WORK/played.raw" "$WORK/played-take.raw"
echo "played the take back: $(size_of "$WORK/played-take.raw") bytes"

click_at $CREATE
wait_for 100 find_message || fail "the build ended without its message box"
wait_for 50 test -s "$APPDIR/Sounds.zvd" || fail "no Sounds.zvd"
sleep 0.3
eval "$(xdotool getwindowgeometry --shell "$MSG")"
echo "message box ${WIDTH}x${HEIGHT}: $(xdotool getwindowname "$MSG")"
[ -n "$SHOT" ] && import -window "$MSG" "${SHOT%.png}-message.png"
close_message "the builder's final message" information
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
# The file device also writes what a recording captures into that file: kept aside now.
mv "$WORK/played.raw" "$WORK/played-test.raw"
mkdir "$WORK/built"
cp "$APPDIR/Sound 1.WAV" "$APPDIR/Sound 1.vox" "$APPDIR/Sounds.zvd" "$WORK/built/"

# "Record" and "Stop" after the build and the test act on slot 0, the row chosen last: not
# on slot 127's source, which the builder converted last.
WRITTEN=$(stat -c %y "$APPDIR/Sound 1.WAV")
start_recording "slot 0 after the package test"
sleep 1.5
click_at $STOP
wait_for 100 test "$(stat -c %y "$APPDIR/Sound 1.WAV")" != "$WRITTEN" ||
  fail "\"Record\" after the package test did not record slot 0"
no_message "after recording slot 0 again"
echo "after the build and the test, \"Record\" recorded slot 0 again"

# Nothing heard over a good take: the take and its ".vox" stay, and the user is told. The
# slot is chosen from the keyboard: Return on the highlighted row.
cp "$WORK/silence.raw" "$WORK/capture.raw"
click_at $ROW2
sleep 0.3
xdotool key Return
sleep 0.3
start_recording "slot 2 in silence"
sleep 1.5
click_at $STOP
close_message "a silent recording over a good take (slot 2 chosen with Return)" warning
echo "a silent recording kept the earlier take of slot 2, chosen with Return"

# A read-only take is refused before anything is recorded.
double_click $ROW3
sleep 0.3
click_at $RECORD
close_message "\"Record\" on a read-only take" critical
echo "\"Record\" refused the read-only take of slot 3"

# Another run busy in the folder: "Create" says so and builds nothing.
python3 -c 'import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY); fcntl.flock(fd, fcntl.LOCK_EX)
open(sys.argv[2], "w").close(); time.sleep(60)' "$APPDIR" "$WORK/locked" &
HOLDER=$!
wait_for 100 test -e "$WORK/locked" || fail "could not lock the folder"
click_at $CREATE
close_message "\"Create\" in a folder another run holds"
kill "$HOLDER"; wait "$HOLDER" 2>/dev/null
echo "\"Create\" found the folder busy and left it alone"

# Closing the window in the middle of a recording finishes its take first.
cp "$WORK/tone.raw" "$WORK/capture.raw"
double_click $ROW4
sleep 0.3
start_recording "slot 4"
sleep 2
python3 "$ROOT/scripts/x11-close-window.py" "$WID" || fail "could not send the close request"
ended() { ! kill -0 "$APP_PID" 2>/dev/null; }
wait_for 100 ended || fail "the program did not end when its window was closed"
wait "$APP_PID"
RC=$?
APP_PID=""
[ "$RC" = 0 ] || fail "the program ended with status $RC"
echo "closed during a recording of slot 4: take $(size_of "$APPDIR/Sound 5.WAV") bytes"

# Once more with a sound device that does not exist: "Record" says so, slot 2 is untouched.
ZELVOR_ALSA_DEVICE=zelvor_nocard
(cd / && exec "$APPDIR/zelvorsound") >>"$WORK/app.log" 2>&1 &
APP_PID=$!
sleep 0.5
wait_for 100 find_window || fail "no window at the second start"
sleep 0.5
double_click $ROW2
sleep 0.3
click_at $RECORD
close_message "\"Record\" without a sound device"
python3 "$ROOT/scripts/x11-close-window.py" "$WID" || fail "could not send the close request"
wait_for 100 ended || fail "the program did not end at the second close"
APP_PID=""
echo "\"Record\" without a sound device left slot 2 alone"
unfinished && fail "an unfinished recording was left: $(ls "$APPDIR")"

# The files on disk, byte for byte.
python3 - "$APPDIR" "$WORK/played-take.raw" "$WORK/played-test.raw" "$WORK" <<'PY' || fail "the files on disk are not right"
import os, struct, sys
folder, take_played_path, test_played_path, work = sys.argv[1:5]
def read(name, where=folder):
    return open(os.path.join(where, name), "rb").read()
def check(cond, what):
    if not cond:
        print("  " + what)
        sys.exit(1)
built = os.path.join(work, "built")
take, vox, pkg = read("Sound 1.WAV", built), read("Sound 1.vox", built), read("Sounds.zvd", built)
check(read("Sounds.zvd") == pkg, "the busy folder's package was rebuilt")
for name in ("Sound 2.WAV", "Sound 2.vox", "Sound 3.WAV", "Sound 3.vox", "Sound 4.WAV", "Last.WAV"):
    check(read(name) == read(name, os.path.join(work, "orig")), name + " was changed")
# The take finished at closing: trimmed around the tone and coded.
take5, vox5 = read("Sound 5.WAV"), read("Sound 5.vox")
samples5 = take5[46:]
check(struct.unpack_from("<I", take5, 42)[0] == len(samples5), "Sound 5.WAV's data size")
check(46 < len(take5) < 46 + 16000, "Sound 5.WAV was not trimmed (%d bytes)" % len(take5))
check(len(vox5) == len(samples5) // 2, "Sound 5.vox does not code the take")
# Slot 0 recorded again after the test: coded like the first time.
check(len(read("Sound 1.vox")) == len(read("Sound 1.WAV")[46:]) // 2, "slot 0's second take")
played = open(take_played_path, "rb").read()
played_test = open(test_played_path, "rb").read()
samples = take[46:]
check(struct.unpack_from("<I", take, 42)[0] == len(samples), "take's data size is wrong")
check(any(s > 200 for s in samples) and any(s < 60 for s in samples), "the tone is not in the take")
check(played == samples, "the playback is not the take")
# The package: slot 0 at 512, holding the ".vox" bytes; slot 127 an empty record after it.
entries = struct.unpack_from("<128I", pkg, 0)
check(entries[0] == 512 and not any(entries[1:127]), "package directory %r" % (entries[:4],))
count = struct.unpack_from("<I", pkg, 512)[0]
check(count == len(vox) and pkg[516:516 + count] == vox, "slot 0's record is not the .vox file")
check(entries[127] == 516 + count and pkg[516 + count:] == bytes(4), "slot 127's empty record")
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

# A last start on the virtual sound device, which keeps real time where the file device plays
# at once, so the package test can be watched. A four-second prompt recorded elsewhere
# (22.05 kHz 16-bit stereo) is imported into slot 5 through the list's context menu: its
# first entry, "Import sound file…", and the path typed into the file dialog.
python3 - "$WORK/welcome.wav" <<'PY'
import math, struct, sys
rate, frames = 22050, 4 * 22050
data = b"".join(struct.pack("<hh", v, v // 2) for v in
                (int(9000 * math.sin(2 * math.pi * 500 * n / rate)) for n in range(frames)))
fmt = struct.pack("<HHIIHH", 1, 2, rate, rate * 4, 4, 16)
open(sys.argv[1], "wb").write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
                              struct.pack("<I", 16) + fmt + b"data" +
                              struct.pack("<I", len(data)) + data)
PY
# From here on the folder codes with the optimal coder.
printf '\n[Options]\nCoder=optimal\n' >>"$APPDIR/ZelvorSound.ini"
(cd / && ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_PACING=realtime ZELVOR_VIRTUAL_CAPTURE="$WORK/tone.raw" \
  ZELVOR_VIRTUAL_PLAYBACK="$WORK/heard.raw" exec "$APPDIR/zelvorsound") >>"$WORK/app.log" 2>&1 &
APP_PID=$!
wait_for 100 find_window || fail "no window at the third start"
sleep 0.5
ROW5="400 89"
find_dialog() { xdotool search --onlyvisible --name '^Import sound file$' >/dev/null 2>&1; }
xdotool mousemove --window "$WID" $ROW5 click 3
sleep 0.5
xdotool key Down Return
wait_for 100 find_dialog || fail "\"Import sound file…\" brought no file dialog"
sleep 0.5
xdotool type --delay 10 "$WORK/welcome.wav"
xdotool key Return
wait_for 100 test -s "$APPDIR/welcome.vox" || fail "the import wrote no \"welcome.vox\""
no_message "after importing welcome.wav into slot 5"
echo "imported welcome.wav into slot 5: take $(size_of "$APPDIR/welcome.WAV") bytes"

# Slot 5 as the instrument will play it: the context menu's third entry codes the take with
# the folder's coder and plays the decoding from memory; nothing is written.
ls -l --time-style=+%s.%N "$APPDIR" >"$WORK/before-heard.ls"
xdotool mousemove --window "$WID" $ROW5 click 3
sleep 0.5
xdotool key Down Down Down Return
heard_all() { [ "$(size_of "$WORK/heard.raw")" -ge "$(($(size_of "$APPDIR/welcome.vox") * 2))" ]; }
wait_for 150 heard_all || fail "\"Play as the instrument plays it\" played $(size_of "$WORK/heard.raw") bytes"
no_message "after playing slot 5 as the instrument plays it"
ls -l --time-style=+%s.%N "$APPDIR" | cmp -s - "$WORK/before-heard.ls" ||
  fail "playing slot 5 as the instrument plays it wrote into the folder"
echo "played slot 5 as the instrument plays it: $(size_of "$WORK/heard.raw") bytes, nothing written"

# The package with it, then its test: the highlight moves to each slot as it plays (slot 0,
# then slot 5) and comes back to the row chosen before (slot 2, with Return).
# This time "Create" and "Test" are pressed by their keys, Ctrl+B and Ctrl+T.
highlighted() { look "$WID" highlighted 460 $((24 + 13 * $1)); }
click_at $ROW2
sleep 0.3
xdotool key Return
wait_for 30 highlighted 2 || fail "the row chosen with Return is not highlighted"
xdotool key ctrl+b
close_message "the builder's final message with slot 5 (Ctrl+B)" information
xdotool windowraise "$WID"
click_at 250 150  # the keys go to the window under the mouse: a free place of the main window
sleep 0.3
xdotool key ctrl+t
wait_for 100 highlighted 5 || fail "the package test did not highlight slot 5 while it played"
highlighted 2 && fail "the chosen row stayed highlighted while slot 5 played"
if [ -n "$SHOT" ]; then
  import -window "$WID" "$SHOT" || fail "no screenshot"
  echo "screenshot in $SHOT"
fi
wait_for 150 highlighted 2 || fail "the highlight did not come back to the chosen row"
highlighted 5 && fail "slot 5 stayed highlighted after the test"
echo "the package test highlighted slot 5 while it played, then the chosen row again"
# The slot commands, by their keys. Slot 5 recorded again over its import; Ctrl+Z brings the
# import back byte for byte, the recording going into "History/welcome/". Then F2 renames it
# "Hello" (take and ".vox" follow), Alt+Up moves it to slot 4, and Delete, confirmed with
# Return, clears slot 4's source.
cp "$APPDIR/welcome.WAV" "$WORK/imported.WAV"
cp "$APPDIR/welcome.vox" "$WORK/imported.vox"
double_click $ROW5
sleep 0.3
click_at $RECORD
sleep 2
click_at $STOP
kept() { [ -n "$(ls "$APPDIR/History/welcome" 2>/dev/null)" ]; }
wait_for 100 kept || fail "recording slot 5 again kept no earlier take"
cmp -s "$APPDIR/welcome.WAV" "$WORK/imported.WAV" && fail "the recording did not replace slot 5's take"
no_message "after recording slot 5 again"
xdotool key ctrl+z
undone() { cmp -s "$APPDIR/welcome.WAV" "$WORK/imported.WAV" && cmp -s "$APPDIR/welcome.vox" "$WORK/imported.vox"; }
wait_for 50 undone || fail "Ctrl+Z did not bring slot 5's imported take back byte for byte"
click_at $ROW5
xdotool key F2
find_rename() { xdotool search --onlyvisible --name '^Rename slot$' >/dev/null 2>&1; }
wait_for 50 find_rename || fail "F2 brought no rename dialog"
xdotool key ctrl+a
xdotool type --delay 10 "Hello"
xdotool key Return
wait_for 50 test -f "$APPDIR/Hello.WAV" || fail "F2 did not rename slot 5's take"
click_at $ROW5  # no window manager gives the focus back after a dialog
xdotool key alt+Up
moved() { grep -q '^Name4=Hello' "$APPDIR/ZelvorSound.ini"; }
wait_for 50 moved || fail "Alt+Up did not move slot 5 to slot 4"
xdotool key Delete
wait_for 50 find_message || fail "Delete asked nothing"
xdotool key Return
cleared() { grep -q '^Name4=NONE' "$APPDIR/ZelvorSound.ini"; }
wait_for 50 cleared || fail "Delete did not clear slot 4's source"
no_message "after the slot commands"
echo "slot 5 recorded again and undone with Ctrl+Z, renamed, moved up and cleared by its keys"
# Another run names slot 20 while the window is open. The window sees it: slot 20, chosen
# from the keyboard (Down from slot 5, Return), plays "FromCli.WAV" with Space, and Esc
# stops it early. Closing must leave that name alone.
[ -x "$CLI" ] || fail "no zelvorsound-cli at $CLI"
"$CLI" import "$WORK/welcome.wav" --slot 20 --name FromCli --folder "$APPDIR" >/dev/null ||
  fail "zelvorsound-cli could not import into slot 20 beside the window"
sleep 1
click_at $ROW5
xdotool key --delay 50 Down Down Down Down Down Down Down Down Down Down Down Down Down Down Down Return
sleep 0.3
HEARD=$(size_of "$WORK/heard.raw")
xdotool key space
playing() { [ "$(size_of "$WORK/heard.raw")" -gt $((HEARD + 4000)) ]; }
wait_for 50 playing || fail "Space on slot 20 played nothing: the window did not see the other run's import"
xdotool key Escape
sleep 0.5
STOPPED=$(size_of "$WORK/heard.raw")
sleep 1
[ "$(size_of "$WORK/heard.raw")" = "$STOPPED" ] || fail "Esc did not stop the playback of slot 20"
[ $((STOPPED - HEARD)) -lt $(($(size_of "$APPDIR/FromCli.WAV") - 46)) ] ||
  fail "slot 20 played to its end although Esc was pressed"
echo "the window saw slot 20 named by zelvorsound-cli, played it with Space and stopped it with Esc"
python3 "$ROOT/scripts/x11-close-window.py" "$WID" || fail "could not send the close request"
wait_for 100 ended || fail "the program did not end at the third close"
APP_PID=""

python3 - "$APPDIR" "$WORK/heard.raw" <<'PY' || fail "the imported prompt is not right"
import math, os, struct, sys
folder, heard_path = sys.argv[1:3]
def read(name):
    return open(os.path.join(folder, name), "rb").read()
def check(cond, what):
    if not cond:
        print("  " + what)
        sys.exit(1)
take, vox, pkg = read("Hello.WAV"), read("Hello.vox"), read("Sounds.zvd")  # renamed
samples = take[46:]
check(abs(len(samples) - 4 * 8000) < 800, "welcome.WAV holds %d samples" % len(samples))
# Levelled by loudness, the peaks held under -1 dBFS (128 ± 113).
check(max(samples) > 144 and min(samples) < 112, "welcome.WAV is not levelled")
check(max(samples) <= 241 and min(samples) >= 15, "welcome.WAV peaks above -1 dBFS")
check(len(vox) == len(samples) // 2, "welcome.vox does not code the take")
steps = [0, 1, 2, 4, 8, 16, 32, 64]
def decode(codes):
    v, out = 128, bytearray()
    for c in codes:
        for nib in (c & 15, c >> 4):
            v = (v - steps[nib & 7]) & 255 if nib & 8 else (v + steps[nib & 7]) & 255
            out.append(v)
    return bytes(out)
def standard(s):  # the coder of earlier versions: every difference rounded down to a step
    p, out = 128, []
    for x in s[:len(s) // 2 * 2]:
        d = abs(x - p)
        i = max(k for k in range(8) if steps[k] <= d)
        out.append(i if x >= p else i + 8)
        p = p + steps[i] if x >= p else p - steps[i]
    return bytes(out[k] | out[k + 1] << 4 for k in range(0, len(out), 2))
def error_db(decoded):
    signal = sum((x - 128) ** 2 for x in samples[:len(decoded)])
    return 10 * math.log10(signal / max(1, sum((x - y) ** 2 for x, y in zip(samples, decoded))))
optimal_db, standard_db = error_db(decode(vox)), error_db(decode(standard(samples)))
check(optimal_db > standard_db + 3, "welcome.vox is not coded by the optimal coder: %.1f dB "
      "against %.1f dB of the standard one" % (optimal_db, standard_db))
heard = open(heard_path, "rb").read()
check(heard[:2 * len(vox)] == decode(vox),
      "\"Play as the instrument plays it\" did not play the decoding of welcome.vox")
print("  welcome.vox: coding noise %.1f dB below the prompt (%.1f dB with the standard coder)"
      % (optimal_db, standard_db))
entry = struct.unpack_from("<I", pkg, 4 * 5)[0]
count = struct.unpack_from("<I", pkg, entry)[0]
check(count == len(vox) and pkg[entry + 4:entry + 4 + count] == vox,
      "slot 5's record is not welcome.vox")
ini = read("ZelvorSound.ini").decode()
# Renamed, moved up and cleared: slot 4 is "Hello" with no source, slot 5 slot 4's old self.
check("Name4=Hello\n" in ini and "Name4=NONE" in ini and "Name5=Sound 5\n" in ini,
      "ZelvorSound.ini does not show the rename, the move and the clearing")
check(len(os.listdir(os.path.join(folder, "History", "Hello"))) == 2,
      "the recording undone is not kept in History/Hello")
check("Name20=FromCli\n" in ini, "closing the window undid the name another run wrote")
print("  welcome: %d samples, .vox %d bytes, slot 5 at %d" % (len(samples), len(vox), entry))
PY
echo "PASS"
