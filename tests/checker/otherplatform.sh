#!/usr/bin/env bash
# The real program on a platform other than X11 (Qt's offscreen one, as a
# Wayland-only session would be): it starts, a termination signal ends it
# with status 0, and the shared file holds its folder record.
# Usage: otherplatform.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/KORVELIN.INI"
folder=$(cd "$work" && pwd -P)
(cd "$work" && QT_QPA_PLATFORM=offscreen exec "$program") 2>"$work/stderr" &
pid=$!
sleep 2
kill -0 "$pid" 2>/dev/null || { wait "$pid" || echo "FAIL: ended at start-up with status $?: $(cat "$work/stderr")" >&2; exit 1; }
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[[ "$status" == 0 ]] || { echo "FAIL: exit status $status: $(cat "$work/stderr")" >&2; exit 1; }
grep -qxF "etc_folder=$folder/" "$work/KORVELIN.INI" || { echo "FAIL: no folder record" >&2; exit 1; }
echo "other platform test passed"
