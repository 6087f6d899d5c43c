// Where the samples lie: their positions and times (pure).

#include "extract/plan.h"

#include <algorithm>

namespace framepick {

std::vector<double> sampleFractions(int64_t maxFrames) {
  if (maxFrames == 1) return {0.5};
  std::vector<double> fractions;
  for (int64_t i = 0; i < maxFrames; ++i) {
    // The order of operations is part of the report: it fixes the last digits.
    fractions.push_back(static_cast<double>(i) * 0.76 / static_cast<double>(maxFrames - 1) + 0.12);
  }
  return fractions;
}

double requestedTime(double fraction, double durationSeconds) {
  const double position = fraction * durationSeconds;
  const double endLimit = durationSeconds - 0.02;
  return std::max(position < endLimit ? position : endLimit, 0.02);
}

}  // namespace framepick
