"""Prints the benchmark tables from what bench/run.sh leaves in its work directory: hyperfine's
JSON files, framepick's reports, the bench program's lines."""
import glob
import json
import os
import sys

work = sys.argv[1]
print("| clip | framepick s | before s | ratio to before | ffmpeg per sample s | "
      "ffmpeg one pass s | ratio to per sample | ratio to one pass | peak RSS MB | "
      "frames decoded / GOP minimum | seeks |")
print("|---|---|---|---|---|---|---|---|---|---|---|")
rows = []
for path in sorted(glob.glob(os.path.join(work, "*.json"))):
    name = os.path.basename(path)[:-5]
    if name == "start":
        continue
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    median = {command: r["median"] for command, r in results.items()}
    cpu = {command: r["user"] + r["system"] for command, r in results.items()}
    stages = dict(line.strip().split("=") for line in open(os.path.join(work, name + ".stages")))
    rss_mb = int(open(os.path.join(work, name + ".rss")).read().split()[-1]) / 1024
    ours = median["framepick"]
    decoded, minimum = int(stages["frames_decoded"]), int(stages["gop_forced_frames"])
    print(f"| {name} | {ours:.2f} | {median['framepick-before']:.2f} | "
          f"{ours / median['framepick-before']:.2f} | {median['ffmpeg-per-sample']:.2f} | "
          f"{median['ffmpeg-one-pass']:.2f} | {ours / median['ffmpeg-per-sample']:.2f} | "
          f"{ours / median['ffmpeg-one-pass']:.2f} | {rss_mb:.0f} | "
          f"{decoded} / {minimum} = {decoded / max(minimum, 1):.2f} | {stages['seeks']} |")
    rows.append((name, stages, median, cpu))
print()
print("| clip | framepick s | bound s | ratio to bound | framepick CPU s | "
      "bound one-thread CPU s | CPU ratio to one-thread bound | one full decode s | "
      "ratio to one full decode | stills the same as the bound's | samples framepick failed |")
print("|---|---|---|---|---|---|---|---|---|---|---|")
for name, _, median, cpu in rows:
    report = json.load(open(os.path.join(work, name + ".report")))
    taken, failed = len(report["frames"]), len(report["failures"])
    same = int(open(os.path.join(work, name + ".same")).read())
    ours, bound, single = median["framepick"], median["bound"], cpu["bound-one-thread"]
    full = median["ffmpeg-full-decode"]
    print(f"| {name} | {ours:.2f} | {bound:.2f} | {ours / bound:.2f} | {cpu['framepick']:.2f} | "
          f"{single:.2f} | {cpu['framepick'] / single:.2f} | {full:.2f} | {ours / full:.2f} | "
          f"{same} / {taken} | {failed} |")
print()
print("| clip | decoders / chains | CPU s | CPU s before | single-threaded chains, CPU s | "
      "CPU ratio to single-threaded | critical path s | predicted on 4 / 8 / 16 cores s |")
print("|---|---|---|---|---|---|---|---|")
for name, s, _, cpu in rows:
    single = float(s.get("single_thread_cpu_s", "nan"))
    predicted = " / ".join(s.get(f"predicted_{n}_cores_s", "-") for n in (4, 8, 16))
    print(f"| {name} | {s['workers']} / {s['chains']} | {cpu['framepick']:.2f} | "
          f"{cpu['framepick-before']:.2f} | {single:.2f} | {cpu['framepick'] / single:.2f} | "
          f"{s.get('critical_path_s', '-')} | {predicted} |")
print()
print("| clip | open s | probe s | plan s | capture s (decode, convert, encode, write) | "
      "convert and scale s | encode and write s | to find each chain's frames s |")
print("|---|---|---|---|---|---|---|---|")
for name, s, _, _ in rows:
    print(f"| {name} | {s['open_s']} | {s['probe_s']} | {s['plan_s']} | {s['capture_s']} | "
          f"{s['convert_scale_s']} | {s['encode_write_s']} | {s['chain_s'].strip()} |")
start = os.path.join(work, "start.json")
if os.path.exists(start):
    seconds = json.load(open(start))["results"][0]["median"]
    print(f"\nStarting and ending the process (the usage report, no file): {seconds * 1000:.0f} ms")
