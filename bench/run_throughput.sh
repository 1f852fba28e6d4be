#!/usr/bin/env bash
# Job throughput of the real program (headless) beside Python smtplib, against the fast sink
# of bench/smtp_sink.cpp: plain SMTP, STARTTLS, a 10 ms round trip, a 100,000-row job and a
# 100,000-row workbook job.
# Usage: bench/run_throughput.sh [throughput.py options: --rows N --rounds N --rtt-rows N
# --big-rows N --workbook-rows N --sessions N]. Builds the release preset first; runs at the
# lowest priority. POSTIQUE_JOURNAL_DURABLE=1 in the environment makes every journal record
# durable (flushed to disk before it counts) instead of one flush a second: the journal's cost.
# POSTIQUE_LEDGER=0 keeps the register of mails sent off (bench/run_ledger_bench.sh compares).
# bench/run_throughput.sh --limited [limited.py options: --rows N --sessions N --per-minute N
# --only configured|learnt] runs instead a 2,000-row job against a sink with a hosted service's
# limits (3 sessions, 600 mails a minute): the rate reached, the throttling replies, every row
# once.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
cd "$top"
cmake --preset release -DPOSTIQUE_BUILD_BENCH=ON >/dev/null
cmake --build --preset release --target VL3_Postique bench_smtp_sink >/dev/null
script=throughput.py
if [[ ${1:-} == --limited ]]; then
    script=limited.py
    shift
fi
exec nice -n 19 /usr/bin/python3 "$top/bench/$script" \
    --program "$top/build/release/VL3_Postique" --sink "$top/build/release/bench/bench_smtp_sink" "$@"
