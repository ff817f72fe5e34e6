#!/usr/bin/env bash
# Starts a private PulseAudio sound server for the tests and the benchmarks, so that ALSA's
# "default" device reaches a real sound server that keeps time, while nothing on the
# machine changes: the server's runtime folder, socket and state, and the ALSA configuration
# that points "default" at it, all lie in DIR. What is played goes into a null sink; what is
# recorded is a 440 Hz tone.
#
#   eval "$(scripts/sound-server.sh DIR)"   # starts it; prints the variables to export
#   ...                                     # ALSA programs given those variables use it
#   kill "$SOUND_SERVER_PID"                # ends it
#
# Prints ALSA_CONFIG_PATH, PULSE_SERVER, PULSE_CLIENTCONFIG, PULSE_COOKIE and
# SOUND_SERVER_PID as NAME=VALUE lines. Exit status: 0 started; 77 pulseaudio or ALSA's pulse plugin is not
# installed (scripts/setup.sh --tests installs them); 1 the server did not start.
set -uo pipefail
DIR=${1:?usage: scripts/sound-server.sh DIR}
command -v pulseaudio >/dev/null 2>&1 || { echo "pulseaudio is not installed" >&2; exit 77; }
command -v pactl >/dev/null 2>&1 || { echo "pactl is not installed" >&2; exit 77; }
plugin=$(ls /usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so 2>/dev/null | head -n1)
[ -n "$plugin" ] || { echo "ALSA's pulse plugin (libasound2-plugins) is not installed" >&2; exit 77; }

mkdir -p "$DIR/run" "$DIR/home"
chmod 700 "$DIR/run"
DIR=$(cd "$DIR" && pwd)
SOCKET=$DIR/native
cat >"$DIR/asound.conf" <<EOF
# ALSA as a desktop sets it up: "default" is the sound server.
pcm.!default {
  type pulse
  hint { show on description "The test's own sound server" }
}
ctl.!default { type pulse }
EOF
# A client never starts a server of its own when this one is gone.
echo "autospawn = no" >"$DIR/client.conf"

# Root is refused a per-user server unless told; the warning about it goes into the log.
HOME=$DIR/home XDG_RUNTIME_DIR=$DIR/run XDG_CONFIG_HOME=$DIR/home XDG_STATE_HOME=$DIR/home \
  pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disable-shm=yes \
  --realtime=no --high-priority=no --log-target=stderr \
  --load="module-null-sink sink_name=zs_speaker" \
  --load="module-sine-source source_name=zs_microphone frequency=440" \
  --load="module-native-protocol-unix auth-anonymous=1 socket=$SOCKET" \
  </dev/null >"$DIR/server.log" 2>&1 &
PID=$!

# The clients keep their cookie in DIR too, not in the user's home.
export PULSE_SERVER=unix:$SOCKET PULSE_CLIENTCONFIG=$DIR/client.conf PULSE_COOKIE=$DIR/cookie
for _ in $(seq 1 100); do
  if pactl info >/dev/null 2>&1; then
    pactl set-default-sink zs_speaker && pactl set-default-source zs_microphone || break
    echo "ALSA_CONFIG_PATH=$DIR/asound.conf"
    echo "PULSE_SERVER=$PULSE_SERVER"
    echo "PULSE_CLIENTCONFIG=$PULSE_CLIENTCONFIG"
    echo "PULSE_COOKIE=$PULSE_COOKIE"
    echo "SOUND_SERVER_PID=$PID"
    exit 0
  fi
  kill -0 "$PID" 2>/dev/null || break
  sleep 0.1
done
kill "$PID" 2>/dev/null
echo "the sound server did not start:" >&2
sed 's/^/  /' "$DIR/server.log" >&2
exit 1
