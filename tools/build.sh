#!/usr/bin/env bash
# Installs what is missing, then configures and builds with the given CMake preset.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-release}
"$top/tools/install-deps.sh"
cd "$top"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
