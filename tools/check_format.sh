#!/usr/bin/env bash
# Fails, naming the files, when a C++ file of the tree differs from the root .clang-format.
#   tools/check_format.sh          check
#   tools/check_format.sh --fix    rewrite the files that differ
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
fix=0
[ "${1:-}" = --fix ] && fix=1
differ=()
while IFS= read -r -d '' file; do
  if ! clang-format-14 --dry-run -Werror "$file" >/dev/null 2>&1; then
    differ+=("$file")
    [ "$fix" = 1 ] && clang-format-14 -i "$file"
  fi
done < <(git ls-files -z '*.cpp' '*.h')
if [ "${#differ[@]}" -gt 0 ] && [ "$fix" = 0 ]; then
  printf 'not formatted as .clang-format says (tools/check_format.sh --fix):\n' >&2
  printf '  %s\n' "${differ[@]}" >&2
  exit 1
fi
