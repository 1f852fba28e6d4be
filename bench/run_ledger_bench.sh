#!/usr/bin/env bash
# The register of mails sent's cost: bench/throughput.py's plain SMTP and STARTTLS rounds,
# alternately with the register off (POSTIQUE_LEDGER=0) and on, and the program's median rate
# of each. Usage: bench/run_ledger_bench.sh [PAIRS [ROWS]] (3 pairs of 5,000 rows by default).
# Builds the release preset first; runs at the lowest priority.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
pairs=${1:-3}
rows=${2:-5000}
"$top/tools/install-deps.sh"
cd "$top"
cmake --preset release -DPOSTIQUE_BUILD_BENCH=ON >/dev/null
cmake --build --preset release --target VL3_Postique bench_smtp_sink >/dev/null
run() {
    POSTIQUE_LEDGER=$1 nice -n 19 /usr/bin/python3 "$top/bench/throughput.py" \
        --program "$top/build/release/VL3_Postique" --sink "$top/build/release/bench/bench_smtp_sink" \
        --rows "$rows" --rounds 1 --rtt-rows 0 --big-rows 0 --workbook-rows 0 |
        awk '/^(plain SMTP|STARTTLS),/ { mode = $1 } /program \(headless\)/ { print mode, $3 }'
}
for ((i = 1; i <= pairs; i++)); do
    run 0 | sed 's/^/off /'
    run 1 | sed 's/^/on  /'
done | tee /dev/stderr | /usr/bin/python3 -c '
import collections, statistics, sys
rates = collections.defaultdict(list)
for line in sys.stdin:
    state, mode, rate = line.split()
    rates[(state, mode.rstrip(","))].append(float(rate))
for mode in sorted({m for _, m in rates}):
    off, on = statistics.median(rates[("off", mode)]), statistics.median(rates[("on", mode)])
    print("%s: %.0f mails/s without the register, %.0f with it: cost %.1f %%"
          % (mode, off, on, 100 * (off - on) / off))
'
