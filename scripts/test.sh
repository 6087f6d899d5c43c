#!/usr/bin/env bash
# Checks the layout and the formatting, then builds and runs every test twice: the Release build
# in build/, then an AddressSanitizer and UndefinedBehaviorSanitizer build in build-asan/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs="$(nproc)"

# House rules a build cannot see. Only the media layer includes FFmpeg.
if git grep -l 'extern "C"' -- src ':!src/media'; then
  echo "FFmpeg is included outside src/media (above)" >&2
  exit 1
fi
# The tree is formatted by clang-format 14 (Debian 12's); other versions format some lines
# differently, so the check needs that one.
if command -v clang-format-14 >/dev/null; then
  git ls-files '*.cpp' '*.h' | xargs clang-format-14 --dry-run -Werror
else
  echo "formatting not checked: clang-format-14 is not installed"
fi

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
