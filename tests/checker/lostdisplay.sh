#!/usr/bin/env bash
# The real program when its display fails it: a termination signal ends it
# with the shutdown flush even while the X server accepts the connection but
# never answers, or stops answering later; and an X server that goes away
# leaves the settings flushed. It starts its own X servers.
# Usage: lostdisplay.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
work=$(mktemp -d)
app_pid=
other_pids=()
cleanup() {
  if [[ -n "$app_pid" ]]; then kill -KILL "$app_pid" 2>/dev/null || true; fi
  for pid in "${other_pids[@]}"; do
    kill -CONT "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

mkdir "$work/conf"
folder=$(cd "$work/conf" && pwd -P)

# Sets status to the program's exit status; gives it 30 s to end (a hung
# display costs it a few seconds of waiting for the event loop).
wait_exit() {
  for _ in $(seq 300); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$app_pid" 2>/dev/null && fail "$case: the program did not end"
  status=0
  wait "$app_pid" || status=$?
  app_pid=
}

flushed() {
  grep -qxF "etc_folder=$folder/" "$work/conf/KORVELIN.INI"
}

# An X server that accepts connections on 127.0.0.1 and never says a word.
/usr/bin/python3 - "$work/port" <<'EOF' &
import socket, sys
s = socket.socket()
for n in range(100, 1000):
    try:
        s.bind(("127.0.0.1", 6000 + n))
        break
    except OSError:
        pass
s.listen(16)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(n))
import os
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
held = []
while True:
    held.append(s.accept()[0])
EOF
other_pids+=($!)
for _ in $(seq 100); do [[ -s "$work/port" ]] && break; sleep 0.1; done
[[ -s "$work/port" ]] || fail "the silent X server did not start"
silent_display="127.0.0.1:$(cat "$work/port")"

for signal in TERM INT HUP; do
  case="SIG$signal with a display that never answers"
  : >"$work/conf/KORVELIN.INI"
  (cd "$work/conf" && DISPLAY=$silent_display exec "$program") 2>/dev/null &
  app_pid=$!
  # It is connected and waiting for the server's greeting.
  for _ in $(seq 100); do
    ss -tnp 2>/dev/null | grep -q "pid=$app_pid," && break
    sleep 0.1
  done
  ss -tnp 2>/dev/null | grep -q "pid=$app_pid," || fail "$case: the program never connected"
  kill -"$signal" "$app_pid"
  wait_exit
  [[ "$status" == 0 ]] || fail "$case: exit status $status"
  flushed || fail "$case: no shutdown flush, KORVELIN.INI holds: $(cat "$work/conf/KORVELIN.INI")"
done

# The same with a Wayland compositor that never answers, where Qt has its
# Wayland platform.
plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || true)
if compgen -G "$plugins/platforms/libqwayland*.so" >/dev/null; then
  case="SIGTERM with a Wayland compositor that never answers"
  mkdir -m 700 "$work/runtime"
  /usr/bin/python3 - "$work/runtime/wayland-silent" <<'EOF' &
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen(16)
held = []
while True:
    held.append(s.accept()[0])
EOF
  other_pids+=($!)
  for _ in $(seq 100); do [[ -S "$work/runtime/wayland-silent" ]] && break; sleep 0.1; done
  : >"$work/conf/KORVELIN.INI"
  (cd "$work/conf" && DISPLAY='' XDG_RUNTIME_DIR="$work/runtime" WAYLAND_DISPLAY=wayland-silent \
    QT_QPA_PLATFORM=wayland exec "$program") 2>/dev/null &
  app_pid=$!
  for _ in $(seq 100); do
    ss -xp 2>/dev/null | grep -q "pid=$app_pid," && break
    sleep 0.1
  done
  ss -xp 2>/dev/null | grep -q "pid=$app_pid," || fail "$case: the program never connected"
  kill -TERM "$app_pid"
  wait_exit
  [[ "$status" == 0 ]] || fail "$case: exit status $status"
  flushed || fail "$case: no shutdown flush"
else
  echo "Qt has no Wayland platform here: the silent compositor was not tried"
fi

# A real X server of our own: its display number, or failure.
start_xvfb() {
  rm -f "$work/display"
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
  xvfb_pid=$!
  other_pids+=("$xvfb_pid")
  for _ in $(seq 100); do
    [[ -s "$work/display" ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  [[ -s "$work/display" ]] || fail "Xvfb did not start"
  DISPLAY=":$(cat "$work/display")"
  export DISPLAY
}

wait_window() {
  for _ in $(seq 100); do
    xdotool search --name "^$1\$" >/dev/null 2>&1 && return 0
    kill -0 "$app_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The X server stops answering while the program runs.
case="SIGTERM after the display stopped answering"
start_xvfb
: >"$work/conf/KORVELIN.INI"
(cd "$work/conf" && exec "$program") 2>/dev/null &
app_pid=$!
wait_window 'Korvelin INBOX sjekker' || fail "$case: no checker window"
kill -STOP "$xvfb_pid"
kill -TERM "$app_pid"
wait_exit
kill -CONT "$xvfb_pid"
[[ "$status" == 0 ]] || fail "$case: exit status $status"
flushed || fail "$case: no shutdown flush"
kill "$xvfb_pid"

# The X server goes away while the folder record is still unwritten: the
# start-up error box for a write beyond the file-size limit is up, then the
# limit is lifted and the server ends.
case="the X server gone"
start_xvfb
: >"$work/conf/KORVELIN.INI"
(cd "$work/conf" && exec prlimit --fsize=4:unlimited "$program") >/dev/null 2>&1 &
app_pid=$!
wait_window Korvelin || fail "$case: no start-up error box"
[[ ! -s "$work/conf/KORVELIN.INI" ]] || fail "$case: KORVELIN.INI was written despite the limit"
prlimit --pid "$app_pid" --fsize=unlimited
kill "$xvfb_pid"
wait_exit
# Qt ends the program with status 1 when its display is gone.
[[ "$status" == 1 ]] || fail "$case: exit status $status"
flushed || fail "$case: no shutdown flush, KORVELIN.INI holds: $(cat "$work/conf/KORVELIN.INI")"
echo "lost display test passed"
