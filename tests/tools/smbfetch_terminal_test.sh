#!/usr/bin/env bash
# usage: smbfetch_terminal_test.sh SMBFETCH HARNESS FIXTURES_DIR
# The progress bar as a user sees it, in tmux panes of 120 and 40 columns:
# it fits, it follows a resize, and messages start on a line of their own.
set -euo pipefail
source "$(dirname "$0")/smbfetch_lib.sh"

truncate -s 48M "$share/mid.bin"
chmod -R a+rX "$share"

# A tmux server of our own, whose panes stay readable after their command ends.
echo 'set-option -g remain-on-exit on' >"$work/tmux.conf"
# Each pane gets a server of its own: a server that is still going away must
# not take the next one's socket with it.
panes=0
tm() { tmux -S "$work/tmux.$panes" -f "$work/tmux.conf" "$@"; }
trap 'tm kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
# The pane's shell writes the command's exit status to a file: tmux does not
# always collect it (seen under AddressSanitizer, whose exit is slow). The
# trap keeps the shell alive through a Ctrl-C and is reset for the command.
pane() { # columns, command
  tm kill-server 2>/dev/null || true
  panes=$((panes + 1))
  tm new-session -d -s t -x "$1" -y 12 "bash -c 'trap : INT; $2; echo \$? >$work/status.$panes'"
}
exit_status_is() { # status
  for _ in $(seq 300); do [ -s "$work/status.$panes" ] && break; sleep 0.05; done
  [ "$(cat "$work/status.$panes" 2>/dev/null)" = "$1" ] || { echo "  status: $(cat "$work/status.$panes" 2>/dev/null)"; return 1; }
}
wait_for() { # a tmux format that becomes 1
  for _ in $(seq 300); do [ "$(tm display-message -p -t t "$1")" = 1 ] && return 0; sleep 0.05; done
  echo "  gave up waiting for $1"; return 1
}
screen() { # the pane's lines, history included; -J joins wrapped ones. Fails without a pane.
  local text
  text=$(tm capture-pane -p -S - -t t "$@") || return 1
  grep -v -e '^ *$' -e '^Pane is dead' <<<"$text"
}
fits() { # columns: no line but a message reaches the last column, even wrapped
  local text
  text=$(screen -J) && ! grep -v '^smbfetch: ' <<<"$text" | awk -v w="$1" 'length($0) >= w { bad = 1 } END { exit !bad }'
}
last_bar_is() { # regex for the line above the first message
  local text
  text=$(screen) && grep -B1 -m1 '^smbfetch: ' <<<"$text" | head -1 | grep -Eq "$1" || { echo "  screen:"; screen; return 1; }
}
shows() { screen | grep -Eq "$1"; }
fetch_in() { # columns, output
  pane "$1" "$smbfetch $addr $name $sh mid.bin -o $2"
  wait_for '#{pane_dead}'
}
wide='^100% \[#{60,}\] 48\.0 MiB / 48\.0 MiB  [0-9.]+ [KMG]iB/s  ETA 0:00$'
narrow='^48\.0 MiB  [0-9.]+ [KMG]iB/s$'

check "120 columns: fetched" fetch_in 120 "$work/out/wide.bin"
check "  a bar with percentage, sizes, rate and time left" last_bar_is "$wide"
check "  fits the width" fits 120
check "  the summary starts its own line" shows '^smbfetch: .mid.bin -> '
check "  bytes equal the original" cmp -s out/wide.bin "$share/mid.bin"

check "40 columns: fetched" fetch_in 40 "$work/out/narrow.bin"
check "  bytes and rate only" last_bar_is "$narrow"
check "  fits the width" fits 40

# A FIFO whose reader waits for a go holds the fetch at its first block, the
# bar drawn. The reader opens the FIFO first and keeps it: a fetch that finds
# no reader would die of SIGPIPE.
mkfifo out/fifo
held() { # columns
  rm -f "$work/go"
  bash -c 'while [ ! -e "$1/go" ]; do sleep 0.05; done; cat >/dev/null' reader "$work" <out/fifo &
  pane "$1" "$smbfetch $addr $name $sh mid.bin -o $work/out/fifo"
  for _ in $(seq 200); do screen | grep -q '0 B / 48' && return 0; sleep 0.05; done
  return 1
}
release() { touch "$work/go"; }

check "a bar drawn at 120 columns" held 120
tm resize-window -t t -x 40 -y 12
wait_for '#{==:#{pane_width},40}'
release
check "  then a resize to 40 columns" wait_for '#{pane_dead}'
wait
check "  is drawn again in the narrow form" last_bar_is "$narrow"

check "a bar drawn at 80 columns" held 80
tm send-keys -t t C-c
check "  then Ctrl-C" wait_for '#{pane_dead}'
release
wait
check "  status 130" exit_status_is 130
interrupt_below_bar() {
  screen | grep -B1 '^smbfetch: interrupted after 0 of 50331648 bytes' | head -1 | grep -Eq '^  0% \[\.+\] 0 B / 48\.0 MiB'
  local ok=$?; [ $ok = 0 ] || screen; return $ok
}
check "  the message starts its own line, below the bar" interrupt_below_bar

finish
