#pragma once

// Which frames out of the decoder are damaged: the tags their packets carry, and entry points.

#include <cstdint>

#include "media/handles.h"

namespace framepick {

// Note [damage]: frames decoded after a packet was lost, up to the next keyframe, are built on
// missing references and may show an older picture; they travel tagged (tagFrame).
bool isDamaged(const AVFrame& frame);

class FrameDamage {
 public:
  // Note [missing references]: FFmpeg's HEVC decoder shows the pictures it decodes before its
  // first entry point (an IRAP picture), predicted from grey stand-ins for the references it
  // never saw; the other decoders hold such pictures back themselves.
  explicit FrameDamage(bool needsEntryPoint) : needsEntryPoint_(needsEntryPoint) {}

  // Tags a packet about to be sent with what its frame must carry.
  void tagPacket(AVCodecContext& decoder, AVPacket& packet);
  // The decoder refused a packet: the frames after it, up to the next keyframe, are damaged.
  void notePacketRefused() { damagedSinceKeyframe_ = true; }
  // Marks a frame out of the decoder damaged where it came before an entry point, and notes
  // damage that taints the frames after it.
  void noteFrame(AVFrame& frame);
  // The decoder was flushed: it starts afresh at the next packet.
  void restart();

 private:
  bool hasEntryPoint(const AVFrame& frame);

  bool damagedSinceKeyframe_ = false;
  int64_t keyframesSent_ = 0;  // a damaged frame out of an earlier GOP taints nothing after it
  bool needsEntryPoint_;
  bool enteredSinceRestart_ = false;
  int64_t keyframesAtRestart_ = 0;
  int64_t falseEntryCount_ = -1;  // keyframes sent up to a key packet whose frame is no key frame
};

}  // namespace framepick
