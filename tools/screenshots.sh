#!/usr/bin/env bash
# Pictures of the program, to look at it without a desktop. On a virtual X server with a
# window manager (openbox) and a tray host (trayer), the program runs from a private copy and
# prefix and is driven with xdotool; the whole screen is saved at each step:
#   desktop-01-window.png        the main window as the window manager places it
#   desktop-02/03-focus-*.png    keyboard focus in the attachment field, then after Tab
#   desktop-04-file-dialog.png   "Ajouter": the file dialog, in French, opened in the home folder
#   desktop-05-message-box.png   closing the window: the quit question, in French
#   desktop-06..10-tray-*.png    started asleep: the icon and its tip while waiting, while a
#                                job is sent, after the failure (mark, balloon, tip), its menu
# then, as before, each page of the main window (page0.png .. page3.png); the Incidents page
# shows the lines of the runs above, read back from the log file at this start.
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
for tool in Xvfb openbox trayer xdotool xwininfo xprop import; do
    command -v "$tool" >/dev/null ||
        { echo "screenshots: $tool is missing (tools/install-deps.sh)" >&2; exit 1; }
done
python=/usr/bin/python3
[[ -x $python ]] || python=python3

# A throw-away installation: the executable copied (its settings folder, where the incident
# log lives, is beside it), a prefix with the running version already recorded so that no
# installation notice is sent, the suite's style when one is given, and a home folder.
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
app=$work/app prefix=$work/prefix home=$work/home
mkdir -p "$app" "$prefix" "$home" "$out"
cp "$exe" "$app/VL3_Postique"
version=$("$exe" --version | awk '{print $2}')
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Halvaro\\Velmora\\Applications\\VL3_Postique\\Versions]\r\n"AppVersion"="%s"\r\n' \
    "$version" >"$prefix/user.reg"
if [[ -n $style ]]; then
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Halvaro\\Velmora\\Look]\r\n"Style"="%s"\r\n' \
        "$style" >"$prefix/system.reg"
fi
jobs=$prefix/drive_c/Jobs
mkdir -p "$jobs" "$prefix/drive_c/Halvaro/Velmora/Config" "$home/Documents"
# Something for the file dialog to list.
printf 'Bilan de la semaine\n' >"$home/Documents/Bilan.txt"
printf 'Conducteur du jour\n' >"$home/Conducteur.txt"
# The program ends every running copy of itself when it closes: here that is only recorded.
export VELMORA_PREFIX=$prefix HOME=$home XDG_CONFIG_HOME=$home/.config \
    XDG_DATA_HOME=$home/.local/share POSTIQUE_PROCESS_RECORD=$work/process-record.txt \
    POSTIQUE_POLL_TICK_MS=100
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

# Waits up to $1 seconds for the command that follows to succeed.
waitFor() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
shot() {
    sleep "${2:-1}"
    import -window root "$out/desktop-$1.png"
    echo "$out/desktop-$1.png"
}

# The display (the server writes its number once it listens), the manager, the tray host.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
read -r number <"$work/display"
export DISPLAY=:$number
openbox >/dev/null 2>&1 &
pids+=($!)
waitFor 20 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
trayer --edge top --align right --widthtype pixel --width 100 --height 24 --SetDockType true \
    >/dev/null 2>&1 &
pids+=($!)
waitFor 20 sh -c 'xwininfo -root -tree | grep -q "\"panel\""'

# Writes the settings file: relay $1 on port $2, the sender, the job folder $3 (C:\Jobs\).
settings() {
    printf '[Serveur]\r\nServeur=%s\r\nPort=%s\r\n[Dossiers]\r\nDossier_00=%s\r\n[Email]\r\nFrom=postique@station.test\r\n' \
        "$1" "$2" "${3:-C:\\Jobs\\}" >"$prefix/drive_c/Halvaro/Velmora/Config/VL3_Postique.ini"
}
# Ends the program run $1 as a session's end does, and waits for it.
stop() {
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# 1. The window, the keyboard, the toolkit's own texts.
settings 127.0.0.1 25
"$app/VL3_Postique" 2>>"$work/stderr.txt" &
program=$!
pids+=($program)
waitFor 30 xdotool search --onlyvisible --name '^Velmora: Postique'
window=$(xdotool search --onlyvisible --name '^Velmora: Postique' | head -1)
xdotool windowactivate --sync "$window"
shot 01-window 2
# From the tabs down to the attachment field, then out of it to "Ajouter".
xdotool key --delay 150 Tab Tab Tab Tab Tab
shot 02-focus-attachments
xdotool key Tab
shot 03-focus-after-tab
xdotool key space
shot 04-file-dialog 2
xdotool key Escape
sleep 0.5
xdotool windowactivate --sync "$window" key alt+F4
shot 05-message-box
# A session's end while the question is open ends the program all the same.
stop "$program"

# 2. Asleep behind the icon. The relay takes the connection and never answers, so that the
# job stays in hand; when it goes away, the row fails.
"$python" -c '
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
print(s.getsockname()[1], flush=True)
time.sleep(600)' >"$work/relay-port" &
relay=$!
pids+=($relay)
waitFor 10 test -s "$work/relay-port"
settings 127.0.0.1 "$(cat "$work/relay-port")"
"$app/VL3_Postique" /Veille=True 2>>"$work/stderr.txt" &
program=$!
pids+=($program)
# The icon: a small window of the program docked in the panel at the top of the screen.
icon() {
    xwininfo -root -tree | awk '/"VL3_Postique"/ {
        split($(NF-1), size, "x"); split($NF, at, "+");
        if (size[1] >= 8 && size[1] <= 64 && at[3] < 40) {
            print at[2] + int(size[1] / 2), at[3] + int(size[2] / 2); exit
        }
    }'
}
iconDocked() { [[ -n $(icon) ]]; }
waitFor 30 iconDocked
sleep 2
read -r x y < <(icon)
# Points at the icon anew; the toolkit shows a tip once the pointer moves over the icon.
hover() {
    xdotool mousemove 400 400
    sleep 1
    xdotool mousemove "$x" "$y"
    sleep 0.3
    xdotool mousemove_relative 1 0
}
hover
shot 06-tray-waiting 2
printf '1;;;;destinataire@example.org;;;Essai;Corps du mail;;\r\n' >"$jobs/Email_1.ss8"
sleep 5
hover
shot 07-tray-sending 2
kill "$relay"
shot 08-tray-failed 3
# A click on the balloon closes it, so that the tip can be seen.
xdotool mousemove $((x - 120)) $((y + 60)) click 1
hover
shot 09-tray-failed-tip 2
xdotool mousemove "$x" "$y" click 3
shot 10-tray-menu
xdotool key Escape
stop "$program"

# 3. Each page of the window; the Incidents page after this restart; a job folder of the
# Linux side, kept in the suite's form ("Z:\..."), on the settings page.
mkdir -p "$work/partage"
settings 127.0.0.1 25 "Z:$(printf '%s' "$work/partage/" | tr / '\\')"
POSTIQUE_SCREENSHOT_DIR=$out "$app/VL3_Postique" 2>>"$work/stderr.txt"
ls -1 "$out"/page*.png
