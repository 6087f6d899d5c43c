#!/usr/bin/env bash
# Files per hour on this machine for a mix of upload-like clips (the short set and the rotated
# phone clip), run two at a time as a worker pool would: framepick against the ffmpeg CLI with
# one process per sample, at the times framepick reports.
# Usage: bash bench/batch.sh [rounds]   (after bench/make_corpus.sh and a Release build)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
rounds=${1:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clips=(bench/corpus/S[0-9]-* bench/corpus/C-*)
for clip in "${clips[@]}"; do
  build/framepick --input "$clip" --output-dir "$work/times-run" |
    python3 -c 'import json,sys
print(" ".join(str(f["requestedTimestampSeconds"]) for f in json.load(sys.stdin)["frames"]))' \
      >"$work/$(basename "$clip").times"
done
jobs=()
for ((round = 0; round < rounds; round++)); do
  for clip in "${clips[@]}"; do jobs+=("$round $clip"); done
done
run_pool() {  # the command for one job, with {round} {clip} {name} filled in
  local start end
  start=$(date +%s.%N)
  printf "%s\n" "${jobs[@]}" | xargs -P2 -L1 bash -c "$1"
  end=$(date +%s.%N)
  python3 -c "import sys; n, s = int(sys.argv[1]), float(sys.argv[3]) - float(sys.argv[2])
print(f'{n} files in {s:.1f} s: {n / s * 3600:.0f} files per hour')" "${#jobs[@]}" "$start" "$end"
}
echo -n "framepick:                  "
run_pool "build/framepick --input \$1 --output-dir $work/fp-\$0-\$(basename \$1) >/dev/null"
echo -n "ffmpeg, one per sample:     "
run_pool "bash bench/ffmpeg_per_sample.sh \$1 $work/ff-\$0-\$(basename \$1) \
  \$(cat $work/\$(basename \$1).times)"
