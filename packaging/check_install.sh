#!/usr/bin/env bash
# Installs the build given as argument into a throw-away prefix and checks what landed
# where: the program (stripped, its debug information in a file of its own), the launcher
# (valid, French texts, an icon that exists) and the user unit (the installed program, ready
# and watchdog notifications, restarted on failure, accepted by systemd-analyze).
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "check_install: $*" >&2; exit 1; }
[[ -x $prefix/bin/VL3_Postique ]] || fail "no program in bin/"
desktop=$prefix/share/applications/velmora-postique.desktop
[[ -f $desktop ]] || fail "no launcher"
grep -qx 'Exec=VL3_Postique' "$desktop" || fail "launcher does not start the program"
grep -qx 'Icon=velmora-postique' "$desktop" || fail "launcher has no icon"
grep -q '^Comment=Envoie les mails' "$desktop" || fail "launcher comment is not the French one"
[[ -f $prefix/share/icons/hicolor/scalable/apps/velmora-postique.svg ]] || fail "no icon file"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "launcher does not validate"
fi
unit=$prefix/share/systemd/user/velmora-postique.service
[[ -f $unit ]] || fail "no user unit"
grep -qx "ExecStart=$prefix/bin/VL3_Postique" "$unit" || fail "unit does not start the installed program"
grep -qx 'Restart=on-failure' "$unit" || fail "unit is not restarted on failure"
grep -qx 'Type=notify' "$unit" || fail "unit does not wait for the program to be ready"
grep -q '^WatchdogSec=[1-9]' "$unit" || fail "unit has no watchdog"
! grep -q 'network-online' "$unit" || fail "unit names a target the user manager does not have"
if command -v systemd-analyze >/dev/null; then
    runtime=$(mktemp -d)
    verdict=$(XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify "$unit" 2>&1) || true
    rm -rf "$runtime"
    [[ -z $verdict ]] || fail "systemd-analyze: $verdict"
fi
program=$prefix/bin/VL3_Postique
readelf -S "$program" | grep -q '\.debug_info' && fail "installed program is not stripped"
readelf -S "$program" | grep -q '\.gnu_debuglink' || fail "installed program has no debug link"
build_id=$(readelf -n "$program" | sed -n 's/.*Build ID: //p')
debug=$prefix/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
readelf -S "$debug" 2>/dev/null | grep -q '\.debug_info' || fail "no debug information at $debug"
"$prefix/bin/VL3_Postique" --version | grep -q '^VL3_Postique ' || fail "installed program does not run"
echo "installed layout ok"
