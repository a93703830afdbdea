#!/usr/bin/env bash
# Starts the real program on an X server of its own (run it under
# with-xvfb.sh) in a fresh folder holding an empty KORVELIN.INI, checks the
# window on screen, closes it the way a desktop does, and checks what it left
# in the settings file.
# Usage: with-xvfb.sh smoke.sh PROGRAM [SCREENSHOT_DIR]
set -euo pipefail
program=$1
shots=${2:-}
request_close=$(dirname "$0")/../common/request-close.py
work=$(mktemp -d)
app_pid=
cleanup() {
  if [[ -n "$app_pid" ]]; then kill "$app_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source=tests/common/screen.sh
. "$(dirname "$0")/../common/screen.sh"

[[ -n "${DISPLAY:-}" ]] || fail "no X server: run it under with-xvfb.sh"

mkdir "$work/conf"
: >"$work/conf/KORVELIN.INI"
folder=$(cd "$work/conf" && pwd -P)

start() {
  (cd "$work/conf" && exec "$program") &
  app_pid=$!
  window=$(wait_for_window '^Korvelin INBOX sjekker$' 100) || exit 1
}

# Sets status to the program's exit status; gives it 10 s to end.
wait_exit() {
  for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  status=0
  wait "$app_pid" || status=$?
  app_pid=
}

# Without a display the program says so in one line and exits non-zero.
for display in "" ":99999"; do
  status=0
  out=$(cd "$work/conf" && DISPLAY=$display "$program" 2>&1 >/dev/null) || status=$?
  [[ $status -ne 0 && $status -lt 128 ]] || fail "DISPLAY='$display': status $status, want a plain failure"
  [[ $(wc -l <<<"$out") -eq 1 && "$out" == *skjerm* ]] || fail "DISPLAY='$display' said: $out"
done

start
# The window sits at 294,273: the dot's centre, the bar, and the row they share.
for _ in $(seq 50); do [[ "$(pixel 318 289)" == "0,128,0" ]] && break; sleep 0.1; done
[[ "$(pixel 318 289)" == "0,128,0" ]] || fail "no green dot at 318,289 (got $(pixel 318 289))"
[[ "$(pixel 318 277)" == "0,0,255" ]] || fail "no blue bar at 318,277 (got $(pixel 318 277))"
[[ "$(pixel 318 281)" == "0,0,0" ]] || fail "no outline on the shared row 281 (got $(pixel 318 281))"
if [[ -n "$shots" ]]; then
  mkdir -p "$shots"
  import -silent -window root -crop 215x62+294+273 +repage "$shots/checker.png"
fi

# A desktop's close request.
close_window() { /usr/bin/python3 "$request_close" "$1"; }

# A right-button press on the blue bar opens the settings window; closing
# it leaves the checker running.
xdotool mousemove 318 277 click 3
for _ in $(seq 50); do
  # Mapped, not only made: a close request to a window not yet shown is lost.
  setup=$(xdotool search --onlyvisible --name '^Epost oppsett$' 2>/dev/null | head -n1 || true)
  [[ -n "$setup" ]] && break
  sleep 0.1
done
[[ -n "$setup" ]] || fail "the blue bar opened no window named 'Epost oppsett'"
if [[ -n "$shots" ]]; then
  sleep 0.5
  import -silent -window "$setup" "$shots/setup-window.png"
fi
close_window "$setup"
for _ in $(seq 50); do xdotool search --name '^Epost oppsett$' >/dev/null 2>&1 || break; sleep 0.1; done
xdotool search --name '^Epost oppsett$' >/dev/null 2>&1 && fail "the settings window did not close"
kill -0 "$app_pid" 2>/dev/null || fail "closing the settings window ended the program"

close_window "$window"
wait_exit
[[ "$status" == 0 ]] || fail "closing the window ended the program with status $status"
grep -qxF "etc_folder=$folder/" "$work/conf/KORVELIN.INI" ||
  fail "KORVELIN.INI lacks etc_folder=$folder/: $(cat "$work/conf/KORVELIN.INI")"
# The hidden settings window loaded the user's own file at start: it exists.
user_file="$work/conf/$(id -un | tr '[:lower:]' '[:upper:]').INI"
[[ -f "$user_file" ]] || fail "no per-user file $user_file after a start"

# SIGTERM ends it just as cleanly, and the shared file is flushed at exit.
: >"$work/conf/KORVELIN.INI"
start
kill -TERM "$app_pid"
wait_exit
[[ "$status" == 0 ]] || fail "SIGTERM ended the program with status $status"
grep -qxF "etc_folder=$folder/" "$work/conf/KORVELIN.INI" || fail "KORVELIN.INI not flushed after SIGTERM"
echo "smoke test passed"
