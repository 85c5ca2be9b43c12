#!/usr/bin/env bash
# A first start of the real program in a real X window, driven as a user would with xdotool: the tips
# dialog comes on the main window's corner and its box turns it off, hovering "Stop" turns it dark red, Alt+P with no file
# brings up the message box, Alt+S opens the file dialog, a MIDI file is chosen and shows its title,
# Play animates, Stop shows the still picture, and closing the window ends the program.
# Usage: interaction_test.sh <quillbeat binary> [screenshot folder]
source "$(dirname "$0")/../support/xvfb-session.sh"
bin=$1
shots=${2:-$xvfb_work/shots}
mkdir -p "$shots"

# A format-0 MIDI file whose title is "ループ曲" in Shift_JIS: one note, then two more beats.
music=$HOME/Music
mkdir -p "$music"
song=$music/loop.mid
printf 'MThd\0\0\0\6\0\0\0\1\1\340' >"$song"
printf 'MTrk\0\0\0\36' >>"$song"
printf '\0\377\3\10\203\213\201\133\203\166\213\310' >>"$song"   # track name, 8 bytes
printf '\0\300\0\0\220\74\144\203\140\200\74\0' >>"$song"         # piano, note on, note off a beat later
printf '\207\100\377\57\0' >>"$song"                              # end of track two beats later

# Counts the pixels of image $1 inside the rectangle $2 (WxH+X+Y) that are close to colour $3 (r,g,b).
count_colour() {
  local r g b
  IFS=, read -r r g b <<<"$3"
  convert "$1" -crop "$2" +repage -fx "abs(r*255-$r)<60 && abs(g*255-$g)<60 && abs(b*255-$b)<60 ? 1 : 0" \
    -format '%[fx:int(mean*w*h+0.5)]' info:
}
# Without a window of that id, import would wait for a click to pick one.
shot() { xwininfo -id "$1" >/dev/null 2>&1 && import -window "$1" "$shots/$2.png"; }
# Whether more than $5 pixels of the rectangle $3 of a new screenshot $2 of window $1 are close to
# colour $4; the count is left in $seen. Fails the test at once when the program has ended.
seen=0
shows_colour() {
  if ! running "$pid"; then
    local status=0
    wait "$pid" || status=$?
    fail "the program ended with status $status"
  fi
  seen=0
  shot "$1" "$2" || return 1
  seen=$(count_colour "$shots/$2.png" "$3" "$4")
  [ "$seen" -gt "$5" ]
}
visible_named() { xdotool search --onlyvisible --name "$1" 2>/dev/null | wc -l; }
windows_named() { [ "$(visible_named "$1")" -eq "$2" ]; }
is_active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]; }
other_window() { xdotool search --onlyvisible --name '.' 2>/dev/null | grep -v -x -e "$1" | head -n 1 || true; }
has_other_window() { [ -n "$(other_window "$1")" ]; }
caption_is() { [ "$(xdotool getwindowname "$1")" = "$2" ]; }
running() { kill -0 "$1" 2>/dev/null; }
ended() { ! running "$1"; }

"$bin" &
pid=$!
xvfb_pids+=($pid)

# First start: the main window where the window manager puts it, then the tips dialog with its outer
# corner on the main window's (tips_corner_test.sh tries other frames). Its white tip box shows once
# it is painted.
main=$(wait_window '^Quillbeat$')
tip=$(wait_window '^Quillbeat Tips$')
wait_until 30 shows_colour "$tip" tips 249x85+8+8 255,255,255 15000 || fail "the tips dialog is not painted ($seen white pixels)"
tip_corner= main_corner=
corners_meet() {
  tip_corner=$(outer_corner "$tip") && main_corner=$(outer_corner "$main") && [ "$tip_corner" = "$main_corner" ]
}
wait_until 10 corners_meet || fail "the tips' outer corner is at $tip_corner, the main window's at $main_corner"
# Alt+S ticks the box after a short press animation: wait for the tick mark before closing.
xdotool windowactivate --sync "$tip" key --clearmodifiers alt+s
wait_until 30 shows_colour "$tip" ticked 20x21+2+96 0,0,0 5 || fail "Alt+S did not tick the box ($seen dark pixels)"
xdotool key --clearmodifiers Return
wait_until 30 windows_named '^Quillbeat Tips$' 0 || fail "the tips did not close"
grep -q '^Start=none' "$XDG_CONFIG_HOME/Quillbeat/Quillbeat.ini" || fail "the ticked box did not store Start=none"
echo "ok: main window placed by the window manager, tips on its corner ($tip_corner), its box stored Start=none"
wait_until 30 shows_colour "$main" start 20x20+140+50 148,226,148 300 || fail "the main window is not painted"

# Hovering "Stop" highlights it in dark red.
xdotool windowactivate --sync "$main" mousemove --window "$main" 110 16
wait_until 30 shows_colour "$main" hover 33x13+102+10 200,0,0 5 || fail "Stop is not dark red under the pointer ($seen red pixels)"
xdotool mousemove --window "$main" 60 120
echo "ok: hovering Stop turns it dark red ($seen pixels)"

# Alt+P with no file: the message box, which takes the keyboard.
xdotool windowactivate --sync "$main" key --clearmodifiers alt+p
wait_until 30 windows_named '^Quillbeat$' 2 || fail "no message box after Alt+P"
box=$(xdotool search --onlyvisible --name '^Quillbeat$' | grep -v -x -e "$main" | head -n 1)
wait_until 30 is_active "$box" || fail "the message box does not have the keyboard"
xdotool key --clearmodifiers Return
wait_until 30 windows_named '^Quillbeat$' 1 || fail "the message box did not close"
echo "ok: Alt+P with no file shows the message box"

# Alt+S: the file dialog; once it has the keyboard, type the file's path and confirm.
xdotool windowactivate --sync "$main" key --clearmodifiers alt+s
wait_until 30 has_other_window "$main" || fail "no file dialog after Alt+S"
dialog=$(other_window "$main")
wait_until 30 is_active "$dialog" || fail "the file dialog does not have the keyboard"
xdotool windowactivate --sync "$dialog" type --delay 5 "$song"
xdotool key --clearmodifiers Return
wait_until 30 caption_is "$main" "ループ曲" || fail "caption is '$(xdotool getwindowname "$main")', not the MIDI title"
echo "ok: Alt+S, a MIDI file chosen, its title is the caption"

# Play: the animation runs in the box (blue "Playing").
xdotool mousemove --window "$main" 39 18 click 1
wait_until 30 shows_colour "$main" playing 64x32+138+92 0,0,255 20 || fail "no Playing animation ($seen blue pixels)"
echo "ok: Play animates ($seen blue pixels)"
xdotool mousemove --window "$main" 60 120

# Stop: the still picture (red "Stopping").
xdotool mousemove --window "$main" 115 18 click 1
wait_until 30 shows_colour "$main" stopped 64x32+138+92 255,0,0 20 || fail "no Stopping picture ($seen red pixels)"
echo "ok: Stop shows the still picture ($seen red pixels)"

# A later start the desktop launched (with a startup id) asks for the window: the window takes the
# launch's id, so the desktop can complete the launch, and the later start ends at once.
DESKTOP_STARTUP_ID=quillbeat-interaction_TIME0 timeout 20 "$bin" || fail "the later start ended with $?"
startup_id_is() { xprop -id "$main" _NET_STARTUP_ID 2>/dev/null | grep -q '"quillbeat-interaction_TIME0"'; }
wait_until 10 startup_id_is || fail "the window did not take the launch's id: $(xprop -id "$main" _NET_STARTUP_ID)"
echo "ok: a later start's launch is answered by the running window"

close_window "$main" "$pid" || fail "the program did not end after its window was closed"
wait "$pid" || fail "the program ended with status $?"
echo "PASS: first start, hover, message box, Select, Play, Stop and close work in a real window"
