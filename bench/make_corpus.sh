#!/usr/bin/env bash
# Makes the benchmark clips from deterministic lavfi sources, once: moving noise over a test
# pattern gives the bit rates of real footage. Clips are cached in bench/corpus/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
mkdir -p corpus
encode() {  # name, then ffmpeg arguments
  local name=$1; shift
  [ -s "corpus/$name" ] && return
  echo "making corpus/$name" >&2
  ffmpeg -v error -nostdin -y "$@" "corpus/.$name" && mv "corpus/.$name" "corpus/$name"
}
lavfi_source() {  # size, seconds
  echo "testsrc2=s=$1:r=30:d=$2,noise=alls=14:allf=t"
}
encode A-1080p-h264-gop250.mp4 -f lavfi -i "$(lavfi_source 1920x1080 60)" \
  -c:v libx264 -preset veryfast -bf 3 -g 250 -keyint_min 250 -b:v 8M -maxrate 10M -bufsize 16M \
  -pix_fmt yuv420p
encode B-2160p-hevc-gop250.mp4 -f lavfi -i "$(lavfi_source 3840x2160 10)" \
  -c:v libx265 -preset ultrafast -x265-params keyint=250:min-keyint=250:log-level=error \
  -b:v 20M -pix_fmt yuv420p -tag:v hvc1
encode .C-landscape.mp4 -f lavfi -i "$(lavfi_source 1920x1080 20)" \
  -c:v libx264 -preset veryfast -g 30 -b:v 10M -pix_fmt yuv420p
# Phones store portrait video as landscape pictures turned by the display matrix.
encode C-1080p-h264-phone-rotated.mp4 -i corpus/.C-landscape.mp4 -c copy -metadata:s:v rotate=270
encode D-720p-vp9.webm -f lavfi -i "$(lavfi_source 1280x720 20)" \
  -c:v libvpx-vp9 -deadline good -cpu-used 5 -row-mt 1 -b:v 3500k -g 240 -pix_fmt yuv420p
# Intra refresh: after the first frame no picture is whole on its own; each builds up over the
# frames of a refresh period, so a seek lands where nothing is shown yet.
encode E-720p-h264-intra-refresh.mp4 -f lavfi -i "$(lavfi_source 1280x720 20)" \
  -c:v libx264 -preset veryfast -x264-params intra-refresh=1:keyint=60 -pix_fmt yuv420p
# Short clips, as phones and messaging apps upload them: a fixed cost per file shows most here.
encode S1-720p-h264-10-frames.mp4 -f lavfi -i "$(lavfi_source 1280x720 1)" -frames:v 10 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p
encode S2-480p-h264-2s.mp4 -f lavfi -i "$(lavfi_source 854x480 2)" \
  -c:v libx264 -preset veryfast -bf 3 -pix_fmt yuv420p
encode S3-1080p-hevc-3s.mp4 -f lavfi -i "$(lavfi_source 1920x1080 3)" \
  -c:v libx265 -preset ultrafast -x265-params log-level=error -pix_fmt yuv420p -tag:v hvc1
encode S4-720p-vp9-4s.webm -f lavfi -i "$(lavfi_source 1280x720 4)" \
  -c:v libvpx-vp9 -deadline good -cpu-used 5 -row-mt 1 -b:v 2M -pix_fmt yuv420p
encode .S5-landscape.mp4 -f lavfi -i "$(lavfi_source 1920x1080 5)" \
  -c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p
encode S5-1080p-h264-phone-5s.mp4 -i corpus/.S5-landscape.mp4 -c copy -metadata:s:v rotate=270
