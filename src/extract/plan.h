#pragma once

// Where the samples lie: their positions and times (pure).

#include <cstdint>
#include <vector>

namespace framepick {

// Sample positions as fractions of the duration: evenly from 12 % to 88 %, or 50 % alone.
std::vector<double> sampleFractions(int64_t maxFrames);

// Seconds at which a sample is taken, kept 0.02 s inside both ends (the start wins in clips
// shorter than 0.04 s).
double requestedTime(double fraction, double durationSeconds);

}  // namespace framepick
