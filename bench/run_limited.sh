#!/usr/bin/env bash
# A 2,000-row job against a sink with a hosted service's limits (3 sessions, 600 mails a
# minute): the rate reached, the throttling replies, every row once (bench/limited.py).
# Usage: bench/run_limited.sh [limited.py options: --rows N --sessions N --per-minute N
# --only configured|learnt]. Builds the release preset first; runs at the lowest priority.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
cd "$top"
cmake --preset release -DPOSTIQUE_BUILD_BENCH=ON >/dev/null
cmake --build --preset release --target VL3_Postique bench_smtp_sink >/dev/null
exec nice -n 19 /usr/bin/python3 "$top/bench/limited.py" \
    --program "$top/build/release/VL3_Postique" --sink "$top/build/release/bench/bench_smtp_sink" "$@"
