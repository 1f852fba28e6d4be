#!/usr/bin/env bash
# Time of `--queue --json` over 10,000 waiting rows, without and with a running copy.
# Usage: bench/run_queue.sh [queue_listing.py options: --rows N --runs N].
# Builds the release preset first; runs at the lowest priority.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
cd "$top"
cmake --preset release >/dev/null
cmake --build --preset release --target VL3_Postique >/dev/null
exec nice -n 19 /usr/bin/python3 "$top/bench/queue_listing.py" --program "$top/build/release/VL3_Postique" "$@"
