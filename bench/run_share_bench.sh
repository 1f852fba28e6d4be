#!/usr/bin/env bash
# Job folders on a real SMB share on loopback: rename on the server to first mail through the
# mount, and a poll cycle's file-system cost beside 10,000 other files. Needs root and
# /dev/fuse (the share's packages come from tools/install-deps.sh). Builds the release preset
# first; runs at the lowest priority.
# Usage: bench/run_share_bench.sh [share_bench.py options: --rounds N --others N]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
cd "$top"
cmake --preset release -DPOSTIQUE_BUILD_BENCH=ON >/dev/null
cmake --build --preset release --target VL3_Postique bench_smtp_sink bench_share_cycle >/dev/null
exec nice -n 19 /usr/bin/python3 "$top/bench/share_bench.py" --program "$top/build/release/VL3_Postique" \
    --sink "$top/build/release/bench/bench_smtp_sink" \
    --cycle-bench "$top/build/release/bench/bench_share_cycle" "$@"
