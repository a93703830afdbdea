#!/usr/bin/env bash
# Builds the Debian package of a build folder and checks it without
# installing it: Debian's own checker (lintian) finds nothing at warning
# level or above, it holds exactly the tree the install rules make under
# /usr, with its copyright and a changelog of its own version, its menu entry
# starts the program it holds, and its Depends, which dpkg-shlibdeps writes,
# names the Qt 6 Widgets and Network libraries beside the fonts the windows
# are laid out in, and no libcurl.
# Usage: debian_package.sh BUILD_DIR   (CMAKE and CPACK may name the tools)
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && "${CPACK:-cpack}" -G DEB -B "$work/out" >/dev/null)
debs=("$work"/out/*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || fail "cpack made ${#debs[@]} packages: ${debs[*]}"
deb=${debs[0]}

# The errors and warnings Debian's archive would reject or frown on. (As
# root, lintian says on standard error that it would rather not be.)
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh test installs it)"
lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>"$work/lintian.err" ||
  fail "lintian found faults in the package:
$(cat "$work/lintian.out" "$work/lintian.err")"

# The package carries the program stripped, so compare with a stripped install.
dpkg-deb -x "$deb" "$work/package"
DESTDIR="$work/installed" "${CMAKE:-cmake}" --install "$build" --prefix /usr --strip >/dev/null
diff -r "$work/package" "$work/installed" >&2 ||
  fail "the package's files differ from the installed tree (< package, > installed)"

entry="$work/package/usr/share/applications/no.korvelin.sjekker.desktop"
grep -qxF 'Exec=/usr/bin/korvelin' "$entry" || fail "the menu entry does not start /usr/bin/korvelin: $(grep '^Exec=' "$entry")"
[[ -x "$work/package/usr/bin/korvelin" ]] || fail "the package holds no /usr/bin/korvelin"

# The history's newest entry is this package's version; the copyright file
# is in Debian's machine-readable form.
doc="$work/package/usr/share/doc/korvelin"
version=$(dpkg-deb -f "$deb" Version)
zcat "$doc/changelog.gz" >"$work/changelog"
[[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" == "$version" ]] ||
  fail "the changelog's newest entry is not version $version"
head -n1 "$doc/copyright" | grep -qxF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in Debian's machine-readable format"

depends=$(dpkg-deb -f "$deb" Depends)
packages=$(sed 's/([^)]*)//g; s/[|,]/\n/g' <<<"$depends" | tr -d ' ')
for wanted in libqt6widgets6 libqt6network6 fonts-dejavu-core fonts-dejavu-extra; do
  grep -qx "$wanted" <<<"$packages" || fail "Depends lacks $wanted: $depends"
done
! grep -q '^libcurl' <<<"$packages" || fail "Depends names libcurl: $depends"
for field in Section Description; do
  [[ -n "$(dpkg-deb -f "$deb" "$field")" ]] || fail "the package has no $field"
done
[[ $(dpkg-deb -f "$deb" Description | wc -l) -gt 1 ]] || fail "the package's Description has only its summary line"
echo "Debian package test passed: $(basename "$deb"), Depends: $depends"
