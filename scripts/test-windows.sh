#!/usr/bin/env bash
# The Windows half: cross-builds Korvelin, its tests and its installer
# against the Windows SDK (Qt 6 for Windows, MinGW-w64) with warnings as
# errors, and runs the tests under Wine through CTest, in a Wine prefix made afresh in the build
# folder. Without the SDK it says so, compiles the Windows files for syntax
# only (scripts/check-windows.sh) and ends well; it never downloads anything.
#   KORVELIN_WINDOWS_SDK  the SDK tarball (default ../shared/windows-sdk/windows-sdk-x86_64.tar.xz)
set -euo pipefail
cd "$(dirname "$0")/.."

sdk_tarball=${KORVELIN_WINDOWS_SDK:-../shared/windows-sdk/windows-sdk-x86_64.tar.xz}
if [[ ! -f "$sdk_tarball" ]]; then
  echo "Windows: no SDK at $sdk_tarball (set KORVELIN_WINDOWS_SDK): syntax check only"
  exec scripts/check-windows.sh
fi

seconds() { date +%s; }
start=$(seconds)
build="build-win"
sdk=$PWD/$build-sdk
rm -rf "$sdk"
mkdir -p "$sdk"
tar -C "$sdk" -xJf "$sdk_tarball"
toolchain=$sdk/windows-sdk/toolchain-mingw64.cmake
# No font is put in the Wine prefix or the SDK: the Windows build carries the
# face its windows are laid out in, as it must on a real Windows machine.

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=ON -DKORVELIN_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" --target installer >/dev/null
built=$(seconds)

# One prefix per run. If Wine cannot start here, the run fails: with the SDK
# present the Windows tests are required.
export WINEPREFIX=$PWD/$build/wineprefix WINEDEBUG=-all
rm -rf "$WINEPREFIX"
if ! wineboot -i >/dev/null 2>&1 || ! wine cmd /c exit 0 >/dev/null 2>&1; then
  echo "Windows: Wine cannot start a program here (WINEPREFIX=$WINEPREFIX)" >&2
  exit 1
fi
booted=$(seconds)

ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(nproc)"
wineserver -k || true
echo "Windows: SDK and build $((built - start)) s, Wine prefix $((booted - built)) s, tests $(($(seconds) - booted)) s"
