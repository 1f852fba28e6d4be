#!/usr/bin/env bash
# Runs the libFuzzer targets of fuzz/ (built by the sanitize preset), one after the other,
# each for the given number of seconds (default 30) on a scratch corpus seeded from
# fuzz/corpus/<name>/; the tree's corpus is only read. A crashing input is saved in
# build/fuzz-findings/ and the script fails.
#   tools/fuzz.sh [seconds] [name...]     names: job_file workbook ini registry smtp_reply https_replies addresses
# Extra libFuzzer options go in FUZZ_ARGS (e.g. FUZZ_ARGS="-runs=1000000"). FUZZ_CORPUS names a
# folder that keeps each target's scratch corpus from one call to the next (FUZZ_CORPUS/<name>).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(job_file workbook ini registry smtp_reply https_replies addresses)
"$top/tools/build.sh" sanitize
findings="$top/build/fuzz-findings"
mkdir -p "$findings"
for name in "${names[@]}"; do
  if [ -n "${FUZZ_CORPUS:-}" ]; then
    scratch="$FUZZ_CORPUS/$name"
    mkdir -p "$scratch"
  else
    scratch=$(mktemp -d)
  fi
  echo "fuzz_$name: ${seconds}s"
  # shellcheck disable=SC2086
  if ! "$top/build/sanitize/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$findings/$name-" ${FUZZ_ARGS:-} "$scratch" "$top/fuzz/corpus/$name" \
      >"$findings/$name.log" 2>&1; then
    tail -n 60 "$findings/$name.log"
    echo "fuzz_$name found a fault: input saved under $findings/$name-*" >&2
    [ -n "${FUZZ_CORPUS:-}" ] || rm -rf "$scratch"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' "$findings/$name.log" || true
  [ -n "${FUZZ_CORPUS:-}" ] || rm -rf "$scratch"
done
