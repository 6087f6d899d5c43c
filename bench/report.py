"""Prints the benchmark table from hyperfine's JSON files and the bench program's stage lines."""
import glob
import json
import os
import sys

work = sys.argv[1]
peers = ["ffmpeg-per-sample", "ffmpeg-one-pass"]
print("| clip | framepick s | ffmpeg per sample s | ffmpeg one pass s | ratio to per sample | "
      "ratio to one pass | peak RSS MB | frames decoded / GOP minimum | seeks |")
print("|---|---|---|---|---|---|---|---|---|")
stage_rows = []
for path in sorted(glob.glob(os.path.join(work, "*.json"))):
    name = os.path.basename(path)[:-5]
    if name == "report":
        continue
    medians = {r["command"]: r["median"] for r in json.load(open(path))["results"]}
    stages = dict(line.strip().split("=") for line in open(os.path.join(work, name + ".stages")))
    rss_mb = int(open(os.path.join(work, name + ".rss")).read().split()[-1]) / 1024
    ours = medians["framepick"]
    decoded, minimum = int(stages["frames_decoded"]), int(stages["gop_forced_frames"])
    print(f"| {name} | {ours:.2f} | {medians[peers[0]]:.2f} | {medians[peers[1]]:.2f} | "
          f"{ours / medians[peers[0]]:.2f} | {ours / medians[peers[1]]:.2f} | {rss_mb:.0f} | "
          f"{decoded} / {minimum} = {decoded / max(minimum, 1):.2f} | {stages['seeks']} |")
    stage_rows.append((name, stages))
print()
print("| clip | open and probe s | seek and decode s | convert and scale s | encode s | write s |")
print("|---|---|---|---|---|---|")
for name, s in stage_rows:
    print(f"| {name} | {s['open_probe_s']} | {s['seek_decode_s']} | {s['convert_scale_s']} | "
          f"{s['encode_s']} | {s['write_s']} |")
