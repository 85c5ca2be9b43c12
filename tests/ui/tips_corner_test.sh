#!/usr/bin/env bash
# The tips dialog at a first start of the real program has its outer corner on the main window's outer
# corner, whatever frames the window manager draws: openbox's usual theme, a theme of our own with a
# thick border and a tall title bar, and that theme with dialogs left without a title bar, so that the
# two windows' frames differ. Usage: tips_corner_test.sh <quillbeat binary>
source "$(dirname "$0")/../support/xvfb-session.sh"
bin=$1

# A theme with the usual look but other sizes: later lines of a themerc win.
make_theme() {
  mkdir -p "$HOME/.themes/$1/openbox-3"
  { cat /usr/share/themes/Clearlooks/openbox-3/themerc
    printf 'border.width: 5\npadding.width: 6\npadding.height: 9\n'
    printf 'window.client.padding.width: 3\nwindow.client.padding.height: 4\n'
  } >"$HOME/.themes/$1/openbox-3/themerc"
}
theme_is() { xprop -root _OB_THEME 2>/dev/null | grep -q "= \"$1\""; }

# Replaces the running openbox by one with theme $1, dialogs undecorated when $2 is "bare".
start_window_manager() {
  local rc="$xvfb_work/rc-$1.xml"
  make_theme "$1"
  sed "s|<name>Clearlooks</name>|<name>$1</name>|" /etc/xdg/openbox/rc.xml >"$rc"
  if [ "$2" = bare ]; then
    sed -i 's|</applications>|<application type="dialog"><decor>no</decor></application></applications>|' "$rc"
  fi
  openbox --replace --sm-disable --config-file "$rc" >>"$xvfb_work/openbox.log" 2>&1 &
  xvfb_pids+=($!)
  wait_until 30 theme_is "$1" || fail "openbox did not take the theme $1: $(cat "$xvfb_work/openbox.log")"
}

tips_closed() { [ -z "$(first_window '^Quillbeat Tips$')" ]; }
main_corner= tip_corner=
corners_meet() {
  tip_corner=$(outer_corner "$tip") && main_corner=$(outer_corner "$main") && [ "$tip_corner" = "$main_corner" ]
}

seen_frames=()
for frames in usual thick thick-bare-dialogs; do
  case $frames in
    thick) start_window_manager QbThick framed ;;
    thick-bare-dialogs) start_window_manager QbThickBare bare ;;
  esac
  rm -f "$XDG_CONFIG_HOME/Quillbeat/Quillbeat.ini" # a first start, with the tips
  "$bin" &
  pid=$!
  xvfb_pids+=($pid)
  main=$(wait_window '^Quillbeat$')
  tip=$(wait_window '^Quillbeat Tips$')
  wait_until 10 corners_meet ||
    fail "$frames frames: the tips' outer corner is at $tip_corner, the main window's at $main_corner" \
      "(frames $(frame_extents "$tip") and $(frame_extents "$main"))"
  echo "ok: $frames frames (main window $(frame_extents "$main"), tips $(frame_extents "$tip")):" \
    "both outer corners at $main_corner"
  seen_frames+=("$(frame_extents "$main")/$(frame_extents "$tip")")
  xdotool windowactivate --sync "$tip" key --clearmodifiers Escape
  wait_until 30 tips_closed || fail "the tips did not close"
  close_window "$main" "$pid" || fail "the program did not end after its window was closed"
  wait "$pid" || fail "the program ended with status $?"
done
# Three different pairs of frames, or the test proved less than it says.
[ "$(printf '%s\n' "${seen_frames[@]}" | sort -u | wc -l)" -eq 3 ] || fail "the frames did not differ: ${seen_frames[*]}"
echo "PASS: the tips' outer corner is on the main window's with three kinds of frame"
