# Sourced by the window tests: starts a private X display with a window manager, and helpers to find
# and look at windows. Everything started here ends with the calling script.
set -euo pipefail

xvfb_work=$(mktemp -d)
xvfb_pids=()
xvfb_cleanup() {
  for p in "${xvfb_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  # A server still shutting down could hand its display number to the next test's server.
  for p in "${xvfb_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$xvfb_work"
}
trap xvfb_cleanup EXIT

# A fresh user: no settings stored yet. XVFB_HOME names an empty home of one's own instead (the
# pictures in docs/ are taken in /home/you, see scripts/screenshots).
export HOME=${XVFB_HOME:-$xvfb_work/home}
export XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
mkdir -p "$XDG_CONFIG_HOME"
unset XDG_RUNTIME_DIR QT_QPA_PLATFORM
# The private folders (path aliases, the one-window socket) then fall back to TMPDIR: one of its own,
# so that no other run on this machine is reached.
export TMPDIR=$xvfb_work/tmp
mkdir -m 700 -p "$TMPDIR"
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}

# The server picks a free display itself and writes its number once it takes connections. Without
# -noreset it would start afresh whenever its last client leaves (the first probe, for one), and
# refuse whoever connects meanwhile.
Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$xvfb_work/display" >"$xvfb_work/xvfb.log" 2>&1 &
xvfb_pids+=($!)

# Runs the command "$2"... until it succeeds; false once $1 seconds have passed without. The deadlines
# are generous: on a busy machine a condition comes late, but it comes.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

display_number() { cat "$xvfb_work/display" 2>/dev/null || true; }
display_up() { [ -n "$(display_number)" ] && DISPLAY=":$(display_number)" xdpyinfo >/dev/null 2>&1; }
# Openbox claims the screen first and lists the windows it manages last; a window mapped in between
# may never be managed, so the programs start only once the list is there.
window_manager_up() {
  local root
  root=$(xprop -root 2>/dev/null || true)
  [[ "$root" == *"_NET_SUPPORTING_WM_CHECK(WINDOW)"* && "$root" == *"_NET_CLIENT_LIST(WINDOW)"* ]]
}

wait_until 30 display_up || { echo "FAIL: Xvfb did not start: $(cat "$xvfb_work/xvfb.log")" >&2; exit 1; }
DISPLAY=":$(display_number)"
export DISPLAY
openbox --sm-disable >"$xvfb_work/openbox.log" 2>&1 &
xvfb_pids+=($!)
wait_until 30 window_manager_up ||
  { echo "FAIL: the window manager did not start: $(cat "$xvfb_work/openbox.log" "$xvfb_work/xvfb.log")" >&2; exit 1; }

# Prints the id of the first visible window whose title matches the regular expression $1.
first_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true; }
has_window() { [ -n "$(first_window "$1")" ]; }
wait_window() {
  if ! wait_until 30 has_window "$1"; then
    echo "no window named '$1'; named windows:" >&2
    for id in $(xdotool search --name '.' 2>/dev/null || true); do
      echo "  $id '$(xdotool getwindowname "$id")' $(xwininfo -id "$id" | grep 'Map State')" >&2
    done
    return 1
  fi
  first_window "$1"
}

# Prints the frame the window manager put around window $1 as "left right top bottom" (its
# _NET_FRAME_EXTENTS); nothing while it has not said.
frame_extents() {
  xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/^_NET_FRAME_EXTENTS(CARDINAL) = //p' | tr -d ','
}
# Prints the screen position of the outer top-left corner of window $1's frame as "x y": where the
# window's own area is, less the frame's left and top.
outer_corner() {
  local left right top bottom x y
  read -r left right top bottom <<<"$(frame_extents "$1")"
  [ -n "$bottom" ] || return 1
  x=$(xwininfo -id "$1" | awk '/Absolute upper-left X/ {print $4}')
  y=$(xwininfo -id "$1" | awk '/Absolute upper-left Y/ {print $4}')
  echo "$((x - left)) $((y - top))"
}

# Prints the colour of pixel ($2, $3) of image $1 as "r,g,b".
pixel() {
  convert "$1" -format "%[fx:int(255*p{$2,$3}.r)],%[fx:int(255*p{$2,$3}.g)],%[fx:int(255*p{$2,$3}.b)]" info:
}

# Closes window $1 as a user does, with the window manager's Alt+F4, and waits until process $2 has
# ended; false when it is still running after 30 s. A window openbox has only just activated sometimes
# misses the key (2 starts in 50, the program idle in its event loop with its window still up), so
# the key is pressed again every two seconds: a program that does not end on closing still fails.
close_window() {
  local window=$1 pid=$2
  process_ended() { ! kill -0 "$pid" 2>/dev/null; }
  press_close() {
    xdotool windowactivate --sync "$window" key --clearmodifiers alt+F4 2>/dev/null || true
    wait_until 2 process_ended
  }
  wait_until 30 press_close
}

# Fails the test with a message.
fail() { echo "FAIL: $*" >&2; exit 1; }
