#!/usr/bin/env bash
# The real program on an X server of its own (run it under with-xvfb.sh):
# a desktop's close request for the checker window, and a termination
# signal, end the program whatever window or box is up over it: the
# settings window, the ping result, a message box over the checker, and one
# over the settings window. Without a window manager the request is sent as
# one sends it (WM_DELETE_WINDOW); with openbox, when it is there, through
# the window manager (wmctrl -c).
# Usage: with-xvfb.sh closerequests.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
request_close=$(dirname "$(realpath "$0")")/../common/request-close.py
work=$(mktemp -d)
app_pid=
wm_pid=
cleanup() {
  if [[ -n "$app_pid" ]]; then kill -KILL "$app_pid" 2>/dev/null || true; fi
  if [[ -n "$wm_pid" ]]; then kill "$wm_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ -n "${DISPLAY:-}" ]] || fail "no X server: run it under with-xvfb.sh"

mkdir "$work/conf"
folder=$(cd "$work/conf" && pwd -P)
user_file="$work/conf/$(id -un | tr '[:lower:]' '[:upper:]').INI"
# A port nobody listens on: the check fails at once with an error box.
closed_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# The id of a visible window whose name matches the pattern $1 (and sized
# $2, if given), waiting up to 10 s for it.
find_window() {
  local id
  for _ in $(seq 100); do
    for id in $(xdotool search --onlyvisible --name "$1" 2>/dev/null || true); do
      if [[ -z "${2:-}" ]] || xdotool getwindowgeometry "$id" | grep -q "Geometry: $2\$"; then
        echo "$id"
        return 0
      fi
    done
    kill -0 "$app_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

start() {
  : >"$work/conf/KORVELIN.INI"
  # The ping's host is refused before any name is looked up: "Finner ikke" at once.
  printf '[Pop3]\nServerName=-x\nServerPort=%s\n' "$closed_port" >"$user_file"
  (cd "$work/conf" && exec "$program") 2>"$work/stderr" &
  app_pid=$!
  checker=$(find_window '^Korvelin INBOX sjekker$') || fail "$case: no checker window"
  # The window has taken its place before the pointer goes there.
  sleep 0.3
}

open_settings() {
  local settings
  xdotool mousemove 318 277 click 3
  settings=$(find_window '^Epost oppsett$') || fail "$case: the blue bar opened no settings window"
  # Keys go to it once it has the keyboard.
  for _ in $(seq 100); do [[ "$(xdotool getwindowfocus 2>/dev/null)" == "$settings" ]] && break; sleep 0.1; done
  [[ "$(xdotool getwindowfocus 2>/dev/null)" == "$settings" ]] || fail "$case: the settings window has no keyboard"
}

# Brings up the modal state of the case.
bring_up() {
  case $1 in
    settings)
      open_settings ;;
    ping)
      open_settings
      # From the OK button to the tabs, back to "Motta", on to "ping".
      xdotool key Tab Left Left Tab Tab Tab Tab space
      find_window '.*' 235x37 >/dev/null || fail "$case: no ping result" ;;
    check-error)
      # The check against the closed port fails: the error box is up.
      sed -i 's/^ServerName=.*/ServerName=127.0.0.1/' "$user_file"
      xdotool mousemove 318 289 click 1
      find_window '^Korvelin$' >/dev/null || fail "$case: no error box for the failed check" ;;
    save-error)
      open_settings
      # OK with no room to write: the save fails and its error box is up.
      prlimit --pid "$app_pid" --fsize=4:unlimited
      xdotool key Return
      find_window '^Korvelin$' >/dev/null || fail "$case: no error box for the failed save"
      prlimit --pid "$app_pid" --fsize=unlimited ;;
  esac
}

# Sets status to the program's exit status; gives it 10 s to end.
wait_exit() {
  for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$app_pid" 2>/dev/null && fail "$case: the program did not end"
  status=0
  wait "$app_pid" || status=$?
  app_pid=
  [[ "$status" == 0 ]] || fail "$case: exit status $status; it said: $(cat "$work/stderr")"
  grep -qxF "etc_folder=$folder/" "$work/conf/KORVELIN.INI" || fail "$case: KORVELIN.INI lost its folder record"
}

run_cases() {
  local how=$1 state
  for state in settings ping check-error save-error; do
    case="$state, $how"
    start
    bring_up "$state"
    case $how in
      request) /usr/bin/python3 "$request_close" "$checker" ;;
      wmctrl) wmctrl -i -c "$checker" ;;
      TERM | INT | HUP) kill -"$how" "$app_pid" ;;
    esac
    wait_exit
  done
}

for how in request TERM INT HUP; do
  run_cases "$how"
done

# The same close request, asked for through a window manager.
if command -v openbox >/dev/null && command -v wmctrl >/dev/null; then
  openbox --sm-disable >/dev/null 2>&1 &
  wm_pid=$!
  for _ in $(seq 100); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.1; done
  wmctrl -m >/dev/null 2>&1 || fail "openbox did not start"
  run_cases wmctrl
else
  echo "openbox or wmctrl missing: the window manager's close request was not tried"
fi
echo "close request test passed"
