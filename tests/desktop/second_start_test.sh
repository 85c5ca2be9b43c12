#!/usr/bin/env bash
# The real program, started twice and more, on a private D-Bus session: a second start hands its file
# to the running window and ends, a start without a file raises it, a malformed request is dropped,
# a socket left by a killed window is replaced, another user cannot connect, and the media controls
# (MPRIS) do what the commands do. Usage: second_start_test.sh <quillbeat binary>
set -euo pipefail
bin=$1
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.log; do echo "--- $f" >&2; cat "$f" >&2; done
  exit 1
}

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
export XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy QT_LOGGING_RULES='qt.qpa.*=false'
mkdir -p "$XDG_CONFIG_HOME/Quillbeat" "$XDG_CACHE_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"
printf '[Settings]\nStart=none\n' >"$XDG_CONFIG_HOME/Quillbeat/Quillbeat.ini"

dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$work/bus" 4>"$work/buspid"
pids+=("$(cat "$work/buspid")")
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus")

python3 - "$work" <<'PY'
import sys, wave, struct, math
for name in ("a", "b", "c"):
    with wave.open(f"{sys.argv[1]}/{name}.wav", "wb") as w:
        w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100)
        w.writeframes(b"".join(struct.pack("<hh", s, s) for s in
                      (int(3000 * math.sin(2 * math.pi * 440 * i / 44100)) for i in range(44100))))
PY

name=org.mpris.MediaPlayer2.quillbeat
call() { dbus-send --session --print-reply --dest=$name /org/mpris/MediaPlayer2 "$@"; }
prop() { call org.freedesktop.DBus.Properties.Get string:org.mpris.MediaPlayer2.Player "string:$1" 2>/dev/null || true; }
# Polls until the command $2... prints something matching $1, for at most ten seconds.
wait_for() {
  local pattern=$1
  shift
  for _ in $(seq 200); do
    "$@" | grep -q -- "$pattern" && return 0
    sleep 0.05
  done
  return 1
}
owner_pid() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetConnectionUnixProcessID \
    string:$name 2>/dev/null | awk '/uint32/ {print $2}'
}

# The command line is read before any window system: a mistake, or no display to show a window on,
# is said plainly and ends with a status that is not 0, and never with an abort.
ends_with() { # expected status $1, a pattern of its message $2, the command after
  local want=$1 pattern=$2 status=0
  shift 2
  "$@" >"$work/cli.log" 2>&1 || status=$?
  [ "$status" = "$want" ] || fail "$* ended with $status, not $want: $(cat "$work/cli.log")"
  grep -q -- "$pattern" "$work/cli.log" || fail "$* said: $(cat "$work/cli.log")"
}
ends_with 2 "Unknown option 'bogus'" "$bin" --bogus
ends_with 2 "only files on this computer" "$bin" https://example.org/a.mid
ends_with 1 "no display" env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin" "$work/a.wav"
ends_with 1 "the display cannot be opened" env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4242 "$bin" "$work/a.wav"

"$bin" >"$work/first.log" 2>&1 &
first=$!
pids+=($first)
wait_for "$first" owner_pid || fail "the first window never took its D-Bus name"
socket=$XDG_RUNTIME_DIR/quillbeat/session/window
[ -S "$socket" ] || fail "no socket at $socket"
[ "$(stat -c %a "$XDG_RUNTIME_DIR/quillbeat")" = 700 ] || fail "the socket folder is not private"

# A second start with a file and --play: handed over, exit 0.
(cd "$work" && timeout 20 "$bin" --play a.wav >"$work/second.log" 2>&1) || fail "the second start ended with $?"
wait_for "file://$work/a.wav" prop Metadata || fail "the window did not select a.wav: $(prop Metadata)"
wait_for '"Playing"' prop PlaybackStatus || fail "a.wav does not play: $(prop PlaybackStatus)"
kill -0 "$first" || fail "the first window is gone"

# A file:// URI, as a desktop passes one, is the file it names.
timeout 20 "$bin" --play "file://$work/c.wav" >"$work/uri.log" 2>&1 || fail "handing over a file URI ended with $?"
wait_for "file://$work/c.wav" prop Metadata || fail "the window did not select c.wav from its URI"

# Another file without --play while one plays: selected, and it goes on playing.
timeout 20 "$bin" "$work/b.wav" >"$work/third.log" 2>&1 || fail "the third start ended with $?"
wait_for "file://$work/b.wav" prop Metadata || fail "the window did not select b.wav"
wait_for '"Playing"' prop PlaybackStatus || fail "b.wav does not play"

# The media controls: Stop, Play after Stop, PlayPause, Pause acting as Stop. With a file open a
# stopped player is Paused: Play goes on where it stopped.
call org.mpris.MediaPlayer2.Player.Stop >/dev/null
wait_for '"Paused"' prop PlaybackStatus || fail "Stop did not stop"
call org.mpris.MediaPlayer2.Player.Play >/dev/null
wait_for '"Playing"' prop PlaybackStatus || fail "Play did not play"
call org.mpris.MediaPlayer2.Player.PlayPause >/dev/null
wait_for '"Paused"' prop PlaybackStatus || fail "PlayPause while playing did not stop"
call org.mpris.MediaPlayer2.Player.PlayPause >/dev/null
wait_for '"Playing"' prop PlaybackStatus || fail "PlayPause while stopped did not play"
call org.mpris.MediaPlayer2.Player.Pause >/dev/null
wait_for '"Paused"' prop PlaybackStatus || fail "Pause did not stop"
# The length and the place in the file come from the sound service: b.wav lasts one second.
wait_for 'int64 1000000' prop Metadata || fail "no mpris:length of one second: $(prop Metadata)"
call org.mpris.MediaPlayer2.Player.Play >/dev/null
wait_for 'int64 [1-9]' prop Position || fail "the position does not move: $(prop Position)"
call org.mpris.MediaPlayer2.Player.Stop >/dev/null
wait_for '"Paused"' prop PlaybackStatus || fail "Stop did not stop"
# OpenUri: a file: URI plays as a later start's --play FILE would; another URI is refused.
call org.mpris.MediaPlayer2.Player.OpenUri "string:file://$work/a.wav" >/dev/null || fail "OpenUri refused a file"
wait_for "file://$work/a.wav" prop Metadata || fail "OpenUri did not select a.wav"
wait_for '"Playing"' prop PlaybackStatus || fail "OpenUri did not play a.wav"
if call org.mpris.MediaPlayer2.Player.OpenUri string:https://example.org/a.mid >"$work/openuri.log" 2>&1; then
  fail "OpenUri took an https: URI"
fi
grep -q InvalidArgs "$work/openuri.log" || fail "OpenUri of an https: URI: $(cat "$work/openuri.log")"
wait_for '"Track"' prop LoopStatus || fail "LoopStatus is not Track"
wait_for 'boolean false' prop CanSeek || fail "CanSeek is not false"
wait_for 'boolean true' prop CanPause || fail "CanPause is not true"
wait_for 'boolean false' prop CanGoNext || fail "CanGoNext is not false"
call org.mpris.MediaPlayer2.Raise >/dev/null || fail "Raise"

# A start without a file raises the window and ends.
timeout 20 "$bin" >"$work/raise.log" 2>&1 || fail "a start without a file ended with $?"
kill -0 "$first" || fail "the first window is gone after a plain start"
[ "$(owner_pid)" = "$first" ] || fail "the D-Bus name moved"

# Malformed requests are dropped without an answer; the window then still takes a good one.
python3 - "$socket" <<'PY' || fail "a malformed request was answered"
import socket, sys
for junk in (b"hello\n", b"QUILLBEAT-WINDOW/1 open play not-base64!\n", b"QUILLBEAT-WINDOW/1 open play Li4v\n",
             b"\xff" * 9000):
    s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(junk)
    s.settimeout(5)
    try:
        answer = s.recv(16)
    except ConnectionResetError:
        answer = b""
    if answer:
        sys.exit(f"answered {answer!r} to {junk[:40]!r}")
PY
timeout 20 "$bin" --play "$work/c.wav" >"$work/fourth.log" 2>&1 || fail "the start after junk ended with $?"
wait_for "file://$work/c.wav" prop Metadata || fail "the window did not select c.wav after the junk"

# Another user cannot even reach the socket.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  chmod o+x "$work" "$XDG_RUNTIME_DIR" 2>/dev/null || true
  setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 - "$socket" <<'PY' || fail "another user reached the window"
import socket, sys
try:
    socket.socket(socket.AF_UNIX).connect(sys.argv[1])
except PermissionError:
    sys.exit(0)
sys.exit("connected")
PY
  chmod o-x "$work" "$XDG_RUNTIME_DIR"
fi

# A window killed outright leaves its socket; the next start replaces it and becomes the window.
kill -9 "$first"
wait "$first" 2>/dev/null || true
[ -S "$socket" ] || fail "the killed window's socket is gone; nothing stale to test"
(cd "$work" && exec "$bin" --play a.wav >"$work/after-crash.log" 2>&1) &
second=$!
pids+=($second)
wait_for "$second" owner_pid || fail "the start after a crash did not become the window"
wait_for "file://$work/a.wav" prop Metadata || fail "the new window did not select a.wav"
wait_for '"Playing"' prop PlaybackStatus || fail "the new window does not play a.wav"

# A name that is not UTF-8 (Latin-1 "café") arrives with its bytes.
latin1=$(printf 'caf\xe9.wav')
cp "$work/b.wav" "$work/$latin1"
timeout 20 "$bin" --play "$work/$latin1" >"$work/latin1.log" 2>&1 || fail "handing over a Latin-1 name ended with $?"
wait_for "file://$work/caf%E9.wav" prop Metadata || fail "the Latin-1 name was not selected: $(prop Metadata)"
wait_for '"Playing"' prop PlaybackStatus || fail "the Latin-1 name does not play"

# A file opened from the file manager runs the desktop entry's Exec line: the file plays whether a
# window is running or the Exec line starts the first one.
entry=$(dirname "$0")/../../desktop/io.github.quillbeat.Quillbeat.desktop
exec_line=$(sed -n 's/^Exec=//p' "$entry")
[[ $exec_line == "quillbeat "*%f* ]] || fail "unexpected Exec line: $exec_line"
exec_args() { # the Exec line's arguments for file $1, in $args
  local word
  args=()
  for word in ${exec_line#quillbeat }; do
    if [ "$word" = %f ]; then args+=("$1"); else args+=("$word"); fi
  done
}
call org.mpris.MediaPlayer2.Player.Stop >/dev/null
wait_for '"Paused"' prop PlaybackStatus || fail "Stop did not stop"
exec_args "$work/c.wav"
timeout 20 "$bin" "${args[@]}" >"$work/desktop-running.log" 2>&1 || fail "the Exec line to a running window ended with $?"
wait_for "file://$work/c.wav" prop Metadata || fail "the running window did not select c.wav from the desktop"
wait_for '"Playing"' prop PlaybackStatus || fail "c.wav opened from the desktop does not play in the running window"
kill -9 "$second"
wait "$second" 2>/dev/null || true
exec_args "$work/a.wav"
"$bin" "${args[@]}" >"$work/desktop-cold.log" 2>&1 &
cold=$!
pids+=($cold)
wait_for "$cold" owner_pid || fail "the Exec line did not start a window"
wait_for "file://$work/a.wav" prop Metadata || fail "the window started from the desktop did not select a.wav"
wait_for '"Playing"' prop PlaybackStatus || fail "a.wav opened from the desktop does not play at the first start"

# A file that cannot be opened: the start still ends with 0, the window selects nothing.
timeout 20 "$bin" "$work/missing.wav" >"$work/missing.log" 2>&1 || fail "handing over a missing file ended with $?"
wait_for 'NoTrack' prop Metadata || fail "a missing file left a track: $(prop Metadata)"
wait_for '"Stopped"' prop PlaybackStatus || fail "a missing file left the player playing"
kill -0 "$cold" || fail "the window ended after a missing file"

echo "PASS: handed over, raised, junk dropped, stale socket replaced, media controls work, desktop files play"
