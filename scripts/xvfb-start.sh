# Sourced by the scripts that check the window under a real X server.
# start_xvfb SCREEN: starts Xvfb on a free display of its own choosing (it writes the number
# to a descriptor when it is ready), sets XVFB_PID and exports DISPLAY; needs WORK. Two
# servers that start at the same moment can both take the same free display, and the one
# that ends first then takes the display's socket away from the other ("could not connect
# to display"), so the scripts start their servers in turn, under a lock.
start_xvfb() {
  local i
  exec 3>"$WORK/display" 4>>"${TMPDIR:-/tmp}/zelvor-xvfb-start.lock"
  flock 4
  Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp >"$WORK/xvfb.log" 2>&1 4>&- &
  XVFB_PID=$!
  exec 3>&-
  for i in $(seq 1 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
  exec 4>&-
  [ -s "$WORK/display" ] || return 1
  export DISPLAY=":$(head -n1 "$WORK/display")"
}
