#!/usr/bin/env bash
# The window's event-loop stall while a 10,000-row job is sent with the window shown on a
# virtual X display (Xvfb): the 99.9th percentile and the worst gap of its event loop.
# Usage: bench/run_window_stall.sh [window_stall.py options: --rows N --sessions N]. Builds the
# release preset first; runs at the lowest priority.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
cd "$top"
cmake --preset release -DPOSTIQUE_BUILD_BENCH=ON >/dev/null
cmake --build --preset release --target VL3_Postique bench_smtp_sink >/dev/null
exec nice -n 19 /usr/bin/python3 "$top/bench/window_stall.py" \
    --program "$top/build/release/VL3_Postique" --sink "$top/build/release/bench/bench_smtp_sink" "$@"
