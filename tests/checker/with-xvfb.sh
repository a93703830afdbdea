#!/usr/bin/env bash
# Runs a command on an X server of its own (Xvfb, no window manager), so that
# what the program shows is on a real screen and input goes through X.
# Usage: with-xvfb.sh COMMAND [ARGS...]
set -euo pipefail
dir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$dir/display" 2>/dev/null &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
for _ in $(seq 100); do [[ -s "$dir/display" ]] && break; sleep 0.1; done
[[ -s "$dir/display" ]] || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$dir/display")"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
status=0
"$@" || status=$?
exit "$status"
