#!/usr/bin/env bash
# A first start of the real program in a real X window, driven as a user would with xdotool: the tips
# dialog comes first and its box turns it off, hovering "Stop" turns it dark red, Alt+P with no file
# brings up the message box, Alt+S opens the file dialog, a MIDI file is chosen and shows its title,
# Play animates, Stop shows the still picture, and closing the window ends the program.
# Usage: interaction_test.sh <quillbeat binary> [screenshot folder]
source "$(dirname "$0")/../support/xvfb-session.sh"
bin=$1
shots=${2:-$xvfb_work/shots}
mkdir -p "$shots"

# A format-0 MIDI file whose title is "ループ曲" in Shift_JIS: one note, then two more beats.
music=$xvfb_work/music
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
shot() { import -window "$1" "$shots/$2.png"; }

"$bin" &
pid=$!
xvfb_pids+=($pid)

# First start: the tips dialog, and no main window yet.
tip=$(wait_window '^Quillbeat Tips$')
sleep 0.3
shot "$tip" tips
tip_at=$(xdotool getwindowgeometry "$tip" | awk '/Position/ {print $2}')
[ -z "$(xdotool search --onlyvisible --name '^Quillbeat$' 2>/dev/null || true)" ] || fail "main window shown before the tips"
xdotool windowactivate --sync "$tip" key --clearmodifiers alt+s
sleep 0.3
xdotool key --clearmodifiers Return
main=$(wait_window '^Quillbeat$')
main_at=$(xdotool getwindowgeometry "$main" | awk '/Position/ {print $2}')
[ "$tip_at" = "$main_at" ] || fail "tips at $tip_at, main window at $main_at"
grep -q '^Start=none' "$XDG_CONFIG_HOME/Quillbeat/Quillbeat.ini" || fail "the ticked box did not store Start=none"
echo "ok: tips dialog first at the main window's place ($tip_at), its box stored Start=none"
sleep 0.3

# Hovering "Stop" highlights it in dark red.
xdotool windowactivate --sync "$main" mousemove --window "$main" 110 16
sleep 0.3
shot "$main" hover
red=$(count_colour "$shots/hover.png" 33x13+102+10 200,0,0)
[ "$red" -gt 5 ] || fail "Stop is not dark red under the pointer ($red red pixels)"
xdotool mousemove --window "$main" 60 120
echo "ok: hovering Stop turns it dark red ($red pixels)"

# Alt+P with no file: the message box.
xdotool windowactivate --sync "$main" key --clearmodifiers alt+p
for _ in $(seq 100); do
  [ "$(xdotool search --onlyvisible --name '^Quillbeat$' | wc -l)" -ge 2 ] && break
  sleep 0.05
done
[ "$(xdotool search --onlyvisible --name '^Quillbeat$' | wc -l)" -ge 2 ] || fail "no message box after Alt+P"
sleep 0.3
xdotool key --clearmodifiers Return
sleep 0.3
[ "$(xdotool search --onlyvisible --name '^Quillbeat$' | wc -l)" -eq 1 ] || fail "the message box did not close"
echo "ok: Alt+P with no file shows the message box"

# Alt+S: the file dialog; type the file's path and confirm.
xdotool windowactivate --sync "$main" key --clearmodifiers alt+s
dialog=""
for _ in $(seq 100); do
  dialog=$(xdotool search --onlyvisible --name '.' 2>/dev/null | grep -v -x -e "$main" | head -n 1 || true)
  [ -n "$dialog" ] && break
  sleep 0.05
done
[ -n "$dialog" ] || fail "no file dialog after Alt+S"
sleep 0.5
xdotool windowactivate --sync "$dialog" type --delay 5 "$song"
xdotool key --clearmodifiers Return
for _ in $(seq 100); do
  [ "$(xdotool getwindowname "$main")" = "ループ曲" ] && break
  sleep 0.05
done
[ "$(xdotool getwindowname "$main")" = "ループ曲" ] || fail "caption is '$(xdotool getwindowname "$main")', not the MIDI title"
echo "ok: Alt+S, a MIDI file chosen, its title is the caption"

# Play: the animation runs in the box (blue "Playing").
xdotool mousemove --window "$main" 39 18 click 1
sleep 0.9
shot "$main" playing
blue=$(count_colour "$shots/playing.png" 64x32+138+92 0,0,255)
[ "$blue" -gt 20 ] || fail "no Playing animation ($blue blue pixels)"
echo "ok: Play animates ($blue blue pixels)"
xdotool mousemove --window "$main" 60 120

# Stop: the still picture (red "Stopping").
xdotool mousemove --window "$main" 115 18 click 1
sleep 0.3
shot "$main" stopped
red=$(count_colour "$shots/stopped.png" 64x32+138+92 255,0,0)
[ "$red" -gt 20 ] || fail "no Stopping picture ($red red pixels)"
echo "ok: Stop shows the still picture ($red red pixels)"

xdotool windowactivate --sync "$main" key --clearmodifiers alt+F4
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$pid" 2>/dev/null && fail "the program did not end after its window was closed"
wait "$pid" || fail "the program ended with status $?"
echo "PASS: first start, hover, message box, Select, Play, Stop and close work in a real window"
