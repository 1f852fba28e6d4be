#!/usr/bin/env bash
# Mails per second to a local SMTP sink (aiosmtpd): the mail component beside a Python
# smtplib loop that reuses one connection, in the same run. Usage: bench/run_mail_bench.sh
# [COUNT] (default 2000). Builds the benchmark with the debug preset unless BENCH_BIN is set.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-2000}
bin=${BENCH_BIN:-$top/build/release/bench/bench_mail_send}
if [[ -z "${BENCH_BIN:-}" ]]; then
    cmake --preset release -DPOSTIQUE_BUILD_BENCH=ON >/dev/null
    cmake --build --preset release -j2 --target bench_mail_send >/dev/null
fi
work=$(mktemp -d)
coproc SINK { /usr/bin/python3 "$top/tests/servers/smtp_server.py" --record /dev/null; }
trap 'exec {SINK[1]}>&-; wait "$SINK_PID" 2>/dev/null || true; rm -rf "$work"' EXIT
read -r ready port <&"${SINK[0]}"
[[ "$ready" == READY ]] || { echo "sink did not start" >&2; exit 1; }

read -r _ n1 s1 r1 < <("$bin" "$port" "$count")
read -r _ n2 s2 r2 < <(/usr/bin/python3 - "$port" "$count" <<'PY'
import smtplib, sys, time
from email.message import EmailMessage
port, count = int(sys.argv[1]), int(sys.argv[2])
start = time.perf_counter()
with smtplib.SMTP("127.0.0.1", port) as s:
    for i in range(count):
        m = EmailMessage()
        m["From"] = "Régie <regie@station.test>"
        m["To"] = "Antenne <antenne@station.test>"
        m["Subject"] = f"Postique: diffusion n° {i}"
        m.set_content(f"Le programme {i} est prêt.\nBonne antenne.\n", charset="iso-8859-1")
        s.send_message(m)
elapsed = time.perf_counter() - start
print(f"smtplib {count} {elapsed:.3f} {count / elapsed:.1f}")
PY
)
echo "mail component : $n1 mails in $s1 s = $r1 mails/s"
echo "python smtplib : $n2 mails in $s2 s = $r2 mails/s (one connection)"
awk -v a="$r1" -v b="$r2" 'BEGIN { printf "ratio component/smtplib: %.2f\n", a / b }'
