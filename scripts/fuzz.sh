#!/usr/bin/env bash
# Runs one fuzz target under libFuzzer for a while.
#   scripts/fuzz.sh TARGET SECONDS    TARGET: inifile, stat, hostname, scramble or dialogue
# Installs what is missing (the build packages, clang and its libFuzzer
# runtime), builds the target with clang in build-fuzz/ with
# -fsanitize=fuzzer,address,undefined, and runs it for SECONDS over a fresh
# copy of the seed corpus fuzz/corpus/TARGET/. Exits non-zero on a finding
# (a crash, a sanitizer report, a broken property, a hang or runaway memory);
# the input that shows it is kept in build-fuzz/findings/TARGET/. Safe to run
# again.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(inifile stat hostname scramble dialogue)
usage() {
  echo "usage: $0 TARGET SECONDS   (TARGET: ${targets[*]})" >&2
  exit 2
}
[[ $# -eq 2 ]] || usage
target=$1
seconds=$2
[[ " ${targets[*]} " == *" $target "* ]] || usage
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || usage

scripts/install-deps.sh fuzz

# Everything is instrumented for coverage, so that libFuzzer sees inside the
# libraries; only the fuzz programs link libFuzzer's own main.
build="build-fuzz"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DKORVELIN_SANITIZE=ON -DKORVELIN_FUZZ=ON \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j"$(nproc)" --target "fuzz_$target"

# libFuzzer adds what it finds to the first folder: a copy, not the seeds.
# Its inputs are kept to 4 KiB, which is enough for every path through the
# parsers and keeps the runs fast under the sanitizers; the larger seeds
# (a 16 KiB file of newlines) are read whole by the replay test.
corpus="$build/corpus/$target"
findings="$build/findings/$target"
rm -rf "$corpus"
mkdir -p "$corpus" "$findings"
cp fuzz/corpus/"$target"/* "$corpus"/

status=0
ASAN_OPTIONS=detect_leaks=1 \
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" || status=$?
if [[ $status -ne 0 ]]; then
  echo "fuzz_$target found a fault; the input is in $findings/" >&2
  exit 1
fi
echo "fuzz_$target: nothing found in $seconds seconds"
