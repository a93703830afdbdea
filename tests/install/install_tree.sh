#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, under a prefix with a space,
# a % and a $ in it, and checks the tree as a desktop and man see it: exactly
# the expected files, a valid menu entry whose Exec line names the installed
# program, valid AppStream metadata, the icon in every size, the manual page.
# Then runs the smoke test against the installed program, on the X server it
# runs on (run it under with-xvfb.sh).
# Usage: with-xvfb.sh install_tree.sh BUILD_DIR SMOKE_TEST
set -euo pipefail
build=$1
smoke=$2
id=no.korvelin.sjekker
sizes=(16 22 24 32 48 64 128 256)
# shellcheck disable=SC2016 # a literal $HOME: the name must survive the menu entry's quoting
prefix='/opt/Mine programmer 100% $HOME'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
app_pid=
# shellcheck source=tests/common/screen.sh
. "$(dirname "$0")/../common/screen.sh"
[[ -n "${DISPLAY:-}" ]] || fail "no X server: run it under with-xvfb.sh"

root="$work/root"
DESTDIR="$root" "${CMAKE:-cmake}" --install "$build" --prefix "$prefix" >/dev/null
top="$root$prefix"

# Exactly these files, nothing from the tests or the benchmarks.
expected=(
  bin/korvelin
  "lib/$(gcc -print-multiarch)/korvelin/korvelin_pop3net.so"
  "share/applications/$id.desktop"
  "share/icons/hicolor/scalable/apps/$id.svg"
  "share/metainfo/$id.metainfo.xml"
  share/man/man1/korvelin.1.gz
  share/doc/korvelin/changelog.gz
  share/doc/korvelin/copyright
)
for s in "${sizes[@]}"; do expected+=("share/icons/hicolor/${s}x${s}/apps/$id.png"); done
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$top" && find . -type f -o -type l | sed 's|^\./||' | sort) ||
  fail "the installed files differ from the expected ones (< expected, > installed)"
find "$root" -mindepth 1 -maxdepth 1 | grep -qvxF "$root/opt" && fail "something was installed outside the prefix"

# The menu entry: valid, found where the menu looks (share/applications of a
# data folder), starting the installed program by its full path, with no
# working folder of its own (the program would pick PREFIX/etc/ as its
# configuration folder) and no terminal.
entry="$top/share/applications/$id.desktop"
desktop-file-validate "$entry" || fail "desktop-file-validate rejected $entry"
grep -qxF 'Name=Korvelin INBOX sjekker' "$entry" || fail "the entry's Name is not 'Korvelin INBOX sjekker'"
grep -qxF 'Categories=Network;Email;' "$entry" || fail "the entry's Categories are not Network;Email;"
grep -q '^Path=' "$entry" && fail "the entry sets a working folder: $(grep '^Path=' "$entry")"
grep -q '^Terminal=' "$entry" && fail "the entry has a Terminal key"
# The Exec line as GLib's launcher reads it: the key file's escapes, then %%
# as a literal %, then the arguments split as the shell would.
program=$(/usr/bin/python3 - "$entry" <<'PY'
import sys
from gi.repository import GLib
entry = GLib.KeyFile()
entry.load_from_file(sys.argv[1], GLib.KeyFileFlags.NONE)
ok, argv = GLib.shell_parse_argv(entry.get_string('Desktop Entry', 'Exec').replace('%%', '%'))
print(argv[0])
PY
)
[[ "$program" == "$prefix/bin/korvelin" ]] || fail "the entry's Exec line starts '$program', not the installed program"

# AppStream metadata: valid, and naming the menu entry installed beside it.
appstreamcli validate-tree --no-net --strict --pedantic "$top" ||
  fail "appstreamcli rejected the metadata in $top/share/metainfo"

# The icon the entry names, where an icon theme looks for it: the SVG, and
# each PNG at its size with the dot green and the bar blue.
grep -qxF "Icon=$id" "$entry" || fail "the entry's icon is not $id"
icons="$top/share/icons/hicolor"
grep -q '<svg' "$icons/scalable/apps/$id.svg" || fail "the scalable icon is no SVG"
colour() { convert "$1" -crop "1x1+$2+$3" -depth 8 txt:- | sed -n '2s/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1,\2,\3/p'; }
for s in "${sizes[@]}"; do
  png="$icons/${s}x${s}/apps/$id.png"
  [[ "$(identify -format '%wx%h' "$png")" == "${s}x${s}" ]] || fail "$png is not ${s}x${s}"
  # The icon is 25 units high: the bar's middle is at 4.5, the dot's at 16.5.
  [[ "$(colour "$png" $((s / 2)) $((s * 45 / 250)))" == "0,0,255" ]] || fail "no blue bar in $png"
  [[ "$(colour "$png" $((s / 2)) $((s * 165 / 250)))" == "0,128,0" ]] || fail "no green dot in $png"
done

# The manual page: man finds it from the program's folder on PATH, as it
# does for any prefix, and formats it without a warning.
page=$(env -u MANPATH PATH="$top/bin:$PATH" man -w korvelin) || fail "man finds no korvelin page beside $top/bin"
[[ "$page" == "$top/share/man/man1/korvelin.1.gz" ]] || fail "man found $page"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[[ -z "$warnings" ]] || fail "the manual page does not format cleanly: $warnings"

# The installed program, exactly as the menu entry starts it, passes the smoke test.
"$smoke" "$root$program"

# A check by the installed program loads its network part from the
# installed tree, not from the build: a press on the green dot, aimed at a
# port where nothing listens, opens the installed module.
mkdir "$work/check"
: >"$work/check/KORVELIN.INI"
printf '[Pop3]\nServerName=127.0.0.1\nServerPort=1\nServerUser=kari\n' \
  >"$work/check/$(id -un | tr '[:lower:]' '[:upper:]').INI"
command -v strace >/dev/null || fail "strace is not installed (scripts/install-deps.sh test installs it)"
(cd "$work/check" && exec strace -f -qq -e trace=openat -o "$work/check.trace" "$root$program") &
tracer=$!
for _ in $(seq 100); do [[ "$(pixel 318 289)" == "0,128,0" ]] && break; sleep 0.1; done
xdotool mousemove 318 289 click 1
module="$top/lib/$(gcc -print-multiarch)/korvelin/korvelin_pop3net.so"
opened() { grep -F "\"$module\", O_RDONLY|O_CLOEXEC) = " "$work/check.trace" 2>/dev/null | grep -qv ') = -1'; }
for _ in $(seq 100); do opened && break; sleep 0.1; done
# The program is strace's child; it ends on SIGTERM, and strace with it.
pkill -TERM -P "$tracer" 2>/dev/null || true
wait "$tracer" 2>/dev/null || true
opened || fail "a check by the installed program did not open $module: $(grep -F korvelin_pop3net "$work/check.trace" | head -n 3)"

# In a Wayland session that also offers X11 it still opens on X11, at its
# place. No compositor runs: the Wayland socket accepts and never answers, so
# a program that followed WAYLAND_DISPLAY (Qt does, with its Wayland platform
# installed) would hang there without a window.
app_pid=
silent_pid=
trap '[[ -n "$app_pid" ]] && kill "$app_pid" 2>/dev/null; [[ -n "$silent_pid" ]] && kill "$silent_pid" 2>/dev/null
      rm -rf "$work"' EXIT
x11=$DISPLAY
mkdir -m 700 "$work/runtime" "$work/conf"
: >"$work/conf/KORVELIN.INI"
/usr/bin/python3 - "$work/runtime/silent" <<'PY' &
import socket, sys
server = socket.socket(socket.AF_UNIX)
server.bind(sys.argv[1])
server.listen(8)
clients = []
while True:
    clients.append(server.accept()[0])
PY
silent_pid=$!
for _ in $(seq 100); do [[ -S "$work/runtime/silent" ]] && break; sleep 0.1; done
(cd "$work/conf" && exec env -u QT_QPA_PLATFORM DISPLAY="$x11" \
  XDG_RUNTIME_DIR="$work/runtime" WAYLAND_DISPLAY=silent "$root$program") &
app_pid=$!
window=
for _ in $(seq 100); do
  window=$(DISPLAY="$x11" xdotool search --name '^Korvelin INBOX sjekker$' 2>/dev/null | head -n1 || true)
  [[ -n "$window" ]] && break
  kill -0 "$app_pid" 2>/dev/null || fail "with WAYLAND_DISPLAY and DISPLAY set the program ended at start-up"
  sleep 0.1
done
[[ -n "$window" ]] || fail "with WAYLAND_DISPLAY and DISPLAY set no window appeared on X11"
place=$(DISPLAY="$x11" xdotool getwindowgeometry "$window" | sed -n 's/.*Position: \([0-9]*,[0-9]*\).*/\1/p')
[[ "$place" == "294,273" ]] || fail "with WAYLAND_DISPLAY and DISPLAY set the window is at $place, not 294,273"
echo "install tree test passed"
