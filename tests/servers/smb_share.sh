#!/bin/bash
# A real SMB share on loopback for the tests: smbd serves DIR/export on ADDR:445 and rclone's
# SMB client mounts it through FUSE at DIR/mnt. Everything lives under DIR; only the
# processes whose pid or mount point lies there are ever stopped. Run as root.
#   smb_share.sh up DIR ADDR     server and mount
#   smb_share.sh mount DIR ADDR  mount again (after umount or kill)
#   smb_share.sh umount DIR      unmount cleanly
#   smb_share.sh kill DIR        stop the client abruptly: the mount answers ENOTCONN
#   smb_share.sh down DIR        unmount, stop the server, remove DIR
set -uo pipefail
cmd=$1 D=$2 ADDR=${3:-}
PASS=sharepass

client_pid() {
  for p in $(pgrep -x rclone 2>/dev/null); do
    tr '\0' ' ' < /proc/$p/cmdline 2>/dev/null | grep -q -- " $D/mnt " && echo "$p"
  done
}

do_mount() {
  # A client that was killed leaves a dead mount behind.
  grep -q " $D/mnt " /proc/self/mountinfo && { fusermount3 -uz "$D/mnt" 2>/dev/null || umount -l "$D/mnt"; }
  mkdir -p "$D/mnt"
  rclone mount ":smb:jobs" "$D/mnt" --config /dev/null --smb-host "$ADDR" --smb-user root \
    --smb-pass "$(rclone obscure "$PASS")" --allow-other --daemon --dir-cache-time 1s \
    --vfs-cache-mode writes --vfs-write-back 0s --cache-dir "$D/cache" \
    --log-file "$D/rclone.log" || return 1
  for _ in $(seq 1 50); do grep -q " $D/mnt " /proc/self/mountinfo && return 0; sleep 0.1; done
  return 1
}

do_umount() {
  grep -q " $D/mnt " /proc/self/mountinfo || return 0
  fusermount3 -u "$D/mnt" 2>/dev/null || umount -l "$D/mnt" 2>/dev/null
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
kill) p=$(client_pid); [ -n "$p" ] && kill -9 $p ;;
down)
  do_umount
  if [ -f "$D/pid/smbd.pid" ]; then
    p=$(cat "$D/pid/smbd.pid"); kill "$p" 2>/dev/null
    for _ in $(seq 1 25); do kill -0 "$p" 2>/dev/null || break; sleep 0.2; done
    kill -9 "$p" 2>/dev/null
  fi
  rm -rf "$D" ;;
esac
