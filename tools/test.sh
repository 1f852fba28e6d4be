#!/usr/bin/env bash
# The README's test command: checks the include layers and the formatting, installs what is
# missing, builds the program and its tests with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (warnings are errors), and runs every test once, the fuzz
# targets' seed corpora included. Arguments go to ctest (e.g. -R SmtpSend).
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
stage "sanitize build (ASan + UBSan, warnings are errors)"
"$top/tools/build.sh" sanitize
cd "$top"
stage "tests under the sanitizers"
ctest --preset sanitize "$@"
stage "done"
