#!/usr/bin/env bash
# Mails per second through the mail component alone (no window, no job) to the benchmarks'
# fast sink. Usage: bench/run_mail_bench.sh [COUNT] (default 2000).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-2000}
cd "$top"
cmake --preset release -DPOSTIQUE_BUILD_BENCH=ON >/dev/null
cmake --build --preset release --target bench_mail_send bench_smtp_sink >/dev/null
coproc SINK { "$top/build/release/bench/bench_smtp_sink" serve 127.0.0.1 0; }
read -r ready port <&"${SINK[0]}"
[[ "$ready" == READY ]] || { echo "sink did not start" >&2; exit 1; }
trap 'exec {SINK[1]}>&-; wait "$SINK_PID" 2>/dev/null || true' EXIT
read -r _ n s r < <(nice -n 19 "$top/build/release/bench/bench_mail_send" "$port" "$count")
echo "mail component: $n mails in $s s = $r mails/s"
