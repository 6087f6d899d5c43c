#pragma once

// Note [entry points]: the watch that tells a seek landed where the decoder cannot start.

#include <limits>

#include "media/stream_clock.h"

namespace framepick {

// After a seek, packets past the target without a frame mean that the seek landed where the
// decoder cannot start (past the only keyframe, in the middle of a GOP).
class MissWatch {
 public:
  void watchFrom(double targetSeconds) {
    targetSeconds_ = targetSeconds;
    packetsPastTarget_ = 0;
  }
  void stop() { targetSeconds_ = std::numeric_limits<double>::infinity(); }

  // Counts a packet read; whether the seek has missed.
  bool missedAt(double startSeconds) {
    return startSeconds > targetSeconds_ + kSameInstantSeconds &&
           ++packetsPastTarget_ > kPacketsPastTargetForMiss;
  }

 private:
  static constexpr int kPacketsPastTargetForMiss = 32;

  double targetSeconds_ = std::numeric_limits<double>::infinity();
  int packetsPastTarget_ = 0;
};

}  // namespace framepick
