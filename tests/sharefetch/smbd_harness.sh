#!/usr/bin/env bash
# Runs a command next to a throwaway Samba server that only it can reach.
#
# usage: smbd_harness.sh [options] -- command [args...]
#   --share-dir DIR      folder to export (default: an empty folder made here,
#                        which the command may fill; it is removed afterwards)
#   --share-name NAME    name of the guest share (default: share)
#   --netbios-name NAME  the server's NetBIOS name, at most 15 characters
#                        (default: SMBTEST)
#   --keep-logs          print smbd's log to standard error when done
#   --default-protocols  leave the protocol range at Samba's default (SMB2 and
#                        later, SMB1 refused) instead of allowing NT1
#   --global LINE        one more line for [global] (repeatable)
#   --share-option LINE  one more line for the share (repeatable)
#
# Needs root. The command runs in private network, PID and mount namespaces:
# the loopback interface is brought up, smbd listens on 127.0.0.1 port 139
# (NT1 and later, guest access, read-only share), and nothing of the host's
# Samba configuration or state is touched. When the command ends (or the
# harness is interrupted or killed) every smbd process goes with the
# namespaces and the temporary folder is removed. The exit status is the
# command's; 77 when not run as root (CTest counts it as skipped), 97 when
# the server could not be started.
#
# The command sees these variables:
#   SMBD_HARNESS_ADDRESS      127.0.0.1
#   SMBD_HARNESS_SERVER_NAME  the NetBIOS name
#   SMBD_HARNESS_SHARE        the share name
#   SMBD_HARNESS_SHARE_PATH   \\NAME\share, ready for SMBConnect
#   SMBD_HARNESS_SHARE_DIR    the exported folder (writable by root)
#   SMBD_HARNESS_PID_FILE     file with the pid of the main smbd; that pid is
#                             also the process group of every smbd, so
#                             kill(-pid, SIGKILL) stops the server for good
#   SMBD_HARNESS_LOG          smbd's log file
#   SMBD_HARNESS_CONF         smbd's configuration (smbstatus -s needs it)
#   SMBD_HARNESS_PROTOCOLS    nt1 (SMB1 allowed) or default (--default-protocols)
#
# Example (check that the server answers):
#   sudo tests/sharefetch/smbd_harness.sh -- \
#     sh -c 'smbclient -m NT1 --option="client min protocol=NT1" -N "//$SMBD_HARNESS_ADDRESS/$SMBD_HARNESS_SHARE" -c ls'
set -euo pipefail

share_dir= share_name=share netbios_name=SMBTEST keep_logs=0
min_protocol="server min protocol = NT1"
extra_global=() extra_share=()
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --share-dir) share_dir=$2; shift 2 ;;
    --share-name) share_name=$2; shift 2 ;;
    --netbios-name) netbios_name=$2; shift 2 ;;
    --keep-logs) keep_logs=1; shift ;;
    --default-protocols) min_protocol=; shift ;;
    --global) extra_global+=("$2"); shift 2 ;;
    --share-option) extra_share+=("$2"); shift 2 ;;
    --) shift; break ;;
    -h|--help) usage ;;
    *) echo "smbd_harness: unknown option $1" >&2; usage ;;
  esac
done
[ $# -gt 0 ] || usage
if [ ${#netbios_name} -gt 15 ] || [ -z "$netbios_name" ]; then
  echo "smbd_harness: the NetBIOS name must have 1 to 15 characters" >&2; exit 2
fi

# First pass: re-enter this script as PID 1 of fresh namespaces. When PID 1
# ends, the kernel ends every process left in the PID namespace, smbd
# included. unshare ignores SIGTERM and SIGINT itself, so this pass turns them
# into a kill of unshare, which --kill-child passes on as SIGTERM to the inner
# pass; that one stops smbd and removes its folder.
if [ -z "${SMBD_HARNESS_INNER:-}" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "smbd_harness: needs root (network namespace and port 139); skipped" >&2; exit 77
  fi
  for tool in smbd unshare ip setpriv; do
    command -v "$tool" >/dev/null || { echo "smbd_harness: $tool is missing" >&2; exit 97; }
  done
  [ -z "$share_dir" ] || share_dir=$(cd "$share_dir" && pwd)
  export SMBD_HARNESS_INNER=1
  passed=()
  [ $keep_logs = 1 ] && passed+=(--keep-logs)
  [ -z "$min_protocol" ] && passed+=(--default-protocols)
  for line in ${extra_global[@]+"${extra_global[@]}"}; do passed+=(--global "$line"); done
  for line in ${extra_share[@]+"${extra_share[@]}"}; do passed+=(--share-option "$line"); done
  unshare --net --pid --fork --kill-child=TERM --mount-proc \
    bash "$0" --share-dir "${share_dir:-}" --share-name "$share_name" \
    --netbios-name "$netbios_name" ${passed[@]+"${passed[@]}"} -- "$@" <&0 &
  inner=$!
  trap 'kill -KILL $inner 2>/dev/null; exit 143' TERM HUP
  trap 'kill -KILL $inner 2>/dev/null; exit 130' INT
  wait $inner
  exit $?
fi
unset SMBD_HARNESS_INNER

base=$(mktemp -d "${TMPDIR:-/tmp}/smbd-harness.XXXXXX")
smbd_pid= command_pid=
cleanup() {
  local rc=$?
  trap - EXIT INT TERM HUP
  if [ -n "$command_pid" ]; then
    kill -TERM "$command_pid" 2>/dev/null || true
    wait "$command_pid" 2>/dev/null || true
  fi
  if [ -n "$smbd_pid" ]; then
    kill -TERM -- "-$smbd_pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 -- "-$smbd_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$smbd_pid" 2>/dev/null || true
    wait "$smbd_pid" 2>/dev/null || true
  fi
  if [ $keep_logs = 1 ] && [ -f "$base/log/smbd.log" ]; then
    echo "----- smbd log" >&2; cat "$base/log/smbd.log" >&2
  fi
  rm -rf "$base"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

ip link set lo up
# Files the command puts on the share must be readable by the guest too.
umask 022

# The guest account (nobody) must be able to walk down to the share.
chmod 0755 "$base"
mkdir -p "$base"/{etc,log,lock,state,cache,private,pid,ncalrpc}
chmod 0700 "$base/private"
if [ -z "$share_dir" ]; then
  share_dir=$base/share
  mkdir -m 0755 "$share_dir"
fi
if ! setpriv --reuid=nobody --regid=nogroup --clear-groups -- test -r "$share_dir" -a -x "$share_dir"; then
  echo "smbd_harness: $share_dir (or a folder above it) is not readable by nobody" >&2
  exit 97
fi

conf=$base/etc/smb.conf
# Extra globals come last in [global], so that they win over the lines above.
global_tail=$(for line in ${extra_global[@]+"${extra_global[@]}"}; do printf '  %s\n' "$line"; done)
cat >"$conf" <<EOF
[global]
  netbios name = $netbios_name
  workgroup = WORKGROUP
  server role = standalone server
  $min_protocol
  map to guest = Bad User
  guest account = nobody
  smb ports = 139
  interfaces = lo
  bind interfaces only = yes
  disable netbios = yes
  disable spoolss = yes
  load printers = no
  printing = bsd
  printcap name = /dev/null
  log file = $base/log/smbd.log
  log level = 1
  max log size = 0
  lock directory = $base/lock
  state directory = $base/state
  cache directory = $base/cache
  private dir = $base/private
  pid directory = $base/pid
  ncalrpc dir = $base/ncalrpc
  passdb backend = tdbsam:$base/private/passdb.tdb
$global_tail

[$share_name]
  path = $share_dir
  guest ok = yes
  read only = yes
  browseable = yes
EOF
for line in ${extra_share[@]+"${extra_share[@]}"}; do
  printf '  %s\n' "$line" >>"$conf"
done

# smbd -F stays in the foreground and makes its own process group, which its
# per-client children share.
smbd -F -s "$conf" </dev/null >>"$base/log/smbd.stdout" 2>&1 &
smbd_pid=$!

# Ready when port 139 accepts a connection.
ready=0
for _ in $(seq 150); do
  if ! kill -0 "$smbd_pid" 2>/dev/null; then break; fi
  if (exec 3<>/dev/tcp/127.0.0.1/139) 2>/dev/null; then ready=1; break; fi
  sleep 0.1
done
if [ $ready = 0 ]; then
  echo "smbd_harness: smbd did not start; its output:" >&2
  cat "$base/log/smbd.stdout" "$base/log/smbd.log" 2>/dev/null >&2 || true
  exit 97
fi
echo "$smbd_pid" >"$base/smbd.pid"

export SMBD_HARNESS_ADDRESS=127.0.0.1
export SMBD_HARNESS_SERVER_NAME=$netbios_name
export SMBD_HARNESS_SHARE=$share_name
export SMBD_HARNESS_SHARE_PATH="\\\\$netbios_name\\$share_name"
export SMBD_HARNESS_SHARE_DIR=$share_dir
export SMBD_HARNESS_PID_FILE=$base/smbd.pid
export SMBD_HARNESS_LOG=$base/log/smbd.log
export SMBD_HARNESS_CONF=$conf
export SMBD_HARNESS_PROTOCOLS=$([ -n "$min_protocol" ] && echo nt1 || echo default)

# In the background so that a SIGTERM is acted on at once, not after the
# command has finished.
"$@" &
command_pid=$!
set +e
wait "$command_pid"
rc=$?
set -e
command_pid=
exit $rc
