#!/usr/bin/env bash
# Runs every test of the Release build with each framepick process under valgrind's memcheck.
# Any memory error or leak fails the process (exit 99) and so its test; logs go to
# build/valgrind/, one per process. Slow: meant to be run by hand, not in CI.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
rm -rf build/valgrind
mkdir -p build/valgrind
export FRAMEPICK_TEST_WRAPPER="valgrind --quiet --error-exitcode=99 --leak-check=full
  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes
  --log-file=$PWD/build/valgrind/%p.log"
# Decoding 8K pictures under memcheck outlasts the capture time budget, and the memory ceiling
# it checks is not the point here.
ctest --test-dir build --output-on-failure -j2 -E 'PicturesBeyondTheMemoryBudget' "$@"
find build/valgrind -name '*.log' -size +0 -print -exec cat {} \;
