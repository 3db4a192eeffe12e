# Sourced by the smbfetch tests (bash), which take SMBFETCH HARNESS FIXTURES_DIR.
# Runs the calling script again beside a throwaway Samba share (the harness's
# private namespaces; needs root; harness options from the array
# harness_options), then gives it a scratch folder, `check`, `fetch` and
# `finish`.
smbfetch=$1 harness=$2 fixtures=$3

if [ -z "${SMBFETCH_TEST_INNER:-}" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the loopback Samba share needs root"; exit 77
  fi
  export SMBFETCH_TEST_INNER=1
  exec bash "$harness" ${harness_options[@]+"${harness_options[@]}"} -- bash "$0" "$@"
fi

share=$SMBD_HARNESS_SHARE_DIR
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir out
addr=$SMBD_HARNESS_ADDRESS name=$SMBD_HARNESS_SERVER_NAME sh=$SMBD_HARNESS_SHARE
failures=0 checks=0
check() { # description, then a command that must succeed
  local what=$1; shift
  checks=$((checks + 1))
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
fetch() { # expected status, then smbfetch arguments; standard error in $err and $work/err
  local want=$1; shift
  set +e
  "$smbfetch" "$@" 2>"$work/err" </dev/null
  local got=$?
  set -e
  err=$(cat "$work/err")
  [ "$got" = "$want" ] || { echo "  smbfetch $* exited $got, expected $want: $err"; return 1; }
}
finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ $failures = 0 ]
}
