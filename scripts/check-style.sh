#!/usr/bin/env bash
# Checks the layout of the sources, changing nothing: every tracked C++ file
# against .clang-format (clang-format 14, Debian's clang-format package) and
# every shell script with shellcheck (Debian's shellcheck package). Exits
# non-zero, naming the files, when one is off.
#   check-style.sh           all of them
# To fix the C++ layout: clang-format -i FILE...
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in clang-format shellcheck; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool is missing (Debian package $tool)" >&2
    exit 1
  fi
done

# The tracked files; outside a git checkout, every file but the build folders.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files)
else
  mapfile -t files < <(find . -path './build*' -prune -o -type f -print | sed 's|^\./||' | sort)
fi

cpp=()
shell=()
for file in "${files[@]}"; do
  [[ -f "$file" ]] || continue
  case "$file" in
    *.cpp | *.h) cpp+=("$file") ;;
    *.sh) shell+=("$file") ;;
    *)
      # Scripts without the suffix (.ci/run) by their first line.
      if head -n 1 "$file" | grep -qaE '^#!.*[/ ](ba)?sh$'; then
        shell+=("$file")
      fi
      ;;
  esac
done

failed=0
if ! clang-format --dry-run --Werror "${cpp[@]}"; then
  echo "Style: C++ files above are not laid out as .clang-format says (clang-format -i FILE fixes them)" >&2
  failed=1
fi
# -x: a script that sources a helper of the tree is checked with it.
if ! shellcheck -x "${shell[@]}"; then
  echo "Style: shellcheck has findings in the scripts above" >&2
  failed=1
fi
if [[ $failed -eq 0 ]]; then
  echo "Style: ${#cpp[@]} C++ files formatted, ${#shell[@]} shell scripts clean"
fi
exit "$failed"
