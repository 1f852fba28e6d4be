#!/usr/bin/env bash
# Installs the build given as argument into a throw-away prefix and checks what landed
# where: the program, the launcher (valid, French texts, an icon that exists) and the user
# unit (the installed program, restarted on failure).
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
"$prefix/bin/VL3_Postique" --version | grep -q '^VL3_Postique ' || fail "installed program does not run"
echo "installed layout ok"
