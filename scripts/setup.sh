#!/usr/bin/env bash
# Installs what framepick needs, builds it (Release, into build/) and runs it once on a clip it
# makes itself, so a working machine shows a real report.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --target framepick -j"$(nproc)"

mkdir -p sample
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=s=1280x720:r=30:d=6 \
  -c:v libx264 -pix_fmt yuv420p sample/clip.mp4
rm -rf sample/frames
status=0
build/framepick --input sample/clip.mp4 --output-dir sample/frames || status=$?
echo "exit status: ${status}"
ls sample/frames
