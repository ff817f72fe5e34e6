#!/usr/bin/env bash
# Tests the cross-built Windows programs (scripts/build-windows.sh makes them) under wine, with
# no display, in a wine prefix of their own inside the build tree:
#   1. the unit tests: each test program runs once (a wine start costs a second or more, so
#      not once per test); the line "windows: N passed, M failed" counts their tests;
#   2. the command line against the Linux build's (LINUX_CLI, build/test's by default): the
#      same commands on copies of the same folder must end alike, say the same (paths aside)
#      and leave the same files, byte for byte; the INI each build writes is read by the other;
#   3. sound through wine's own wave devices to a private PulseAudio (scripts/sound-server.sh):
#      a recording of an exact length, and a playback heard by a recording made meanwhile;
#   4. the installer: a silent install with the PATH entry, the installed command run from a
#      new console as a user would, the uninstall, which leaves the user's folder; then the
#      portable zip, unpacked and used in its own folder.
# PARTS=units,cli,sound,installer chooses (all by default). Exit status 0 when all passed.
set -Eeuo pipefail
trap 'echo "test-windows: stopped at line $LINENO" >&2' ERR
cd "$(dirname "$0")/.."
ROOT=$PWD
WIN=${WIN_BUILD:-$ROOT/build/win}
LINUX_CLI=${LINUX_CLI:-$ROOT/build/test/src/zelvorsound-cli}
PARTS=${PARTS:-units,cli,sound,installer}
export WINEPREFIX=$WIN/wineprefix WINEDEBUG=-all
# No display, and no offer to install wine's .NET and HTML engines into a new prefix.
export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset ZELVOR_FOLDER  # a user's own folder never receives what the tests write
CLI=$WIN/src/zelvorsound-cli.exe
[ -f "$CLI" ] || { echo "no $CLI: run scripts/build-windows.sh first" >&2; exit 1; }
[ -d "$WINEPREFIX" ] || wineboot --init >/dev/null 2>&1
WORK=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WORK"' EXIT
rc=0
fail() { echo "   FAILED: $*"; rc=1; }
part() { case ",$PARTS," in *",$1,"*) return 0 ;; *) return 1 ;; esac; }

# --- 1. the unit tests
# Tests of what Windows does not have or does otherwise by design, left out here:
# - several names that differ only in letter case in one folder (the system allows one);
# - symbolic links (the compiler's runtime cannot make them; the program never makes one);
# - speech (no engine in this build);
# - 3000 restarts of one device against a flood of posts: the program's own thread model,
#   which the Linux build runs under the thread sanitizer; a thread switch under wine costs
#   so much more that it alone would take minutes.
LEFT_OUT="ResolveFileName.ExactNamesWinElseTheFirstCaseVariantElseTheNameAsFormed"
LEFT_OUT+=":SafeFile.TheNameTakesTheNewFileOnlyWhenItIsPutInPlace"
LEFT_OUT+=":LiesInside.LinksAndDotsAreFollowedNewNamesJudgedByTheirSpelling"
LEFT_OUT+=":History.AHistoryLeadingOutOfTheFolderIsRefusedAndTheTakeStays"
LEFT_OUT+=":Say.*"
LEFT_OUT+=":WaveIOTest.AnAsyncOpenRightAfterAStopWaitsForTheCloseEveryTime"

if part units; then
  echo "-- the unit tests"
  shopt -s nullglob
  programs=("$WIN"/tests/test_*.exe)
  [ ${#programs[@]} -gt 0 ] || fail "no test programs in $WIN/tests"
  passed=0 failed=0
  for exe in "${programs[@]}"; do
    name=$(basename "$exe" .exe)
    log=$WIN/tests/$name.wine.log
    start=$(date +%s)
    # A program that hangs is ended (TIMEOUT seconds, 600 by default) and counts as failed.
    timeout -k 10 "${TIMEOUT:-600}" wine "$exe" --gtest_color=no --gtest_filter="-$LEFT_OUT" \
      >"$log" 2>&1 || rc=1
    p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log")
    f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$log")
    passed=$((passed + ${p:-0})) failed=$((failed + ${f:-0}))
    echo "   $name: ${p:-0} passed, ${f:-0} failed in $(($(date +%s) - start)) s"
    [ -n "$p$f" ] || fail "$name ended without a result; see $log"
    [ "${f:-0}" = 0 ] || grep '^\[  FAILED  \]' "$log" | sed 's/^/   /' | sort -u
  done
  echo "windows: $passed passed, $failed failed"
fi

# Runs one build's command line in folder DIR: BUILD (lin or win), DIR, arguments. Its exit
# code, then what it said (the folder's own path as <folder>), go to DIR.out.
run_in() {
  local build=$1 dir=$2 shown code=0
  shift 2
  if [ "$build" = lin ]; then
    (cd "$dir" && "$LINUX_CLI" "$@" --folder .) >"$dir.said" 2>&1 || code=$?
    shown=$(cd "$dir" && pwd)/
  else
    (cd "$dir" && wine "$CLI" "$@" --folder .) >"$dir.said" 2>&1 || code=$?
    shown=$(winepath -w "$dir" 2>/dev/null | tr '\\' /)/
  fi
  { echo "exit $code"; sed "s|$shown|<folder>/|g" "$dir.said"; } >"$dir.out"
}

# The INI of folder DIR as both builds must have written it: an imported source's origin
# names where the source lay (in the folder, whose path differs) and when it last changed
# (the copies were made at different times), so those two are left out.
origins() {  # DIR, DIR as that build writes it
  sed -e "s#|$2/#|<folder>/#" -e 's#^\([^=]*=file|[0-9]*|\)-\{0,1\}[0-9]*|#\1<time>|#' \
    "$1/ZelvorSound.ini"
}

# The same command in copies of one folder, then everything compared.
same() {  # what, arguments...
  local what=$1
  shift
  run_in lin "$WORK/lin" "$@"
  run_in win "$WORK/win" "$@"
  if ! cmp -s "$WORK/lin.out" "$WORK/win.out"; then
    fail "$what: the two builds end or speak differently"
    diff "$WORK/lin.out" "$WORK/win.out" | head -n 10 | sed 's/^/     /' || true
  elif ! diff -r -x ZelvorSound.ini "$WORK/lin" "$WORK/win" >"$WORK/diff" 2>&1 ||
    ! diff <(origins "$WORK/lin" "$WORK/lin") \
      <(origins "$WORK/win" "$(winepath -w "$WORK/win" 2>/dev/null | tr '\\' /)") \
      >>"$WORK/diff" 2>&1; then
    fail "$what: the files differ"
    head -n 10 "$WORK/diff" | sed 's/^/     /' || true
  else
    echo "   $what: the same ($(head -n 1 "$WORK/lin.out"))"
  fi
}

# --- 2. the command line on both builds
if part cli; then
  echo "-- the command line: the Windows build against the Linux build"
  if [ ! -x "$LINUX_CLI" ]; then
    fail "no Linux build at $LINUX_CLI (LINUX_CLI names another)"
  elif ! command -v sox >/dev/null; then
    fail "sox, which makes the sources in other formats, is not installed"
  else
    mkdir -p "$WORK/lin" "$WORK/win"
    export ZELVOR_AUDIO=virtual ZELVOR_VIRTUAL_PACING=fast
    # Sources of every kind the import reads: FLAC, Ogg Vorbis, 16-bit WAV at other rates.
    sox -q -n -r 44100 -c 2 -b 16 "$WORK/tone.flac" synth 1.5 sine 440 gain -6
    sox -q -n -r 22050 -c 1 "$WORK/sweep.ogg" synth 1.2 sine 300-3000 gain -3
    sox -q -n -r 48000 -c 2 -b 16 "$WORK/chord.wav" synth 1 sine 330 sine 550 gain -9
    for d in lin win; do
      mkdir -p "$WORK/$d/sources"
      cp "$WORK/tone.flac" "$WORK/sweep.ogg" "$WORK/chord.wav" "$WORK/$d/sources/"
    done
    same "demo" demo
    same "build" build
    same "build with the optimal coder" build --coder optimal
    same "list" list Sounds.zvd
    same "test (the virtual device)" test Sounds.zvd
    same "convert" convert demo/sweep-44k.wav
    same "decode" decode demo/pulses-44k.vox -o pulses.wav
    same "extract" extract Sounds.zvd 3 slot3.wav
    same "loopback" loopback demo/twotone-8k.wav
    same "import FLAC" import sources/tone.flac --slot 10
    same "import Ogg Vorbis" import sources/sweep.ogg --slot 11 --name Glide
    same "import 48 kHz stereo WAV" import sources/chord.wav --slot 12
    same "take" take demo/beep-8k.wav
    for d in lin win; do
      printf 'slot,name,source\n30,Tone again,tone.flac\n31,Chord again,chord.wav\n' \
        >"$WORK/$d/sources/list.csv"
    done
    same "prompts from a list of sources" prompts sources/list.csv
    same "prompts again: every take left as it is" prompts sources/list.csv
    same "build after the imports" build
    # No speech engine in this build: say says so and writes nothing.
    run_in win "$WORK/win" say "Hello" --slot 40
    [ "$(head -n 1 "$WORK/win.out")" = "exit 2" ] &&
      grep -q "no speech engine is available in this build" "$WORK/win.out" ||
      fail "say: $(cat "$WORK/win.out")"
    export ZELVOR_VIRTUAL_CAPTURE=$WORK/chord.wav
    same "record (the virtual device)" record rec.wav --seconds 1
    same "play (the virtual device)" play rec.wav
    unset ZELVOR_VIRTUAL_CAPTURE
    # The INI in UTF-16 with its byte-order mark, written by each build in turn and read by
    # the other: a slot named by Windows is built by Linux and the other way round.
    { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$WORK/lin/ZelvorSound.ini"; } >"$WORK/utf16.ini"
    for d in lin win; do cp "$WORK/utf16.ini" "$WORK/$d/ZelvorSound.ini"; done
    run_in win "$WORK/win" import sources/chord.wav --slot 20 --name "Grüße"
    grep -q "^exit 0" "$WORK/win.out" || fail "import into the UTF-16 INI: $(cat "$WORK/win.out")"
    cp "$WORK/win/ZelvorSound.ini" "$WORK/lin/"
    cp "$WORK/win/Grüße.WAV" "$WORK/win/Grüße.vox" "$WORK/lin/"
    run_in lin "$WORK/lin" import sources/tone.flac --slot 21 --name "Ünïcödé"
    grep -q "^exit 0" "$WORK/lin.out" || fail "import into the UTF-16 INI: $(cat "$WORK/lin.out")"
    cp "$WORK/lin/ZelvorSound.ini" "$WORK/lin/Ünïcödé.WAV" "$WORK/lin/Ünïcödé.vox" "$WORK/win/"
    same "build from the UTF-16 INI each build wrote into" build
    grep -q "Ünïcödé" "$WORK/win.out" && grep -q "Grüße" "$WORK/win.out" ||
      fail "the build did not read the slots each build wrote"
    [ "$(head -c 2 "$WORK/win/ZelvorSound.ini" | od -An -tx1 | tr -d ' ')" = fffe ] ||
      fail "the INI lost its UTF-16 byte-order mark"
    unset ZELVOR_AUDIO ZELVOR_VIRTUAL_PACING
  fi
fi

# --- 3. sound through wine's wave devices and a sound server
if part sound; then
  echo "-- sound through wine's wave devices"
  server=0
  said=$(scripts/sound-server.sh "$WORK/server") || server=$?
  eval "$(echo "$said" | sed 's/^/export /')"
  if [ "$server" = 77 ]; then
    fail "no sound server to test with (scripts/setup.sh --tests installs pulseaudio)"
  elif [ "$server" != 0 ]; then
    fail "the sound server did not start"
  else
    # Wine records in real time from a sink's monitor (its tone source it reads far slower
    # than real time): what is recorded is what is played.
    pactl set-default-source zs_speaker.monitor
    mkdir -p "$WORK/sound"
    sox -q -n -r 8000 -c 1 -b 8 -e unsigned "$WORK/sound/tone.wav" synth 1 sine 500
    (cd "$WORK/sound" && wine "$CLI" devices) >"$WORK/devices" 2>&1 ||
      fail "devices: $(head -n 3 "$WORK/devices")"
    grep -q "^Sound driver: winmm" "$WORK/devices" || fail "devices: not the system's driver"
    (cd "$WORK/sound" && wine "$CLI" record silence.wav --seconds 2 --raw --folder .) \
      >"$WORK/record" 2>&1 || fail "record: $(tail -n 2 "$WORK/record")"
    size=$(stat -c %s "$WORK/sound/silence.wav" 2>/dev/null || echo 0)
    [ "$size" = $((46 + 16000)) ] || fail "record: $size bytes, not a 46-byte header and 16000"
    # Heard: a recording runs while a second of a tone plays into the sink it listens to.
    (cd "$WORK/sound" && wine "$CLI" record heard.wav --seconds 4 --raw --folder .) \
      >"$WORK/heard" 2>&1 &
    heard=$!
    # The tone starts once the recording runs: half a second of it is in the file it grows
    # under a name of its own until it ends.
    for _ in $(seq 200); do
      [ "$(stat -c %s "$WORK/sound/heard (unfinished recording).wav" 2>/dev/null || echo 0)" \
        -gt 4046 ] && break
      sleep 0.1
    done
    (cd "$WORK/sound" && wine "$CLI" play tone.wav --folder .) >"$WORK/play" 2>&1 ||
      fail "play: $(tail -n 2 "$WORK/play")"
    grep -q "^played .*, 1.00 s)" "$WORK/play" || fail "play: $(head -n 2 "$WORK/play")"
    wait "$heard" || fail "the recording beside the playback: $(tail -n 2 "$WORK/heard")"
    size=$(stat -c %s "$WORK/sound/heard.wav" 2>/dev/null || echo 0)
    [ "$size" = $((46 + 32000)) ] || fail "record: $size bytes, not a 46-byte header and 32000"
    # Silence is 0x80 in the 8-bit take: what is far from it is the tone, heard.
    loud=$(tail -c +47 "$WORK/sound/heard.wav" | od -An -v -tu1 | tr -s ' ' '\n' |
           awk '$1 != "" && ($1 < 112 || $1 > 144) {n++} END {print n + 0}')
    [ "$loud" -gt 4000 ] || fail "the playback was not heard ($loud loud samples)"
    echo "   recorded 2 s and 4 s; $loud of the tone's 8000 samples heard loud"
    kill "$SOUND_SERVER_PID" 2>/dev/null || true
  fi
fi

# --- 4. the installer, as a user would use it
if part installer; then
  echo "-- the installer"
  setup=$(ls "$WIN"/ZelvorSound-*-setup.exe 2>/dev/null | head -n 1)
  profile=$(winepath -u "$(wine cmd /c echo %USERPROFILE% 2>/dev/null | tr -d '\r')")
  programs=$(winepath -u "$(wine cmd /c echo %ProgramW6432% 2>/dev/null | tr -d '\r')")
  if [ -z "$setup" ]; then
    fail "no installer in $WIN (scripts/build-windows.sh makes it)"
  else
    rm -rf "$profile/ZelvorSound"
    wine "$setup" /S /PATH && wineserver -w
    [ -f "$programs/ZelvorSound/zelvorsound-cli.exe" ] || fail "nothing installed in $programs"
    wine reg query 'HKCU\Environment' /v Path 2>/dev/null | grep -qi 'ZelvorSound' ||
      fail "the PATH entry is missing"
    # A new console: the command found on the PATH, the user's folder seeded on first use.
    (cd "$WORK" && wine cmd /c "zelvorsound-cli build") >"$WORK/installed" 2>&1 ||
      fail "the installed command: $(tail -n 3 "$WORK/installed")"
    [ -f "$profile/ZelvorSound/Sounds.zvd" ] || fail "no Sounds.zvd in $profile/ZelvorSound"
    wine "$programs/ZelvorSound/uninstall.exe" /S && wineserver -w
    sleep 1 && wineserver -w  # the uninstaller runs on from a copy of itself
    [ ! -e "$programs/ZelvorSound" ] || fail "the uninstall left $programs/ZelvorSound"
    wine reg query 'HKCU\Environment' /v Path 2>/dev/null | grep -qi 'ZelvorSound' &&
      fail "the uninstall left the PATH entry"
    [ -f "$profile/ZelvorSound/Sounds.zvd" ] || fail "the uninstall took the user's folder"
    echo "   installed, used from a new console, uninstalled; the user's folder stays"
  fi
  # The portable copy works in the folder it is unpacked into, and nowhere else.
  zip=$(ls "$WIN"/ZelvorSound-*-portable.zip 2>/dev/null | head -n 1)
  if [ -z "$zip" ]; then
    fail "no portable zip in $WIN (scripts/build-windows.sh makes it)"
  else
    rm -rf "$profile/ZelvorSound"
    mkdir "$WORK/unpacked"
    unzip -q "$zip" -d "$WORK/unpacked"
    portable=$(ls -d "$WORK/unpacked"/ZelvorSound-*)
    (cd "$portable" && wine ./zelvorsound-cli.exe build) >"$WORK/portable" 2>&1 ||
      fail "the portable copy: $(tail -n 3 "$WORK/portable")"
    [ -s "$portable/Sounds.zvd" ] || fail "the portable copy built no Sounds.zvd beside itself"
    [ ! -e "$profile/ZelvorSound" ] || fail "the portable copy made $profile/ZelvorSound"
    echo "   the portable zip: unpacked, built $(stat -c %s "$portable/Sounds.zvd") bytes in its folder"
  fi
fi
wineserver -w
exit $rc
