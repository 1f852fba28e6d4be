#!/usr/bin/env bash
# Static analysis: clang-tidy with the root .clang-tidy over the program's own sources (not
# the tests), in parallel, with the compile commands of the ci build; fails on any finding.
#   tools/tidy.sh [jobs]     (default 2)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${1:-2}
"$top/tools/install-deps.sh"
cd "$top"
# The ci build's compile commands, and the Qt sources it generates, must be there.
[ -f build/ci/compile_commands.json ] || "$top/tools/build.sh" ci
run-clang-tidy-14 -p build/ci -j "$jobs" -quiet -clang-tidy-binary clang-tidy-14 \
    -extra-arg=-Wno-unknown-warning-option \
    "^$top/(main\.cpp|(app|automation|mail|system|ui)/.+\.cpp)\$"
