#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it (arguments are passed on).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/build.sh" release
exec "$top/build/release/VL3_Postique" "$@"
