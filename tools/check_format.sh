#!/usr/bin/env bash
# Format check: every C++ file of the tree (the files git tracks) against the root
# .clang-format with clang-format-14; lists the files that differ and fails when there is one.
# Reformats nothing (to reformat a file: clang-format-14 -i FILE).
#   tools/check_format.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
cd "$top"
differ=()
while IFS= read -r -d '' file; do
  if ! clang-format-14 --style=file --dry-run --Werror "$file" >/dev/null 2>&1; then
    differ+=("$file")
  fi
done < <(git ls-files -z -- '*.cpp' '*.h')
if [ ${#differ[@]} -gt 0 ]; then
  printf '%s\n' "${differ[@]}"
  echo "${#differ[@]} file(s) differ from .clang-format (clang-format-14 -i FILE)" >&2
  exit 1
fi
echo "every C++ file follows .clang-format"
