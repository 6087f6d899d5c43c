#pragma once

// Note [decode cursor]: where one video stream's decoder stands, and how it moves.

#include <limits>
#include <vector>

#include "error.h"
#include "media/asset.h"
#include "media/decode_order_clock.h"
#include "media/frame_damage.h"
#include "media/media.h"
#include "media/miss_watch.h"
#include "media/skip_ledger.h"
#include "media/stream_clock.h"

namespace framepick {

// Frames within this many seconds of the requested time may serve it.
inline constexpr double kToleranceSeconds = 0.04;

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
  bool forwardOnly;      // no place to start but the start (Note [intra refresh])
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

  enum class Feed { kMore, kMissed };

  Result<DecodeStep> decodeNextFrame(AVFrame& frame);
  bool acceptFrame(AVFrame& frame);
  Result<Feed> feedDecoder();
  int readPacket(AVPacket& packet);
  Result<> sendPacket(AVPacket& packet);
  Result<> decodeUpTo(double targetSeconds);
  Result<> retakeDamagedTarget(double targetSeconds);
  bool restartBefore(double seconds);
  Result<const AVFrame*> frameAt(double targetSeconds) const;
  bool seek(SeekTarget target, double seconds);
  Result<> seekBefore(double targetSeconds);
  bool shouldSeek(double targetSeconds) const;
  bool hasTrustedIndex() const;
  void forgetFrames();
  bool hasHeld() const { return parts_.held->buf[0] != nullptr; }
  bool hasNext() const { return parts_.next->buf[0] != nullptr; }

  CursorParts parts_;
  bool demuxEnded_ = false;
  bool decoderEnded_ = false;
  FrameDamage damage_;
  SkipLedger skips_;
  DecodeOrderClock orderClock_;
  MissWatch missWatch_;
  // Note [retake]: where the decoder last started when that was after a keyframe of the index
  // (a seek), and NaN when it started at the stream's start.
  double midStreamStartSeconds_ = std::numeric_limits<double>::quiet_NaN();
  // Note [entry points]: once a seek landed where the decoder could not start, the file's
  // keyframe index is not trusted for the rest of the run (intra refresh). Seeks that found no
  // place to start but the start make the cursor decode forward only from then on.
  bool forwardOnly_;
  int64_t packetsRejected_ = 0;  // by the decoder since the last seek
  bool intraOnly_;
  UniquePacket ahead_;  // Note [intra-only skipping]: the packet read, not yet sent
  DecodeCounters counters_;
};

}  // namespace framepick
