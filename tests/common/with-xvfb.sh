#!/usr/bin/env bash
# Runs a command on an X server of its own (Xvfb, 800x600, no window
# manager), so that what a program shows is on a real screen and input goes
# through X. Qt picks its platform as it would on that desktop:
# QT_QPA_PLATFORM and WAYLAND_DISPLAY are unset. The server is stopped when
# the command ends, and the command's exit status is returned.
# Usage: with-xvfb.sh COMMAND [ARGS...]
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Xvfb writes its display number to fd 3 once it accepts clients.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  [[ -s "$work/display" ]] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
[[ -s "$work/display" ]] || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
DISPLAY=":$(cat "$work/display")"
export DISPLAY
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
status=0
"$@" || status=$?
exit "$status"
