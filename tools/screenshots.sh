#!/usr/bin/env bash
# Starts the program under a virtual X server and saves a PNG of each page of its main
# window (page0.png .. page3.png), so the layout can be looked at without a desktop.
# Usage: tools/screenshots.sh [output-folder] [executable] [style 0..20]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build/screenshots}
exe=${2:-$top/build/debug/VL3_Postique}
style=${3:-}
if [[ ! -x $exe ]]; then
    echo "screenshots: no executable at $exe (build first, or pass its path)" >&2
    exit 1
fi
command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (tools/install-deps.sh)" >&2; exit 1; }

# A throw-away prefix, with the running version already recorded so that no installation
# notice is sent while the pictures are taken, and the suite's style when one is given.
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
version=$("$exe" --version | awk '{print $2}')
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Halvaro\\Velmora\\Applications\\VL3_Postique\\Versions]\r\n"AppVersion"="%s"\r\n' \
    "$version" >"$prefix/user.reg"
if [[ -n $style ]]; then
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Halvaro\\Velmora\\Look]\r\n"Style"="%s"\r\n' \
        "$style" >"$prefix/system.reg"
fi

mkdir -p "$out"
# The program ends every running copy of itself when it closes: here that is only recorded,
# so that taking pictures never ends a copy somebody is using.
VELMORA_PREFIX=$prefix POSTIQUE_SCREENSHOT_DIR=$out POSTIQUE_PROCESS_RECORD=$prefix/process-record.txt \
    xvfb-run -a -s "-screen 0 1024x768x24" "$exe"
ls -1 "$out"/page*.png
