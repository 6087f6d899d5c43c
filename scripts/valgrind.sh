#!/usr/bin/env bash
# Runs the test suite under valgrind's memcheck: the test process itself (the in-process probes
# and captures) and every framepick process it starts. Any memory error or leak makes the process
# exit with 99, which fails the test that started it, or the whole run. Logs go to build/valgrind/,
# one per process. Slow (some minutes): meant to be run by hand, not in CI.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
rm -rf build/valgrind
mkdir -p build/valgrind
memcheck="valgrind --quiet --error-exitcode=99 --leak-check=full
  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes"
export FRAMEPICK_TEST_WRAPPER="${memcheck} --log-file=${PWD}/build/valgrind/framepick-%p.log"
# Decoding 8K pictures under memcheck outlasts the time budget of a sample, so that test cannot
# show its memory budget here.
status=0
${memcheck} --log-file=build/valgrind/tests-%p.log build/tests/framepick_tests \
  --gtest_filter=-CaptureFailures.PicturesBeyondTheMemoryBudgetFailTheirSamples "$@" || status=$?
echo "framepick processes: $(find build/valgrind -name 'framepick-*.log' | wc -l)," \
  "logs with findings: $(find build/valgrind -name '*.log' -size +0 | wc -l)"
find build/valgrind -name '*.log' -size +0 -exec cat {} +
exit "${status}"
