#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds, probes a folder
# of sample media with mprobe (libmediaprobe), then serves that folder from a
# throwaway Samba server on loopback and fetches a file back with smbfetch
# (libsharefetch), comparing checksums. Needs root (packages, and the private
# network namespace the server runs in). Leaves nothing behind but the build.
# usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
fixtures=$root/tests/fixtures

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh needs root: it installs packages and starts a Samba server in a private network namespace." >&2
  echo "Run it as root, e.g.: sudo bash scripts/demo.sh" >&2
  exit 1
fi

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
work=$(mktemp -d "${TMPDIR:-/tmp}/mp-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

say "Installing missing packages (scripts/packages.txt)"
bash "$root/scripts/deps.sh"
echo "all present"

say "Building into $build"
if ! { cmake -S "$root" -B "$build" && cmake --build "$build" -j"$(nproc)"; } >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  echo "build failed" >&2
  exit 1
fi
echo "built libmediaprobe.so.1, libsharefetch.so.1, mprobe and smbfetch"
mprobe=$build/tools/mprobe smbfetch=$build/tools/smbfetch

# A folder of sample media, one or two of each kind the probes know.
samples=$work/samples
mkdir -p "$samples"
cp "$fixtures/mp3/cbr128_44100_id3v2.mp3" "$fixtures/mp3/vbr_44100_stereo.mp3" \
   "$fixtures/wave/pcm16_44100_stereo.wav" "$fixtures/wave/pcm24_48000_stereo_extensible.wav" \
   "$fixtures/avi/video_2997fps_audio.avi" \
   "$fixtures/images/jpeg_progressive_41x29.jpg" "$fixtures/images/gif89a_300x17.gif" \
   "$fixtures/images/bmp_topdown40_79x-61.bmp" \
   "$fixtures/pe/version_e4_64.dll" "$samples/"
# The Samba guest account reads the share.
chmod 0755 "$work" "$samples"
chmod 0644 "$samples"/*

say "libmediaprobe: mprobe over $(ls "$samples" | wc -l) sample files"
(cd "$samples" && "$mprobe" -- *)
echo
echo "The same, as JSON (one object per file), for the MP3 with a variable bitrate:"
(cd "$samples" && "$mprobe" --json vbr_44100_stereo.mp3)

say "libsharefetch: smbfetch from a throwaway Samba share on 127.0.0.1:139"
pick=video_2997fps_audio.avi
export DEMO_SMBFETCH=$smbfetch DEMO_MPROBE=$mprobe DEMO_PICK=$pick DEMO_OUT=$work/fetched
mkdir -p "$DEMO_OUT"
# The harness starts smbd in private namespaces, runs the command beside it,
# and takes the server down again when the command ends.
bash "$root/tests/sharefetch/smbd_harness.sh" --share-dir "$samples" --share-name media -- bash -c '
  set -e
  echo "server: \\\\$SMBD_HARNESS_SERVER_NAME\\$SMBD_HARNESS_SHARE at $SMBD_HARNESS_ADDRESS, guest access"
  echo "\$ smbfetch $SMBD_HARNESS_ADDRESS $SMBD_HARNESS_SERVER_NAME $SMBD_HARNESS_SHARE $DEMO_PICK -o fetched/"
  "$DEMO_SMBFETCH" "$SMBD_HARNESS_ADDRESS" "$SMBD_HARNESS_SERVER_NAME" "$SMBD_HARNESS_SHARE" "$DEMO_PICK" \
    -o "$DEMO_OUT/"
  echo "\$ smbfetch smb://$SMBD_HARNESS_ADDRESS/$SMBD_HARNESS_SHARE/missing.mp3   (a file that is not there)"
  "$DEMO_SMBFETCH" "smb://$SMBD_HARNESS_ADDRESS/$SMBD_HARNESS_SHARE/missing.mp3" -o "$DEMO_OUT/" && exit 1
  echo "(exit status $?, as expected)"
'

original=$(sha256sum <"$samples/$pick" | cut -d" " -f1)
fetched=$(sha256sum <"$work/fetched/$pick" | cut -d" " -f1)
echo
echo "sha256 original: $original"
echo "sha256 fetched:  $fetched"
if [ "$original" != "$fetched" ]; then
  echo "MISMATCH: the fetched file differs from the original" >&2
  exit 1
fi
"$mprobe" "$work/fetched/$pick" | sed "s|$work/||"

say "Both libraries work: media probed locally, and fetched intact over SMB."
