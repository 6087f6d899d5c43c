#pragma once

// Timestamps of one stream to seconds on the presentation's clock, and back.

#include <cmath>
#include <cstdint>
#include <limits>

#include "media/handles.h"

namespace framepick {

// Timestamps that differ by less than this are the same instant (float noise in requested times).
inline constexpr double kSameInstantSeconds = 1e-6;

// A stream's timestamps on the presentation's clock. Timestamps come from the file and may be
// anywhere in 64 bits, so differences and sums of them are taken in double, where they cannot
// overflow (and are exact up to 2^53).
struct StreamClock {
  AVRational timeBase;
  int64_t startPts;  // the presentation's time zero in the stream's time base

  double secondsOf(int64_t pts) const {
    return (static_cast<double>(pts) - static_cast<double>(startPts)) * timeBase.num / timeBase.den;
  }

  // A length of time in the stream's time base, in seconds.
  double spanSeconds(int64_t ticks) const {
    return static_cast<double>(ticks) * timeBase.num / timeBase.den;
  }

  // Clamped to the 64-bit range: a target that lies beyond it (a claimed duration of millennia
  // in a fine time base) seeks to the end.
  int64_t ptsOf(double seconds) const {
    const double pts =
        static_cast<double>(startPts) + std::floor(seconds * timeBase.den / timeBase.num);
    if (!(pts < 0x1p63)) return std::numeric_limits<int64_t>::max();
    if (pts < -0x1p63) return std::numeric_limits<int64_t>::min() + 1;  // min is AV_NOPTS_VALUE
    return static_cast<int64_t>(pts);
  }
};

}  // namespace framepick
