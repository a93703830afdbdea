#!/usr/bin/env bash
# The real program's messages quote the system's reasons in Norwegian, from
# the settings store's start on, whatever the session's language; and a
# standard error that nobody reads any more (a closed pipe) does not end it.
# No display is needed: the settings store fails at start, says why on
# standard error and the program ends with status 1.
# Usage: systemtexts.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ -e /korvelin/etc ]] && { echo "SKIP: /korvelin/etc exists on this machine and would be the folder"; exit 77; }
[[ -f /usr/share/locale/nb/LC_MESSAGES/libc.mo ]] ||
  { echo "SKIP: the system has no Norwegian texts (Debian package libc-l10n)"; exit 77; }

# No candidate folder exists, and the last resort is a file: the shared
# file's path runs through it ("Not a directory").
mkdir -p "$work/top/run"
: >"$work/top/file"
run() {
  (cd "$work/top/run" && env -u LC_ALL -u LC_MESSAGES -u LANGUAGE -u LANG "$@" WINDIR="$work/top/file" DISPLAY= \
    "$program")
}

for language in "LANG=C" "LANG=C.UTF-8" "LANG=en_US.UTF-8" "LANG=C.UTF-8 LANGUAGE=en" "LC_ALL=C"; do
  status=0
  # shellcheck disable=SC2086 # one or two assignments
  said=$(run $language 2>&1 >/dev/null) || status=$?
  [[ "$status" == 1 ]] || fail "$language: exit status $status"
  [[ "$said" == *"Ikke en filkatalog (feilkode 20)"* ]] || fail "$language: the reason is not Norwegian: $said"
done

# Standard error is a pipe whose reader is gone: the message is lost, the
# program is not.
status=0
/usr/bin/python3 - "$work/top/run" "$work/top/file" "$program" <<'EOF' || status=$?
import os, subprocess, sys
folder, windir, program = sys.argv[1:]
r, w = os.pipe()
os.close(r)
env = dict(os.environ, WINDIR=windir, DISPLAY="")
# The child gets the default action for SIGPIPE back, as a shell gives it.
p = subprocess.run([program], cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=w, restore_signals=True)
sys.exit(p.returncode if p.returncode >= 0 else 128 - p.returncode)
EOF
[[ "$status" == 1 ]] || fail "with standard error a closed pipe: exit status $status"
echo "system texts test passed"
