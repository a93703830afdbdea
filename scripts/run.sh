#!/usr/bin/env bash
# Installs what is missing, builds Korvelin and starts it.
#   scripts/run.sh        the program, on the current user's settings
#   scripts/run.sh demo   the program against a throwaway local POP3 server
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${1:-}" == demo ]]; then
  scripts/install-deps.sh demo
else
  scripts/install-deps.sh run
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)" --target korvelin
if [[ "${1:-}" == demo ]]; then
  exec scripts/demo.sh "$PWD/build"
fi
exec build/checker/korvelin
