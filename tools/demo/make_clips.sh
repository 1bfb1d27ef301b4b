#!/bin/sh
# Makes small camera-like MP4 clips with ffmpeg: H.264 video (baseline, a key
# frame every second) and an AAC audio track, as cameras store them.
# Usage: make_clips.sh OUTDIR [COUNT] [SECONDS]
# Writes OUTDIR/clip1.mp4 ... OUTDIR/clipCOUNT.mp4; existing clips are kept.
set -eu
out=$1
count=${2:-3}
seconds=${3:-2}
mkdir -p "$out"
i=1
while [ "$i" -le "$count" ]; do
    clip="$out/clip$i.mp4"
    if [ ! -s "$clip" ]; then
        ffmpeg -nostdin -loglevel error -y \
            -f lavfi -i "testsrc=size=320x240:rate=10:duration=$seconds" \
            -f lavfi -i "sine=frequency=$((300 + 100 * i)):sample_rate=8000:duration=$seconds" \
            -c:v libx264 -profile:v baseline -pix_fmt yuv420p -g 10 -bf 0 \
            -c:a aac -b:a 32k -shortest "$clip.tmp.mp4"
        mv "$clip.tmp.mp4" "$clip"
    fi
    i=$((i + 1))
done
