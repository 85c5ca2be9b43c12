# Sourced by the window tests: starts a private X display with a window manager, and helpers to find
# and look at windows. Everything started here ends with the calling script.
set -euo pipefail

xvfb_work=$(mktemp -d)
xvfb_pids=()
xvfb_cleanup() {
  for p in "${xvfb_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$xvfb_work"
}
trap xvfb_cleanup EXIT

# A fresh user: no settings stored yet.
export HOME=$xvfb_work/home XDG_CONFIG_HOME=$xvfb_work/home/.config XDG_CACHE_HOME=$xvfb_work/home/.cache
mkdir -p "$XDG_CONFIG_HOME"
unset XDG_RUNTIME_DIR QT_QPA_PLATFORM
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}

for n in $(seq 0 20); do
  display=$((100 + (RANDOM % 400)))
  [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] || break
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$xvfb_work/xvfb.log" 2>&1 &
xvfb_pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
openbox --sm-disable >"$xvfb_work/openbox.log" 2>&1 &
xvfb_pids+=($!)
# The window manager is ready once it has announced itself on the root window; a window mapped before
# that is taken over later and may never be exposed.
for _ in $(seq 200); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.05
done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' || { echo "openbox did not start" >&2; exit 1; }

# Prints the id of the first visible window whose title matches the regular expression $1.
wait_window() {
  local id
  for _ in $(seq 200); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.05
  done
  echo "no window named '$1'" >&2
  return 1
}

# Prints the colour of pixel ($2, $3) of image $1 as "r,g,b".
pixel() {
  convert "$1" -format "%[fx:int(255*p{$2,$3}.r)],%[fx:int(255*p{$2,$3}.g)],%[fx:int(255*p{$2,$3}.b)]" info:
}

# Fails the test with a message.
fail() { echo "FAIL: $*" >&2; exit 1; }
