#!/bin/bash
# Shows the program against a throwaway POP3 server:
#
#   scripts/demo.sh BUILD_DIR      (BUILD_DIR/checker/korvelin is the program)
#
# Starts a Dovecot on 127.0.0.1 with a few messages, makes a temporary
# configuration folder (KORVELIN.INI plus the per-user file pointing at that
# server, password stored scrambled) and runs the program there in the
# foreground. When the program ends, or on Ctrl-C, the server is stopped and
# the folder removed.
#
# As root, Dovecot runs with its own unprivileged users as a system server
# would. As any other user it runs entirely as that user: no sudo needed.
set -euo pipefail

die() { echo "demo: $*" >&2; exit 1; }

[ $# -eq 1 ] || die "usage: $0 BUILD_DIR"
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "$1" && pwd) || die "no build folder $1"
program="$build_dir/checker/korvelin"
fixture="$source_dir/tests/pop3/dovecot-fixture.sh"
[ -x "$program" ] || die "$program is not built"

work=$(mktemp -d "${TMPDIR:-/tmp}/korvelin-demo.XXXXXX")
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    "$fixture" stop "$work/server" || true
    rm -rf -- "$work"
}
trap cleanup EXIT
# Ctrl-C reaches the program too, which closes cleanly; then leave through
# the EXIT trap.
trap 'exit 130' INT
trap 'exit 143' TERM HUP

"$fixture" start "$work/server"
port=$(cat "$work/server/port")

user=demo
password=demo-passord
"$fixture" user "$work/server" "$user" "$password"
messages=(
    $'From: Kari Nordmann <kari@example.org>\nSubject: Velkommen\n\nHei, og velkommen!\n'
    $'From: Ola Nordmann <ola@example.org>\nSubject: Middag\n\nBlir du med p\xc3\xa5 middag i kveld?\nSvar innen fem.\n'
    $'From: Postmester <postmaster@example.org>\nSubject: Kvittering\n\nMeldingen er levert.\n'
)
for i in "${!messages[@]}"; do
    printf '%s' "${messages[$i]}" >"$work/message$i"
    "$fixture" message "$work/server" "$user" "$work/message$i"
done

# The stored password, scrambled by the program's own rule (built here, as
# scripts/run.sh builds the program alone). Written byte by byte, never
# through a shell variable.
cmake --build "$build_dir" --target korvelin_scramble >/dev/null \
    || die "cannot build korvelin_scramble in $build_dir (configure it again with cmake)"
scramble() {
    printf '%s' "$1" | "$build_dir/settings/korvelin_scramble"
}

# The program looks for ./KORVELIN.INI first; the per-user file beside it is
# named after the logon name in capitals.
config="$work/config"
mkdir "$config"
: >"$config/KORVELIN.INI"
logon=$(id -un)
user_file="$config/${logon^^}.INI"
{
    printf '[Pop3]\n'
    printf 'ServerName=127.0.0.1\n'
    printf 'ServerPort=%s\n' "$port"
    printf 'ServerUser=%s\n' "$user"
    printf 'ServerPassword='
    scramble "$password"
    printf '\n'
} >"$user_file"
chmod 600 "$user_file"

echo "demo: the mailbox holds ${#messages[@]} messages; press the green dot to check it."
echo "demo: settings in $config"
cd "$config"
status=0
"$program" || status=$?
exit "$status"
