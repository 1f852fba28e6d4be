#!/usr/bin/env bash
# Checks the include layers and the formatting, installs what is missing, builds the program
# and its tests, and runs every test; then builds them again with clang under AddressSanitizer
# and UndefinedBehaviorSanitizer and runs every test and the fuzz targets' seed corpora once
# more (POSTIQUE_NO_SANITIZE=1 skips this second pass). Arguments go to both ctest runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
stage() { echo "== $1 ($(date -u +%H:%M:%S))"; }
"$top/tools/install-deps.sh"
# No include may go up the layers of tools/layers.txt.
stage "layer check"
python3 "$top/tools/check_layers.py" "$top"
# Every C++ file as the root .clang-format writes it.
stage "format check"
"$top/tools/check_format.sh"
stage "ci build (warnings are errors)"
"$top/tools/build.sh" ci
cd "$top"
stage "tests"
ctest --preset ci "$@"
if [ "${POSTIQUE_NO_SANITIZE:-0}" != 1 ]; then
  stage "sanitize build"
  "$top/tools/build.sh" sanitize
  stage "tests under the sanitizers"
  ctest --preset sanitize "$@"
fi
stage "done"
