#!/usr/bin/env bash
# usage: smbfetch_causes_test.sh SMBFETCH HARNESS FIXTURES_DIR
# Each way a server can say no, against a throwaway Samba server set up to say
# it: the message names the cause and the exit status is the one for it.
set -euo pipefail

# One harness run per server setup; this script runs again inside each.
if [ -z "${SMBFETCH_CASE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: the loopback Samba share needs root"; exit 77; }
  rc=0
  for case in silent guest-refused smb1-off dialects-refused encrypted; do
    echo "--- $case"
    SMBFETCH_CASE=$case bash "$0" "$@" || rc=1
  done
  exit $rc
fi
case $SMBFETCH_CASE in
  silent) harness_options=() ;;
  guest-refused) harness_options=(--global "map to guest = Never") ;;
  smb1-off) harness_options=(--default-protocols) ;;
  dialects-refused) harness_options=(--default-protocols --global "server min protocol = SMB3_11") ;;
  encrypted) harness_options=(--share-option "smb encrypt = required") ;;
esac
source "$(dirname "$0")/smbfetch_lib.sh"

echo "tone" >"$share/tone.txt"
chmod a+r "$share/tone.txt"
cause() { # status, message pattern
  fetch "$1" "$addr" "$name" "$sh" tone.txt -o out/tone.txt && grep -Eq "$2" "$work/err" &&
    [ ! -e out/tone.txt ] || { echo "  $err"; return 1; }
}

# A file that shrinks on the server while it is read. (Over SMB1 Samba pads
# such reads with zeros, so only SMB2 shows it.) The reader of the FIFO takes
# one byte, so the first block is on its way, then waits for a go.
shrinks() {
  head -c 48M /dev/zero >"$share/shrinks.bin"
  chmod a+r "$share/shrinks.bin"
  mkfifo out/slow
  bash -c 'dd bs=1 count=1 status=none >/dev/null; touch "$1/flowing"
           while [ ! -e "$1/go" ]; do sleep 0.05; done; cat >/dev/null' reader "$work" <out/slow &
  local reader=$! pid got=0
  "$smbfetch" "$addr" "$name" "$sh" shrinks.bin -o out/slow 2>"$work/err" &
  pid=$!
  for _ in $(seq 300); do [ -e "$work/flowing" ] && break; sleep 0.05; done
  truncate -s 1M "$share/shrinks.bin"
  touch "$work/go"
  wait "$pid" || got=$?
  wait "$reader"
  [ "$got" = 9 ] && grep -q 'shrinks.bin ended at byte 4194304, before the 50331648 it had when opened' "$work/err" ||
    { echo "  status $got: $(cat "$work/err")"; return 1; }
}

case $SMBFETCH_CASE in
  silent)
    # A stopped smbd still completes TCP connects (the kernel's backlog) but
    # never answers the NetBIOS session request.
    kill -STOP "$(cat "$SMBD_HARNESS_PID_FILE")"
    check "a server that never answers: status 4 after the 8 s wait" \
      cause 4 "^smbfetch: 127\.0\.0\.1:139 did not answer within 8 s"
    kill -CONT "$(cat "$SMBD_HARNESS_PID_FILE")"
    check "  then it answers again" fetch 0 "$addr" "$name" "$sh" tone.txt -o out/tone.txt -q ;;
  guest-refused)
    check "guest logon refused: status 6, with the Samba setting" \
      cause 6 'refused the guest logon.*"map to guest = Bad User"' ;;
  smb1-off)
    # The library speaks SMB2 to a server that refuses SMB1.
    check "SMB1 refused: fetched over SMB2" fetch 0 "$addr" "$name" "$sh" tone.txt -o out/tone.txt -q
    check "  byte for byte" cmp -s out/tone.txt "$share/tone.txt"
    check "  -v names the dialect" fetch 0 -v "$addr" "$name" "$sh" tone.txt -o -
    check "  as SMB 3.0.2" grep -q 'as guest, dialect SMB 3\.0\.2 (0x0302)$' "$work/err"
    check "  a file that shrinks while read: status 9, where it ended" shrinks ;;
  dialects-refused)
    check "SMB1 and SMB 2.0.2 to 3.0.2 refused: status 5, with the Samba setting" \
      cause 5 'refused the SMB1 dialect \(NT LM 0\.12\) and the SMB2/3 dialects.*"server min protocol = NT1"' ;;
  encrypted)
    check "a share that requires encryption: status 7" cause 7 'refused the share .*requires encryption' ;;
esac
finish
