#!/usr/bin/env bash
# Times framepick against its previous version, the bound (framepick_bound) and the ffmpeg CLI on
# the benchmark corpus, side by side in one run, and prints tables with the ratios, CPU time, peak
# memory, frames decoded, time per stage and what the samples' chains predict for more cores.
# Usage: bash bench/run.sh [runs [clip...]]   (after scripts/setup.sh or scripts/test.sh has built
# build/); clips are named by their letter (S1, E), all of them by default.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
runs=${1:-5}
shift $(($# > 0))
cmake --build build --target framepick framepick_bench framepick_bound -j"$(nproc)" >/dev/null
bash bench/make_corpus.sh
# Yesterday's framepick, side by side: the code before samples were taken in parallel, built
# once from its commit into build-baseline/ (BASELINE_REV names another).
rev=$(git rev-parse --short "${BASELINE_REV:-99e028a}")
baseline="build-baseline/${rev}/framepick"
if [ ! -x "${baseline}" ]; then
  tree=$(mktemp -d)
  git worktree add --quiet --detach "${tree}" "${rev}"
  cmake -S "${tree}" -B "build-baseline/${rev}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    >/dev/null
  cmake --build "build-baseline/${rev}" --target framepick -j"$(nproc)" >/dev/null
  git worktree remove --force "${tree}"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What every run pays before and after its work: loading the libraries, the usage report, exit.
hyperfine -N -i --style none --warmup 1 --runs "$runs" --export-json "$work/start.json" \
  build/framepick >/dev/null
clips=(bench/corpus/[A-E]-* bench/corpus/S[0-9]-*)
if [ $# -gt 0 ]; then
  clips=()
  for letter in "$@"; do clips+=(bench/corpus/"$letter"-*); done
fi
for clip in "${clips[@]}"; do
  name=$(basename "$clip")
  build/framepick --input "$clip" --output-dir "$work/fp" >"$work/$name.report"
  # Every sample framepick was asked for, taken or failed, in its order.
  mapfile -t times < <(python3 -c 'import json,sys
report = json.load(open(sys.argv[1]))
samples = [(f["index"], f["requestedTimestampSeconds"]) for f in report["frames"]]
samples += [(f["index"], f["timestampSeconds"]) for f in report["failures"]]
for _, seconds in sorted(samples): print(seconds)' "$work/$name.report")
  rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 "$clip")
  rate=${rate%%,*}
  select=$(python3 -c 'import sys,math
from fractions import Fraction
rate = Fraction(sys.argv[1])
print("+".join("eq(n\\,%d)" % math.floor(float(t) * rate + 1e-6) for t in sys.argv[2:]))' "$rate" "${times[@]}")
  hyperfine --style none --warmup 1 --runs "$runs" --export-json "$work/$name.json" \
    -n framepick "build/framepick --input $clip --output-dir $work/fp" \
    -n framepick-before "${baseline} --input $clip --output-dir $work/before" \
    -n ffmpeg-per-sample "bash bench/ffmpeg_per_sample.sh $clip $work/ps ${times[*]}" \
    -n ffmpeg-one-pass "ffmpeg -v error -nostdin -y -i $clip -vf select='$select',scale=w=1600:h=1600:force_original_aspect_ratio=decrease -fps_mode passthrough -q:v 2 $work/op-%03d.jpg" \
    -n bound "build/bench/framepick_bound --input $clip --output-dir $work/bound --threads 2 ${times[*]}" \
    -n bound-one-thread "build/bench/framepick_bound --input $clip --output-dir $work/bound1 --threads 1 ${times[*]}" \
    -n ffmpeg-full-decode "ffmpeg -v error -nostdin -i $clip -f null -" \
    >/dev/null
  # framepick's stills that the bound made byte for byte the same.
  for still in "$work"/fp/frame-*.jpg; do
    if cmp -s "$still" "$work/bound/$(basename "$still")"; then echo "$still"; fi
  done | wc -l >"$work/$name.same"
  rm -rf "$work/fp" "$work/bound"
  /usr/bin/time -f '%M' -o "$work/$name.rss" build/framepick --input "$clip" --output-dir "$work/fp" >/dev/null
  build/bench/framepick_bench --input "$clip" >"$work/$name.stages"
done
python3 bench/report.py "$work"
