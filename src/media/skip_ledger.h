#pragma once

// Note [skipping]: the starts of packets sent, which tell when a frame need not be decoded.

#include <limits>
#include <optional>
#include <set>

#include "media/handles.h"
#include "media/stream_clock.h"

namespace framepick {

// Note [skipping]: a frame is on screen until the next one in presentation order starts, which
// in decode order may come much later. So a non-reference frame is dropped only when a packet
// already sent starts after it and no later than the target: then that one replaces it first.
// The ledger holds the starts of packets sent since the seek, less those below the last frame
// out (all later frames start after that one).
class SkipLedger {
 public:
  void aimAt(double targetSeconds) { targetSeconds_ = targetSeconds; }

  // Whether a time is at or before the target.
  bool byTarget(double seconds) const { return seconds <= targetSeconds_ + kSameInstantSeconds; }

  // Notes a packet about to be sent; whether its frame may be skipped.
  bool noteSent(const AVPacket& packet, const StreamClock& clock) {
    if (packet.pts == AV_NOPTS_VALUE || (packet.flags & AV_PKT_FLAG_DISCARD) != 0) return false;
    const double startSeconds = clock.secondsOf(packet.pts);
    const std::optional<double> later = firstStartAfter(startSeconds);
    sentStarts_.insert(startSeconds);
    return later && byTarget(*later);
  }

  void noteFrameOut(double seconds) {
    sentStarts_.erase(sentStarts_.begin(), sentStarts_.lower_bound(seconds));
  }

  // The earliest start of a packet sent that lies after `seconds`.
  std::optional<double> firstStartAfter(double seconds) const {
    const auto later = sentStarts_.upper_bound(seconds);
    if (later == sentStarts_.end()) return std::nullopt;
    return *later;
  }

  void clear() { sentStarts_.clear(); }

 private:
  std::multiset<double> sentStarts_;
  double targetSeconds_ = -std::numeric_limits<double>::infinity();
};

}  // namespace framepick
