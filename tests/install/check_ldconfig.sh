#!/usr/bin/env bash
# usage: check_ldconfig.sh BUILD_DIR MP3_FIXTURE C_COMPILER [CFLAGS...]
# The README's system-wide install, step by step: cmake --install to
# /usr/local, a host built with pkg-config that does not start until ldconfig
# has run, and does after. It all happens in a private mount namespace where
# /etc and /usr/local are overlays on a temporary folder, so the machine's own
# /usr/local and loader cache stay as they were. Needs root (77 = skipped).
set -euo pipefail
if [ -z "${MP_LDCONFIG_SCRATCH:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "skipped: needs root" >&2; exit 77; }
  command -v unshare >/dev/null || { echo "skipped: no unshare" >&2; exit 77; }
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/mp-ldconfig.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
  status=0
  MP_LDCONFIG_SCRATCH=$scratch unshare --mount --propagation private "$0" "$@" || status=$?
  exit "$status"
fi

scratch=$MP_LDCONFIG_SCRATCH build=$1 mp3=$2 cc=$3
shift 3
cflags=("$@")
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
for dir in /etc /usr/local; do
  layer=$scratch/overlay$dir
  mkdir -p "$layer/upper" "$layer/work"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir" ||
    { echo "skipped: cannot lay an overlay on $dir" >&2; exit 77; }
done
known() { ldconfig -p | grep -q 'libmediaprobe\.so\.1 '; }
known_before=0
known && known_before=1

cmake --install "$build" --prefix /usr/local >/dev/null
host=$scratch/host
# shellcheck disable=SC2046
"$cc" "${cflags[@]}" -std=c11 "$here/consumer/probe_consumer.c" $(pkg-config --cflags --libs mediaprobe) -o "$host"
if [ $known_before = 0 ]; then
  ! "$host" "$mp3" 2>"$scratch/err" || fail "the host started before ldconfig ran"
  grep -q 'libmediaprobe.so.1: cannot open shared object file' "$scratch/err" ||
    fail "the host failed otherwise: $(cat "$scratch/err")"
fi
ldconfig
known || fail "ldconfig did not pick up /usr/local's libmediaprobe.so.1"
"$host" "$mp3" || fail "the host does not start after ldconfig"
[ "$(/usr/local/bin/mprobe --json "$mp3" | grep -c '"bitrate_kbps":128')" = 1 ] || fail "/usr/local/bin/mprobe"
echo "installed under /usr/local, the host runs after ldconfig"
