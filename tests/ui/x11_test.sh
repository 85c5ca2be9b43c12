#!/usr/bin/env bash
# Runs a Qt test program in real X windows: a private Xvfb display with openbox, Qt's xcb platform.
# Usage: x11_test.sh <test program> [arguments]
source "$(dirname "$0")/../support/xvfb-session.sh"

export QT_QPA_PLATFORM=xcb
"$@"
