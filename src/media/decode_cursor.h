#pragma once

#include <limits>
#include <set>
#include <vector>

#include "error.h"
#include "media/asset.h"
#include "media/media.h"
#include "media/stream_clock.h"

namespace framepick {

// Where a seek goes: the stream's first packet, or the keyframe at or before a time.
enum class SeekTarget { kStart, kKeyframeBefore };

// What a cursor is made of; makeFrameGenerator opens the decoder and allocates the rest.
struct CursorParts {
  Demuxer* demuxer;  // read by this cursor alone from now on
  AVStream* stream;
  UniqueCodecContext decoder;
  UniquePacket packet;
  UniqueFrame held;
  UniqueFrame next;
  StreamClock clock;
  double endSeconds;     // where the last frame leaves the screen
  bool positionKnown;    // false when the demuxer does not stand at the stream's start
  bool indexUnreliable;  // the keyframe index says where searches passed, not where to start
};

// Note [decode cursor]: a decoder's place in one video stream. `held` is the last frame at or
// before the latest target, `next` the first frame after it, already decoded. A target in
// [held, next) is answered by `held` without decoding anything; later targets move both forward,
// and earlier ones (or far later ones) seek.
class DecodeCursor {
 public:
  explicit DecodeCursor(CursorParts parts);

  // Moves so that the frame on screen at the target is at hand; every read gives up at the
  // deadline.
  Result<> advanceTo(double targetSeconds, Clock::time_point deadline);

  // The frame a player shows at the target, once the cursor stands there; a damaged frame
  // (Note [damage]) is a failure.
  Result<const AVFrame*> frameOnScreen(double targetSeconds) const;

  // For a failure the cursor cannot see (a picture budget): the next target starts with a seek.
  void losePosition() { parts_.positionKnown = false; }

  double secondsOf(const AVFrame& frame) const;

  // Where decoding can start, from the stream's index, sorted; empty when the index is not
  // trusted to say so (Note [entry points]).
  std::vector<double> keyframeSeconds() const;
  const AVStream& stream() const { return *parts_.stream; }
  const DecodeCounters& counters() const { return counters_; }

 private:
  enum class DecodeStep { kFrame, kEnd, kMissed };

  Result<DecodeStep> decodeNextFrame(AVFrame& frame);
  int readPacket(AVPacket& packet);
  bool hasEntryPoint(const AVFrame& frame);
  Result<> decodeUpTo(double targetSeconds);
  Result<> retakeDamagedTarget(double targetSeconds);
  bool restartBefore(double seconds);
  Result<const AVFrame*> frameAt(double targetSeconds) const;
  bool seek(SeekTarget target, double seconds);
  Result<> seekBefore(double targetSeconds);
  bool shouldSeek(double targetSeconds) const;
  bool hasTrustedIndex() const;
  bool replacedBeforeTarget(double startSeconds) const;
  void forgetFrames();
  bool hasHeld() const { return parts_.held->buf[0] != nullptr; }
  bool hasNext() const { return parts_.next->buf[0] != nullptr; }

  CursorParts parts_;
  bool demuxEnded_ = false;
  bool decoderEnded_ = false;
  // Note [damage]: frames decoded after a packet was lost, up to the next keyframe, are built on
  // missing references and may show an older picture; they travel tagged (tagFrame).
  bool damagedSinceKeyframe_ = false;
  int64_t keyframesSent_ = 0;  // a damaged frame out of an earlier GOP taints nothing after it
  // Note [missing references]: FFmpeg's HEVC decoder shows the pictures it decodes before its
  // first entry point (an IRAP picture), predicted from grey stand-ins for the references it
  // never saw; the other decoders hold such pictures back themselves.
  bool needsEntryPoint_ = false;
  bool enteredSinceRestart_ = false;
  int64_t keyframesAtRestart_ = 0;
  int64_t falseEntryCount_ = -1;  // keyframes sent up to a key packet whose frame is no key frame
  // Note [retake]: where the decoder last started when that was after a keyframe of the index
  // (a seek), and NaN when it started at the stream's start.
  double midStreamStartSeconds_ = std::numeric_limits<double>::quiet_NaN();
  // Note [skipping]: a frame is on screen until the next one in presentation order starts, which
  // in decode order may come much later. So a non-reference frame is dropped only when a packet
  // already sent starts after it and no later than the target: then that one replaces it first.
  // Starts of packets sent since the seek, less those below the last frame out (all later
  // frames start after that one).
  std::multiset<double> sentStarts_;
  double targetSeconds_ = -std::numeric_limits<double>::infinity();
  // Note [decode-order clock]: containers that store no presentation times (AVI) give packets a
  // dts only, the frame's position in decode order. The decoder puts frames in presentation
  // order, so each frame out takes the smallest dts still pending: frame k is shown at k/rate.
  // Xvid packs a B-frame into the chunk of the P-frame after it and leaves the chunk of the frame
  // it held back empty, which the demuxer skips: a slot skipped while the decoder holds frames
  // back is pending too. A slot skipped otherwise is a dropped frame: the one before stays.
  bool clockDecided_ = false;
  bool clockFromDecodeOrder_ = false;
  std::multiset<int64_t> pendingDts_;
  // Note [entry points]: once a seek landed where the decoder could not start, the file's
  // keyframe index is not trusted for the rest of the run (intra refresh). Seeks that found no
  // place to start but the start make the cursor decode forward only from then on.
  bool forwardOnly_ = false;
  double missWatchSeconds_ = std::numeric_limits<double>::infinity();
  int packetsPastTarget_ = 0;
  int64_t packetsRejected_ = 0;  // by the decoder since the last seek
  bool intraOnly_;
  UniquePacket ahead_;  // Note [intra-only skipping]: the packet read, not yet sent
  DecodeCounters counters_;
};

}  // namespace framepick
