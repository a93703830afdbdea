#!/usr/bin/env bash
# Runs a test program on an X server of its own, with no window manager.
# Usage: on-xvfb.sh PROGRAM [ARGS...]
set -euo pipefail
work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
[[ -s "$work/display" ]] || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
status=0
"$@" || status=$?
exit "$status"
