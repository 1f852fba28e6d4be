#!/usr/bin/env bash
# Start-up time and idle resident memory without a display: the station alone against the
# window on the offscreen platform. Usage: bench/run_idle.sh [idle.py options: --runs N].
# Builds the release preset first; runs at the lowest priority.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
cd "$top"
cmake --preset release >/dev/null
cmake --build --preset release --target VL3_Postique >/dev/null
exec nice -n 19 /usr/bin/python3 "$top/bench/idle.py" --program "$top/build/release/VL3_Postique" "$@"
