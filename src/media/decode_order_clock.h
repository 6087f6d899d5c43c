#pragma once

// Note [decode-order clock]: frames timed by their packets' decode order, for files without pts.

#include <cstdint>
#include <set>

#include "media/handles.h"

namespace framepick {

// Note [decode-order clock]: containers that store no presentation times (AVI) give packets a
// dts only, the frame's position in decode order. The decoder puts frames in presentation
// order, so each frame out takes the smallest dts still pending: frame k is shown at k/rate.
// Xvid packs a B-frame into the chunk of the P-frame after it and leaves the chunk of the frame
// it held back empty, which the demuxer skips: a slot skipped while the decoder holds frames
// back is pending too. A slot skipped otherwise is a dropped frame: the one before stays.
class DecodeOrderClock {
 public:
  // The stream's first packet decides: a dts and no pts times the whole stream by decode order.
  void decide(const AVPacket& packet) {
    if (decided_) return;
    decided_ = true;
    fromDecodeOrder_ = packet.pts == AV_NOPTS_VALUE && packet.dts != AV_NOPTS_VALUE;
  }

  // Notes a packet about to be sent; whether it is timed by its dts.
  bool notePending(const AVPacket& packet) {
    if (!fromDecodeOrder_ || packet.dts == AV_NOPTS_VALUE) return false;
    // Slots skipped while the decoder holds frames back are frames it still owes.
    if (!pendingDts_.empty() && packet.dts > *pendingDts_.rbegin() + 1 &&
        packet.dts - *pendingDts_.rbegin() <= kMostHeldBackSlots) {
      for (int64_t slot = *pendingDts_.rbegin() + 1; slot < packet.dts; ++slot) {
        pendingDts_.insert(slot);
      }
    }
    pendingDts_.insert(packet.dts);
    return true;
  }

  // The decoder refused a packet timed by its dts: no frame will take it.
  void forget(int64_t dts) { pendingDts_.erase(pendingDts_.find(dts)); }

  // Gives a frame out of the decoder the smallest dts pending.
  void stamp(AVFrame& frame) {
    if (!fromDecodeOrder_ || pendingDts_.empty()) return;
    frame.pts = frame.best_effort_timestamp = *pendingDts_.begin();
    pendingDts_.erase(pendingDts_.begin());
  }

  void clear() { pendingDts_.clear(); }

 private:
  // A gap of more slots than this between packets timed by their decode order is not the
  // encoder's delay.
  static constexpr int64_t kMostHeldBackSlots = 4;

  bool decided_ = false;
  bool fromDecodeOrder_ = false;
  std::multiset<int64_t> pendingDts_;
};

}  // namespace framepick
