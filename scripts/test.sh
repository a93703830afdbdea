#!/usr/bin/env bash
# Installs what is missing, checks the layout of the sources, builds and
# tests the Windows half under Wine, builds Korvelin with warnings as errors and
# runs the whole test suite: once as built, once under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
# clang-format over the C++ files, shellcheck over the shell scripts.
scripts/check-style.sh
# The Windows half: built against the Windows SDK and tested under Wine
# (scripts/test-windows.sh); without the SDK, the Windows files' syntax only.
scripts/test-windows.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DKORVELIN_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --no-tests=error

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKORVELIN_SANITIZE=ON -DBUILD_TESTING=ON \
  -DKORVELIN_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
# Any report fails the run; only leaks inside Qt's own libraries are suppressed.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure --no-tests=error
