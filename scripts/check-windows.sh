#!/usr/bin/env bash
# Compiles the Windows half of Korvelin with MinGW-w64, syntax and types
# only (-fsyntax-only), against the installed Qt 6 headers and with the
# project's warnings as errors: every *_win.cpp, and every other source that
# has a Windows branch (_WIN32). It links nothing and runs nothing.
#   check-windows.sh         all of them
#   check-windows.sh FILE... only these
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=x86_64-w64-mingw32-g++-posix
if ! command -v "$compiler" >/dev/null; then
  echo "$0: $compiler is missing (Debian package g++-mingw-w64-x86-64-posix)" >&2
  exit 1
fi
qt=$(qtpaths6 --query QT_INSTALL_HEADERS)

# The program's own sources: everything tracked outside the tests, the
# benchmarks and the fuzz targets; their folders are the include path.
mapfile -t sources < <(git ls-files -- '*.cpp' '*.h' ':!tests' ':!bench' ':!fuzz')
if [[ $# -gt 0 ]]; then
  files=("$@")
else
  mapfile -t files < <(
    for file in "${sources[@]}"; do
      [[ "$file" == *.cpp ]] || continue
      if [[ "$file" == *_win.cpp ]] || grep -q '_WIN32' "$file"; then echo "$file"; fi
    done | sort -u)
fi

# Qt's headers are included as system headers: they are configured for this
# Linux build, and what their Windows branches say about DLL imports is no
# finding of ours. UNICODE is what Qt's own Windows builds define. The
# warnings are the project's own list (cmake/warnings.txt).
mapfile -t warnings <cmake/warnings.txt
flags=(-std=c++17 -fsyntax-only -DUNICODE -D_UNICODE "${warnings[@]}" -Werror
  -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets" -isystem "$qt/QtNetwork")
while read -r folder; do
  flags+=(-I "$folder")
done < <(for file in "${sources[@]}"; do dirname "$file"; done | sort -u)

failed=0
for file in "${files[@]}"; do
  if "$compiler" "${flags[@]}" "$file"; then
    echo "Windows: $file compiles"
  else
    echo "Windows: $file does not compile" >&2
    failed=1
  fi
done
exit "$failed"
