#!/usr/bin/env bash
# Runs a Qt test program in real X windows: a private Xvfb display with openbox, Qt's xcb platform.
# Usage: x11_test.sh <test program> [arguments]
source "$(dirname "$0")/../support/xvfb-session.sh"

# The window manager is ready once it has announced itself on the root window; a window mapped before
# that is taken over later and may never be exposed.
for _ in $(seq 200); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.05
done
xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id' || fail "openbox did not start"

export QT_QPA_PLATFORM=xcb
"$@"
