#!/usr/bin/env bash
# Static analysis: clang-tidy with the root .clang-tidy over the program's own sources (not
# the tests), in parallel, with the compile commands of the sanitize build (clang); fails on
# any finding.
#   tools/tidy.sh [jobs]              every source; when it passes on a committed tree, the
#                                     commit is written to tools/tidy_clean (commit that file)
#   tools/tidy.sh --changed [jobs]    only the sources changed since tools/tidy_clean, and
#                                     those including a changed header
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
changed=0
if [ "${1:-}" = --changed ]; then changed=1; shift; fi
jobs=${1:-2}
"$top/tools/install-deps.sh"
cd "$top"
# The sanitize build's compile commands, and the Qt sources it generates, must be there.
[ -f build/sanitize/compile_commands.json ] || "$top/tools/build.sh" sanitize
files=("^$top/(main\.cpp|(app|automation|mail|station|system|ui)/.+\.cpp)\$")
if [ "$changed" = 1 ] && [ -s tools/tidy_clean ]; then
  list=$(python3 tools/tidy_changed.py "$(cat tools/tidy_clean)" "$top")
  if [ "$list" != ALL ]; then
    if [ -z "$list" ]; then
      echo "clang-tidy: nothing changed since $(cat tools/tidy_clean)"
      exit 0
    fi
    echo "clang-tidy: $(echo "$list" | wc -l) file(s) changed since $(cat tools/tidy_clean)"
    files=()
    while IFS= read -r f; do files+=("^$top/$f\$"); done <<<"$list"
  fi
fi
run-clang-tidy-14 -p build/sanitize -j "$jobs" -quiet -clang-tidy-binary clang-tidy-14 \
    -extra-arg=-Wno-unknown-warning-option "${files[@]}"
if [ "$changed" = 0 ] && [ -z "$(git status --porcelain)" ]; then
  git rev-parse HEAD >tools/tidy_clean
fi
