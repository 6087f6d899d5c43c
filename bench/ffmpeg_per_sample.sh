#!/usr/bin/env bash
# The usual way: one ffmpeg process per requested time, seeking before the input.
# Usage: ffmpeg_per_sample.sh <video> <output dir> <seconds>...
set -euo pipefail
video=$1; out=$2; shift 2
mkdir -p "$out"
i=0
for t in "$@"; do
  i=$((i + 1))
  ffmpeg -v error -nostdin -y -ss "$t" -i "$video" -frames:v 1 \
    -vf scale=w=1600:h=1600:force_original_aspect_ratio=decrease -q:v 2 "$out/frame-$i.jpg"
done
