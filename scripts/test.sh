#!/usr/bin/env bash
# Builds and runs every test twice: the Release build in build/, then an AddressSanitizer and
# UndefinedBehaviorSanitizer build in build-asan/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs="$(nproc)"

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"${jobs}"
ctest --test-dir build --output-on-failure -j"${jobs}"

# The tests hand their environment on to the framepick processes they start, so these reach the
# binary under test too. A clean run prints nothing, so the "nothing on standard error" checks
# still hold; any finding prints its report and fails the process that made it.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
cmake -S . -B build-asan -DFRAMEPICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-asan -j"${jobs}"
ctest --test-dir build-asan --output-on-failure -j"${jobs}"
