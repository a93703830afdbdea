#!/usr/bin/env bash
# The real program at start-up, on an X server of its own (run it under
# with-xvfb.sh): a file-size limit below the shared file's size gives the
# write error box instead of death by SIGXFSZ, and a termination signal that
# arrives while that box is open ends the program with the shutdown flush.
# A settings store that cannot start is said on stderr and, where there is a
# display, in the error box too.
# Usage: with-xvfb.sh startup.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
work=$(mktemp -d)
app_pid=
cleanup() {
  if [[ -n "$app_pid" ]]; then
    kill -KILL "$app_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits up to 10 s for a window whose whole name is $1.
wait_window() {
  for _ in $(seq 100); do
    xdotool search --name "^$1\$" >/dev/null 2>&1 && return 0
    kill -0 "$app_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Sets status to the program's exit status; gives it 10 s to end.
wait_exit() {
  for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  status=0
  kill -0 "$app_pid" 2>/dev/null && return 0
  wait "$app_pid" || status=$?
  app_pid=
}

mkdir "$work/conf"
folder=$(cd "$work/conf" && pwd -P)
for signal in TERM HUP INT; do
  : >"$work/conf/KORVELIN.INI"
  # Only the soft limit, so that the program's own user may lift it later.
  # prlimit becomes the program. Its messages go where the limit does not
  # cut them.
  (cd "$work/conf" && exec prlimit --fsize=4:unlimited "$program") >/dev/null 2>&1 &
  app_pid=$!
  if ! wait_window Korvelin; then
    wait_exit
    fail "SIG$signal: no error box for the write beyond the size limit (exit status $status)"
  fi
  xdotool search --name '^Korvelin INBOX sjekker$' >/dev/null 2>&1 && fail "the checker window came before the box"
  [[ ! -s "$work/conf/KORVELIN.INI" ]] || fail "KORVELIN.INI was written despite the limit"

  # With room again, the signal ends it, and shutdown writes the file.
  prlimit --pid "$app_pid" --fsize=unlimited
  kill -"$signal" "$app_pid"
  wait_exit
  [[ -z "$app_pid" ]] || fail "SIG$signal during the start-up error box did not end the program"
  [[ "$status" == 0 ]] || fail "SIG$signal during the start-up error box: exit status $status"
  grep -qxF "etc_folder=$folder/" "$work/conf/KORVELIN.INI" ||
    fail "SIG$signal: no shutdown flush, KORVELIN.INI holds: $(cat "$work/conf/KORVELIN.INI")"
done
# The folder is recorded in the shared file, one line per value: a folder
# whose name holds a line break stops the settings store at start.
bad="$work/bad"$'\n'"folder"
mkdir "$bad"
: >"$bad/KORVELIN.INI"
(cd "$bad" && exec "$program") >/dev/null 2>"$work/stderr" &
app_pid=$!
wait_window Korvelin || fail "no error box when the settings store cannot start"
xdotool search --name '^Korvelin INBOX sjekker$' >/dev/null 2>&1 && fail "the checker window came after the settings store failed"
xdotool key Return
wait_exit
[[ -z "$app_pid" && "$status" == 1 ]] || fail "the answered box left the program running or with status ${status:-?}"
grep -q "linjeskift" "$work/stderr" || fail "the settings store's error was not on stderr: $(cat "$work/stderr")"
# Without a display only stderr says it, and the status stays 1.
status=0
out=$(cd "$bad" && DISPLAY='' "$program" 2>&1 >/dev/null) || status=$?
[[ "$status" == 1 && "$out" == *linjeskift* ]] || fail "without a display: status $status, said: $out"

echo "start-up test passed"
