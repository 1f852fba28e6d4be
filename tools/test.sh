#!/usr/bin/env bash
# Checks the include layers and the formatting, installs what is missing, builds the program
# and its tests, and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
# No include may go up the layers of tools/layers.txt.
python3 "$top/tools/check_layers.py" "$top"
# Every C++ file as the root .clang-format writes it.
"$top/tools/check_format.sh"
"$top/tools/build.sh" ci
cd "$top"
ctest --preset ci "$@"
