#!/usr/bin/env bash
# Builds the fuzz target with clang (ASan + UBSan + libFuzzer) in build-fuzz/, makes the seed
# clips, and fuzzes for the given number of seconds (default 90). The corpus grows in
# build-fuzz/corpus across runs; a finding is written to build-fuzz/artifacts/ and fails the run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds="${1:-90}"
build=build-fuzz

CC=clang-14 CXX=clang++-14 cmake -S . -B "${build}" -DFRAMEPICK_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "${build}" --target capture_fuzzer -j2
bash fuzz/make-seeds.sh "${build}/seeds"
mkdir -p "${build}/corpus" "${build}/artifacts"

# The first directory receives new inputs; the seeds and the kept regressions are read only.
# Only our code is instrumented (Debian's FFmpeg is not), so coverage alone sees little of how a
# file was parsed: comparison values and the dictionary of container tokens steer the mutations.
"${build}/fuzz/capture_fuzzer" -max_total_time="${seconds}" -timeout=30 -rss_limit_mb=2048 \
  -use_value_profile=1 -dict=fuzz/media.dict -print_final_stats=1 \
  -artifact_prefix="${build}/artifacts/" \
  "${build}/corpus" "${build}/seeds" fuzz/regressions
