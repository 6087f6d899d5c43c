#!/usr/bin/env bash
# Prints the README's colour table: each source of the colour test, as coded and tagged, with the
# ΔE (CIE76) between the still's patches and the colour chart they were made from.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target framepick framepick_tests >/dev/null
echo "| Source | Tagging (matrix / range / primaries / transfer) | max ΔE | mean ΔE | max ΔE, skin and grey |"
echo "|---|---|---|---|---|"
build/tests/framepick_tests --gtest_filter='Sources/ColourTest.*' | grep '^| '
