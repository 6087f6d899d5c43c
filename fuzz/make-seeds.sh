#!/usr/bin/env bash
# Makes the fuzzer's seed clips: a few frames of a tiny picture in each container and codec the
# tool is likely to meet, so mutations start from files that get all the way to a frame.
set -euo pipefail
directory="$1"
mkdir -p "${directory}"
source="testsrc2=s=64x48:r=10:d=0.6"
clip() {
  local name="$1"
  shift
  [ -s "${directory}/${name}" ] ||
    ffmpeg -v error -nostdin -y -f lavfi -i "${source}" "$@" "${directory}/${name}"
}
clip h264-bframes.mp4 -c:v libx264 -preset ultrafast -bf 2 -g 4 -pix_fmt yuv420p
clip h264-edit-list.mov -c:v libx264 -preset ultrafast -g 3 -output_ts_offset 0.3
clip h264.ts -c:v libx264 -preset ultrafast -g 3 -f mpegts
clip h264-live.mkv -c:v libx264 -preset ultrafast -g 3 -live 1
clip hevc.mkv -c:v libx265 -preset ultrafast -x265-params log-level=none:keyint=3
clip vp9.webm -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -g 3
clip vp8.webm -c:v libvpx -deadline realtime -g 3
clip mpeg4.avi -c:v mpeg4 -g 3 -bf 1
clip mjpeg.avi -c:v mjpeg -pix_fmt yuvj422p
clip mpeg2.mpg -c:v mpeg2video -g 3
clip flv1.flv -c:v flv1
clip av1.mp4 -c:v libaom-av1 -cpu-used 8 -g 3
clip ffv1.nut -c:v ffv1
clip rotated.mp4 -c:v libx264 -preset ultrafast -g 3 -metadata:s:v rotate=90
