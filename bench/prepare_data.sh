#!/usr/bin/env bash
# Makes the benchmark inputs in DIR (default /tmp/mp-bench-data) with sox,
# lame, ffmpeg and ImageMagick. Nothing here is committed; a second run reuses
# what is already there.
# usage: bench/prepare_data.sh [DIR]
set -euo pipefail
dir=${1:-/tmp/mp-bench-data}
mkdir -p "$dir/share"
cd "$dir"
# The 64 MiB file of the bulk reads through the delay proxy (added later
# than the rest, so made apart from it).
[ -f share/bulk64.bin ] || head -c $((64 * 1024 * 1024)) /dev/urandom > share/bulk64.bin
[ -f .complete ] && exit 0

q=(--quiet --noreplaygain)
# Loudness that changes, so VBR frame sizes vary as in music.
sox -n -r 44100 -c 2 -b 16 varied.wav synth 60 pinknoise tremolo 3 80 vol 0.6
sox -n -r 44100 -c 2 -b 16 tone.wav synth 30 sine 440 sine 660 vol 0.5

# Small files, as a player's library holds them.
lame "${q[@]}" -b 128 --cbr -t tone.wav cbr128.mp3
lame "${q[@]}" -b 128 --cbr --add-id3v2 --tt Bench --ta mediaprobe tone.wav cbr128_id3.mp3
lame "${q[@]}" -V 2 varied.wav vbr_v2.mp3

# About 100 MB of VBR: the tagged file, then its frames again and again (-t
# leaves the "Xing" frame out). Encoding 100 MB directly would take minutes;
# the frame headers, all a probe reads, are the same either way.
lame "${q[@]}" -V 2 -t varied.wav piece.mp3
cp vbr_v2.mp3 vbr_big.mp3
while [ "$(stat -c %s vbr_big.mp3)" -lt 100000000 ]; do cat piece.mp3 >> vbr_big.mp3; done
rm piece.mp3

# WAVE, AVI and pictures.
cp tone.wav pcm16_44100_stereo.wav
ffmpeg -loglevel error -y -f lavfi -i testsrc=size=640x480:rate=25 \
  -f lavfi -i sine=frequency=440:sample_rate=44100 -t 10 \
  -c:v mjpeg -q:v 5 -c:a pcm_s16le clip.avi
convert -size 1920x1080 gradient:navy-orange -set comment "mediaprobe bench" -quality 85 photo.jpg
convert -size 640x480 gradient:navy-orange -colors 64 picture.gif
convert -size 1920x1080 gradient:navy-orange BMP3:picture.bmp
rm varied.wav tone.wav

# Files for the SMB share: one bulk file, one small one.
head -c $((100 * 1024 * 1024)) /dev/urandom > share/bulk.bin
head -c 1024 /dev/urandom > share/small.bin
touch .complete
ls -l "$dir" "$dir/share"
