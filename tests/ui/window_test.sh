#!/usr/bin/env bash
# The real program in a real X window: the main window appears with its size and colours and closes
# cleanly. Usage: window_test.sh <quillbeat binary> [screenshot folder]
source "$(dirname "$0")/../support/xvfb-session.sh"
bin=$1
shots=${2:-$xvfb_work}
mkdir -p "$shots"

# The tips dialog is turned off for this run.
mkdir -p "$XDG_CONFIG_HOME/Quillbeat"
printf '[Settings]\nStart=none\n' >"$XDG_CONFIG_HOME/Quillbeat/Quillbeat.ini"

start=$(date +%s%N)
"$bin" &
pid=$!
xvfb_pids+=($pid)
wid=$(wait_window '^Quillbeat$')
echo "main window shown after $((($(date +%s%N) - start) / 1000000)) ms"
# The screenshot is taken once the window is painted: its green panel shows.
painted() {
  import -window "$wid" "$shots/window.png"
  [ "$(pixel "$shots/window.png" 150 58)" = "148,226,148" ]
}
wait_until 30 painted || true

geometry=$(xdotool getwindowgeometry "$wid" | awk '/Geometry/ {print $2}')
[ "$geometry" = "230x141" ] || fail "window is $geometry, not 230x141"
[ "$(pixel "$shots/window.png" 2 138)" = "0,0,0" ] || fail "no black background: $(pixel "$shots/window.png" 2 138)"
[ "$(pixel "$shots/window.png" 150 58)" = "148,226,148" ] || fail "no green panel: $(pixel "$shots/window.png" 150 58)"

close_window "$wid" "$pid" || fail "the program did not end after its window was closed"
wait "$pid" || fail "the program ended with status $?"
echo "PASS: window 230x141, black background, green panel, closed cleanly"
