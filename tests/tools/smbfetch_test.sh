#!/usr/bin/env bash
# usage: smbfetch_test.sh SMBFETCH HARNESS FIXTURES_DIR
# Fetches files with smbfetch from a throwaway loopback Samba share (started by
# the harness in private namespaces; needs root) and checks every byte, the
# temporary-file rule, interrupts and the error messages.
set -euo pipefail
source "$(dirname "$0")/smbfetch_lib.sh"

cp "$fixtures"/mp3/*.mp3 "$fixtures"/images/*.gif "$share"/
mkdir "$share/sub dir"
cp "$fixtures"/mp3/cbr64_44100_mono.mp3 "$share/sub dir/tone 64.mp3"
# Large enough to be interrupted mid-way; sparse, so it costs no disk here.
truncate -s 512M "$share/big.bin"
truncate -s 48M "$share/mid.bin"
chmod -R a+rX "$share"

no_leftovers() { ! ls -A "$work/out" | grep -q 'smbfetch-'; }

# --- whole files, both forms
check "ADDRESS SERVERNAME SHARE PATH into a folder" \
  fetch 0 "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o out/
check "  bytes equal the original" cmp -s out/vbr_44100_stereo.mp3 "$fixtures/mp3/vbr_44100_stereo.mp3"
check "  one summary line on a non-terminal" \
  test "$(echo "$err" | wc -l)" = 1 -a \
       -n "$(echo "$err" | grep -F " $(stat -c %s "$fixtures/mp3/vbr_44100_stereo.mp3") bytes in ")"
check "smb:// form, nested path with spaces, -o FILE" \
  fetch 0 "smb://$addr/$sh/sub%20dir/tone%2064.mp3" -o out/tone.mp3
check "  bytes equal the original" cmp -s out/tone.mp3 "$fixtures/mp3/cbr64_44100_mono.mp3"
check "backslash path, default output name in the current folder" \
  fetch 0 "$addr" "$name" "$sh" '\gif87a_45x27.gif' --quiet
check "  bytes equal the original, nothing printed" \
  test -z "$err" -a "$(sha256sum <gif87a_45x27.gif)" = "$(sha256sum <"$fixtures/images/gif87a_45x27.gif")"
check "-v names the dialect and the size" fetch 0 -v "$addr" "$name" "$sh" gif87a_45x27.gif -o out/gif.gif
check "  NT LM 0.12 here" grep -q 'as guest, dialect NT LM 0\.12 (SMB1)$' "$work/err"
check "  and the size" grep -q "has $(stat -c %s "$fixtures/images/gif87a_45x27.gif") bytes; fetching from byte 0" "$work/err"

# --- offsets
src=$fixtures/mp3/cbr128_44100_id3v2.mp3
size=$(stat -c %s "$src")
check "--offset 1000 fetches the rest" fetch 0 "$addr" "$name" "$sh" cbr128_44100_id3v2.mp3 -o out/tail --offset 1000
check "  bytes equal the original's tail" cmp -s out/tail <(tail -c +1001 "$src")
check "--offset at the end gives an empty file" \
  fetch 0 "$addr" "$name" "$sh" cbr128_44100_id3v2.mp3 -o out/empty --offset "$size"
check "  empty" test -f out/empty -a ! -s out/empty
check "--offset past the end fails" \
  fetch 1 "$addr" "$name" "$sh" cbr128_44100_id3v2.mp3 -o out/past --offset $((size + 1))
check "  and says so, writing nothing" test ! -e out/past -a -n "$(echo "$err" | grep 'past the end')"

# --- 4 GiB and more, byte for byte: a sparse file with marks at its start,
# across 4 GiB and at its end
huge=$share/huge.bin
truncate -s $(((4 << 30) + 1000)) "$huge"
mark() { printf '%s' "$2" | dd of="$huge" bs=1 seek="$1" conv=notrunc status=none; }
mark 0 start
mark $(((4 << 30) - 6)) "across 4 GiB"
mark $(((4 << 30) + 993)) "the end"
chmod a+r "$huge"
whole() { "$smbfetch" "$addr" "$name" "$sh" huge.bin -o - 2>"$work/err" </dev/null | cmp - "$huge"; }
check "4 GiB + 1000 bytes to standard output, byte for byte" whole
check "  the summary counts every byte" grep -q ' 4294968296 bytes in ' "$work/err"
check "--offset past 4 GiB" fetch 0 "$addr" "$name" "$sh" huge.bin --offset $(((4 << 30) - 10)) -o out/huge.tail
check "  bytes equal the tail" cmp -s out/huge.tail <(tail -c 1010 "$huge")
check "--raw cannot start at 4 GiB - 1" \
  fetch 2 "$addr" "$name" "$sh" huge.bin --raw --offset $(((4 << 30) - 1)) -o out/huge.raw

# --- names in any language reach the share as UTF-8
mkdir "$share/音楽"
cp "$fixtures/mp3/cbr64_44100_mono.mp3" "$share/café.mp3"
cp "$fixtures/mp3/cbr64_44100_mono.mp3" "$share/音楽/曲.mp3"
chmod -R a+rX "$share"
tone=$fixtures/mp3/cbr64_44100_mono.mp3
check "café.mp3" fetch 0 "$addr" "$name" "$sh" café.mp3 -o out/
check "  bytes equal, under its own name" cmp -s out/café.mp3 "$tone"
check "音楽/曲.mp3 in the smb:// form, percent-encoded" \
  fetch 0 "smb://$addr/$sh/%E9%9F%B3%E6%A5%BD/%E6%9B%B2.mp3" -o out/
check "  bytes equal, under its own name" cmp -s out/曲.mp3 "$tone"
check "音楽/曲.mp3 with a UTF-8 locale" bash -c "LC_ALL=C.UTF-8 '$smbfetch' -q $addr $name $sh 音楽/曲.mp3 -o '$work/out/utf8.mp3'"
check "  bytes equal" cmp -s out/utf8.mp3 "$tone"
# A Latin-1 locale of our own: the name typed in Latin-1 is converted for the
# server, and the local file keeps the name as typed.
localedef -i fr_FR -f ISO-8859-1 "$work/fr_FR.ISO-8859-1" 2>/dev/null || true
latin1() {
  LOCPATH=$work LC_ALL=fr_FR.ISO-8859-1 "$smbfetch" -q "$addr" "$name" "$sh" $'caf\xe9.mp3' -o out/ &&
    cmp -s out/$'caf\xe9.mp3' "$tone"
}
check "caf\\xe9.mp3 typed in a Latin-1 locale" latin1
check "a name in another case" fetch 0 "$addr" "$name" "$sh" 音楽/曲.MP3 -o out/upper.mp3
check "  bytes equal" cmp -s out/upper.mp3 "$tone"

# --- output targets: devices, FIFOs and links are written through, never replaced
vbr=$fixtures/mp3/vbr_44100_stereo.mp3
vbr_sum=$(sha256sum <"$vbr")
check "-o - writes to standard output" bash -c \
  "'$smbfetch' $addr $name $sh vbr_44100_stereo.mp3 -o - 2>'$work/err' | sha256sum >'$work/sum'"
check "  the bytes, and no file named -" test "$(cat "$work/sum")" = "$vbr_sum" -a ! -e ./-
check "  the summary goes to standard error" grep -q ' bytes in ' "$work/err"
# A node of our own: a regression must not replace the system's /dev/null.
mknod out/null c 1 3
check "a character device as output" fetch 0 "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o out/null
check "  stays a character device" test -c out/null
mkfifo out/fifo
sha256sum <out/fifo >"$work/sum" &
reader=$!
check "a FIFO as output" fetch 0 "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o out/fifo
wait $reader
check "  gets the bytes in order and stays a FIFO" test "$(cat "$work/sum")" = "$vbr_sum" -a -p out/fifo
rm out/fifo
# A listening Unix socket (perl-base is part of every Debian system).
perl -MIO::Socket::UNIX -e '
  my $server = IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => $ARGV[0], Listen => 1) or die "$!";
  my $client = $server->accept; binmode $client; binmode STDOUT;
  while (read($client, my $block, 65536)) { print $block }' out/socket >"$work/from-socket" &
listener=$!
for _ in $(seq 100); do [ -S out/socket ] && break; sleep 0.05; done
check "a socket as output" fetch 0 "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o out/socket
wait $listener
check "  gets the bytes in order and stays a socket" \
  test "$(sha256sum <"$work/from-socket")" = "$vbr_sum" -a -S out/socket
mkdir out/targets
echo "old" >out/targets/song.mp3
ln -s targets/song.mp3 out/link.mp3
check "a symbolic link as output" fetch 0 "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o out/link.mp3
check "  stays a link; its target has the bytes" \
  test -L out/link.mp3 -a "$(readlink out/link.mp3)" = targets/song.mp3 -a \
       "$(sha256sum <out/targets/song.mp3)" = "$vbr_sum"
ln -s targets/new.mp3 out/dangling.mp3
check "a dangling link as output" fetch 0 "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o out/dangling.mp3
check "  creates its target" test -L out/dangling.mp3 -a "$(sha256sum <out/targets/new.mp3)" = "$vbr_sum"
check "  no temporary files beside the targets" bash -c "! ls -A '$work/out/targets' | grep -q smbfetch-"
echo "old" >out/mode.mp3
chmod 0604 out/mode.mp3
check "an existing file is replaced" fetch 0 "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o out/mode.mp3
check "  and keeps its permission bits" test "$(stat -c %a out/mode.mp3)" = 604
check "a new file" bash -c "umask 027; '$smbfetch' -q $addr $name $sh vbr_44100_stereo.mp3 -o '$work/out/new.mp3'"
check "  gets 0666 less the umask" test "$(stat -c %a out/new.mp3)" = 640
mkdir -m 0755 "$work/locked"
echo "root's" >"$work/locked/song.mp3"
chmod 0644 "$work/locked/song.mp3"
chmod 0755 "$work"
unwritable() {
  set +e
  setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    "$smbfetch" "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o "$work/locked/song.mp3" 2>"$work/err"
  local got=$?
  set -e
  [ $got = 1 ] && grep -q "you may not write it (mode 0644)" "$work/err" &&
    [ "$(cat "$work/locked/song.mp3")" = "root's" ] || { echo "  status $got: $(cat "$work/err")"; return 1; }
}
check "a file the user may not write is refused and untouched" unwritable

# --- --continue: in place, from the length already there
head -c 1000 "$src" >out/part.mp3
check "--continue after 1000 bytes" fetch 0 "$addr" "$name" "$sh" cbr128_44100_id3v2.mp3 -o out/part.mp3 -c
check "  completes the file" cmp -s out/part.mp3 "$src"
check "  and says where it continued" grep -q '(continued after 1000)' "$work/err"
check "--continue on a complete file" fetch 0 "$addr" "$name" "$sh" cbr128_44100_id3v2.mp3 -o out/part.mp3 -c
check "  leaves it as it was" cmp -s out/part.mp3 "$src"
tail -c +1001 "$src" | head -c 500 >out/tailpart
check "--continue with --offset" \
  fetch 0 "$addr" "$name" "$sh" cbr128_44100_id3v2.mp3 -o out/tailpart -c --offset 1000
check "  continues at offset + length" cmp -s out/tailpart <(tail -c +1001 "$src")
{ cat "$src"; echo "more"; } >out/longer.mp3
check "--continue when the remote file is shorter" \
  fetch 1 "$addr" "$name" "$sh" cbr128_44100_id3v2.mp3 -o out/longer.mp3 -c
check "  says it changed, leaves the local file" \
  test -n "$(grep 'changed on the server' "$work/err")" -a "$(stat -c %s out/longer.mp3)" = $((size + 5))
check "--continue to standard output is a usage error" \
  fetch 2 "$addr" "$name" "$sh" cbr128_44100_id3v2.mp3 -o - -c

# --- failures name what failed and never touch the target
echo "old contents" >out/kept
check "missing file: status 8" fetch 8 "$addr" "$name" "$sh" no_such_file.mp3 -o out/kept
check "  message names the file" grep -q 'no such file on .*: \\no_such_file.mp3' "$work/err"
check "  target untouched" test "$(cat out/kept)" = "old contents"
check "refused share: status 7" fetch 7 "smb://$addr/no_such_share/vbr_44100_stereo.mp3" -o out/kept
check "  message names the share" grep -q 'refused the share .*no_such_share' "$work/err"
check "  target untouched" test "$(cat out/kept)" = "old contents"
check "nothing listens on 127.0.0.2: status 3" fetch 3 127.0.0.2 "$name" "$sh" vbr_44100_stereo.mp3 -o out/kept
check "  message names the address" grep -q 'nothing is listening at 127.0.0.2:139' "$work/err"
check "folder for the output is missing" fetch 1 "$addr" "$name" "$sh" vbr_44100_stereo.mp3 -o out/none/x
check "  message names the temporary file" grep -q 'cannot create a temporary file in out/none' "$work/err"
check "usage: three arguments" fetch 2 "$addr" "$name" "$sh"
check "usage: not a URL" fetch 2 "http://$addr/$sh/x"
check "no temporary files left behind" no_leftovers

# --- progress bar on a terminal
check "progress bar with rate and time left on a terminal" bash -c \
  "script -qec '$smbfetch $addr $name $sh mid.bin -o $work/out/mid.bin' /dev/null | tr '\r' '\n' |
   grep -Eq '^100% \[#+\] 48\.0 MiB / 48\.0 MiB .*/s  ETA '"
check "  bytes equal the original" cmp -s out/mid.bin "$share/mid.bin"
rm -f out/mid.bin

# --- interrupts: stop after the current block, keep nothing
interrupt() { # signal, expected status
  "$smbfetch" "$addr" "$name" "$sh" big.bin -o out/big.bin 2>"$work/err" &
  local pid=$! started=0
  for _ in $(seq 500); do
    if [ -n "$(find out -name '.big.bin.smbfetch-*' -size +0 2>/dev/null)" ]; then started=1; break; fi
    sleep 0.02
  done
  kill -"$1" "$pid"
  local got=0
  wait "$pid" || got=$?
  [ $started = 1 ] && [ "$got" = "$2" ] && [ ! -e out/big.bin ] && no_leftovers &&
    grep -q 'interrupted after' "$work/err" || { echo "  status $got: $(cat "$work/err")"; return 1; }
}
check "Ctrl-C mid-transfer: status 130, no target, no temporary file" interrupt INT 130
check "SIGTERM mid-transfer: status 143, no target, no temporary file" interrupt TERM 143

resumed() {
  "$smbfetch" "$addr" "$name" "$sh" big.bin -o out/big.bin -c 2>"$work/err" &
  local pid=$! started=0
  for _ in $(seq 500); do
    if [ -n "$(find out -name big.bin -size +0 2>/dev/null)" ]; then started=1; break; fi
    sleep 0.02
  done
  kill -INT "$pid"
  local got=0
  wait "$pid" || got=$?
  local kept
  kept=$(stat -c %s out/big.bin)
  [ $started = 1 ] && [ "$got" = 130 ] && [ "$kept" -lt $((512 << 20)) ] &&
    grep -q "out/big.bin keeps $kept bytes" "$work/err" || { echo "  status $got: $(cat "$work/err")"; return 1; }
  fetch 0 "$addr" "$name" "$sh" big.bin -o out/big.bin -c &&
    grep -q "(continued after $kept)" "$work/err" && cmp -s out/big.bin "$share/big.bin"
}
check "--continue: Ctrl-C keeps the partial file, a second run completes it" resumed
rm -f out/big.bin

# --- the server dies mid-transfer (last: the server is gone afterwards)
server_dies() {
  "$smbfetch" "$addr" "$name" "$sh" big.bin -o out/big.bin 2>"$work/err" &
  local pid=$!
  for _ in $(seq 500); do
    [ -z "$(find out -name '.big.bin.smbfetch-*' -size +0 2>/dev/null)" ] || break
    sleep 0.02
  done
  kill -KILL -- "-$(cat "$SMBD_HARNESS_PID_FILE")"
  local got=0
  wait "$pid" || got=$?
  [ "$got" = 9 ] && [ ! -e out/big.bin ] && no_leftovers &&
    grep -Eq 'reading \\big.bin failed at byte [0-9]+ with code -[35]' "$work/err" ||
    { echo "  status $got: $(cat "$work/err")"; return 1; }
}
check "server killed mid-transfer: status 9, read code named, no target" server_dies

finish
