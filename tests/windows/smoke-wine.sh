#!/usr/bin/env bash
# The Windows program under Wine on an X server of its own (run it under
# with-xvfb.sh): started in a fresh folder holding an empty KORVELIN.INI, its
# window checked on screen, the settings window opened from the bar, the
# checker closed the way a desktop closes it, and the settings file checked.
# Usage: with-xvfb.sh smoke-wine.sh WINE_RUN PROGRAM.exe [SCREENSHOT_DIR]
set -euo pipefail
wine_run=$1
program=$2
shots=${3:-}
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
: >"$work/KORVELIN.INI"

# Wine's desktop process keeps the display of the first program it served
# (the tests before, offscreen): this test runs alone (RUN_SERIAL), so the
# prefix's server is ended and comes back with this X server's display.
"$wine_run" --wineserver -k 2>/dev/null || true
"$wine_run" --wineserver -w 2>/dev/null || true
(cd "$work" && exec "$wine_run" --plain "$program") &
app_pid=$!
# A fresh Wine prefix makes its first window slowly.
window=$(wait_for_window '^Korvelin INBOX sjekker$' 900) || exit 1
for _ in $(seq 100); do [[ "$(pixel 318 289)" == "0,128,0" ]] && break; sleep 0.1; done
geometry=$(xdotool getwindowgeometry "$window")
[[ "$geometry" == *"Position: 294,273"* && "$geometry" == *"Geometry: 215x62"* ]] ||
  fail "the window is not at 294,273, 215 x 62: $geometry"
[[ "$(pixel 318 289)" == "0,128,0" ]] || fail "no green dot at 318,289 (got $(pixel 318 289))"
[[ "$(pixel 318 277)" == "0,0,255" ]] || fail "no blue bar at 318,277 (got $(pixel 318 277))"
if [[ -n "$shots" ]]; then
  mkdir -p "$shots"
  import -silent -window root -crop 215x62+294+273 +repage "$shots/checker.png"
fi

# A right-button press on the bar opens the settings window.
xdotool mousemove 318 277 click 3
setup=
for _ in $(seq 100); do
  setup=$(xdotool search --name '^Epost oppsett$' 2>/dev/null | head -n1 || true)
  [[ -n "$setup" ]] && break
  sleep 0.1
done
[[ -n "$setup" ]] || fail "the blue bar opened no window named 'Epost oppsett'"
if [[ -n "$shots" ]]; then
  sleep 1
  import -silent -window "$setup" "$shots/setup-window.png"
fi
/usr/bin/python3 "$request_close" "$setup"
for _ in $(seq 100); do xdotool search --name '^Epost oppsett$' >/dev/null 2>&1 || break; sleep 0.1; done

# A desktop's close request ends it, and the shutdown flush writes the
# folder it found, with its drive letter and Windows' separator.
/usr/bin/python3 "$request_close" "$window"
for _ in $(seq 150); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "the close request did not end the program"
app_pid=
grep -aq '^etc_folder=[A-Z]:\\.*\\\r\?$' "$work/KORVELIN.INI" ||
  fail "KORVELIN.INI lacks etc_folder=<drive>:\\...\\: $(cat "$work/KORVELIN.INI")"
echo "Wine smoke test passed"
