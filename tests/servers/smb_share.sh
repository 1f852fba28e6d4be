#!/bin/bash
# A real SMB share on loopback for the tests: smbd serves DIR/export on ADDR:445 and rclone's
# SMB client mounts it through FUSE at DIR/mnt. Everything lives under DIR; only the
# processes whose pid or mount point lies there are ever stopped. Run as root.
#   smb_share.sh up DIR ADDR     server and mount
#   smb_share.sh mount DIR ADDR [NAME]  mount again (after umount or kill), or one more client
#                                       of the share at DIR/NAME (another station's view)
#   smb_share.sh umount DIR ADDR [NAME] unmount cleanly
#   smb_share.sh kill DIR ADDR [NAME]   stop the client abruptly: the mount answers ENOTCONN
#   smb_share.sh down DIR               unmount every client, stop the server, remove DIR
# SMB_CACHE_MODE=off mounts a client without its write cache: a file there cannot be reopened
# for appending.
set -uo pipefail
cmd=$1 D=$2 ADDR=${3:-} NAME=${4:-mnt}
M=$D/$NAME
PASS=sharepass

client_pid() {
  for p in $(pgrep -x rclone 2>/dev/null); do
    tr '\0' ' ' < /proc/$p/cmdline 2>/dev/null | grep -q -- " $M " && echo "$p"
  done
}

do_mount() {
  # A client that was killed leaves a dead mount behind.
  grep -q " $M " /proc/self/mountinfo && { fusermount3 -uz "$M" 2>/dev/null || umount -l "$M"; }
  mkdir -p "$M"
  rclone mount ":smb:jobs" "$M" --config /dev/null --smb-host "$ADDR" --smb-user root \
    --smb-pass "$(rclone obscure "$PASS")" --allow-other --daemon --dir-cache-time 1s \
    --vfs-cache-mode "${SMB_CACHE_MODE:-writes}" --vfs-write-back 0s --cache-dir "$D/cache-$NAME" \
    --log-file "$D/rclone-$NAME.log" || return 1
  for _ in $(seq 1 50); do grep -q " $M " /proc/self/mountinfo && return 0; sleep 0.1; done
  return 1
}

do_umount() {
  grep -q " $M " /proc/self/mountinfo || return 0
  fusermount3 -u "$M" 2>/dev/null || umount -l "$M" 2>/dev/null
  for _ in $(seq 1 50); do [ -z "$(client_pid)" ] && return 0; sleep 0.1; done
  kill $(client_pid) 2>/dev/null
}

case $cmd in
up)
  for c in smbd smbpasswd smbclient rclone fusermount3; do
    command -v $c >/dev/null || { echo "missing $c (tools/install-deps.sh)"; exit 2; }
  done
  mkdir -p "$D"/{export,private,lock,state,cache,pid,log}
  chmod 777 "$D/export"
  cat > "$D/smb.conf" <<CONF
[global]
  server role = standalone server
  interfaces = $ADDR/8
  bind interfaces only = yes
  smb ports = 445
  disable netbios = yes
  server min protocol = SMB2_10
  passdb backend = tdbsam:$D/private/passdb.tdb
  private dir = $D/private
  lock directory = $D/lock
  state directory = $D/state
  cache directory = $D/cache
  pid directory = $D/pid
  ncalrpc dir = $D/state/ncalrpc
  log file = $D/log/log.%m
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
[jobs]
  path = $D/export
  read only = no
  create mask = 0666
  directory mask = 0777
CONF
  printf '%s\n%s\n' "$PASS" "$PASS" | smbpasswd -c "$D/smb.conf" -s -a root >/dev/null || exit 1
  smbd -D -s "$D/smb.conf" -l "$D/log" || exit 1
  for _ in $(seq 1 50); do
    smbclient -s "$D/smb.conf" -U "root%$PASS" "//$ADDR/jobs" -c ls >/dev/null 2>&1 && break
    sleep 0.1
  done
  do_mount ;;
mount) do_mount ;;
umount) do_umount ;;
kill)
  # Returns once the mount answers "not connected" and the kernel's attributes of it, cached
  # for a second, have lapsed: a killed client takes a while to go.
  p=$(client_pid); [ -n "$p" ] && kill -9 $p
  for _ in $(seq 1 100); do stat "$M" >/dev/null 2>&1 || { sleep 1.1; exit 0; }; sleep 0.05; done
  exit 1 ;;
down)
  for m in "$D"/mnt*; do M=$m; do_umount; done
  if [ -f "$D/pid/smbd.pid" ]; then
    p=$(cat "$D/pid/smbd.pid"); kill "$p" 2>/dev/null
    for _ in $(seq 1 25); do kill -0 "$p" 2>/dev/null || break; sleep 0.2; done
    kill -9 "$p" 2>/dev/null
  fi
  rm -rf "$D" ;;
esac
