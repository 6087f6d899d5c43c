// Tags that carry a packet's damage and keyframe count through the decoder to its frame.

#include "media/frame_damage.h"

#include "media/compat.h"

namespace framepick {
namespace {

// What frames carry through the decoder (Note [damage]): the low bit is set for a frame
// decoded after a packet was lost, the next for a frame whose packet is flagged as a keyframe,
// the bits above count the keyframes sent up to its packet.
constexpr int64_t kDamagedBit = 1;
constexpr int64_t kKeyPacketBit = 2;  // the frame's own packet is flagged as a keyframe
constexpr int kKeyframeCountShift = 2;

}  // namespace

bool isDamaged(const AVFrame& frame) {
  return frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 ||
         (frameTag(frame) & kDamagedBit) != 0;
}

void FrameDamage::tagPacket(AVCodecContext& decoder, AVPacket& packet) {
  if (packet.flags & AV_PKT_FLAG_KEY) {
    damagedSinceKeyframe_ = false;
    ++keyframesSent_;
  }
  tagFrame(decoder, packet,
           keyframesSent_ << kKeyframeCountShift |
               ((packet.flags & AV_PKT_FLAG_KEY) != 0 ? kKeyPacketBit : 0) |
               (damagedSinceKeyframe_ ? kDamagedBit : 0));
}

void FrameDamage::noteFrame(AVFrame& frame) {
  if (needsEntryPoint_ && !enteredSinceRestart_ && !hasEntryPoint(frame)) {
    frame.flags |= AV_FRAME_FLAG_CORRUPT;  // Note [missing references]
  }
  if (isDamaged(frame) && frameTag(frame) >> kKeyframeCountShift == keyframesSent_) {
    damagedSinceKeyframe_ = true;
  }
}

void FrameDamage::restart() {
  damagedSinceKeyframe_ = false;
  enteredSinceRestart_ = false;
  keyframesAtRestart_ = keyframesSent_;
  falseEntryCount_ = -1;
}

// Note [missing references]: whether a frame out since the decoder started was decoded from
// an entry point. The decoder's own word (a key frame: an IRAP picture) settles it; before that,
// a frame is taken as decoded from the last packet flagged as a keyframe before its own, unless
// that packet's frame came out as no key frame (a sync-sample table that lists plain I
// pictures). The key frame itself may never come out: FFmpeg drops the frames before an edit.
bool FrameDamage::hasEntryPoint(const AVFrame& frame) {
  const int64_t keyframesBefore = frameTag(frame) >> kKeyframeCountShift;
  if (isKeyFrame(frame)) {
    enteredSinceRestart_ = true;
    return true;
  }
  if ((frameTag(frame) & kKeyPacketBit) != 0) falseEntryCount_ = keyframesBefore;
  return keyframesBefore != keyframesAtRestart_ && keyframesBefore != falseEntryCount_;
}

}  // namespace framepick
