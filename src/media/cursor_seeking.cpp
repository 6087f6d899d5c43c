// When and where the cursor seeks: the choice, the landing, and retaking a damaged target.

#include <algorithm>
#include <cmath>
#include <limits>

#include "media/decode_cursor.h"
#include "media/failure_text.h"
#include "media/ffmpeg_facts.h"

namespace framepick {
namespace {

// Without a keyframe index, decoding forward beats a seek for targets this close.
constexpr double kForwardDecodeSeconds = 3.0;
// A seek restarts the decoder and may land where it cannot start decoding (a recovery point that
// takes a while to show anything): it is worth it only when it skips more than this much video.
constexpr double kLeastSeekSavingSeconds = 1.0;

}  // namespace

// Whether reaching the target by decoding forward from where the decoder stands would cost more
// than a seek: the target lies behind us, or a keyframe more than a second past us lies before
// it (without a trusted index: the target lies more than 3 s ahead).
bool DecodeCursor::shouldSeek(double targetSeconds) const {
  if (!parts_.positionKnown) return true;
  if (hasHeld() && targetSeconds + kSameInstantSeconds < secondsOf(*parts_.held)) return true;
  // The held last frame answers any later target; a run past seeking goes forward only.
  if (decoderEnded_ || forwardOnly_) return false;
  const AVFrame* latest = hasNext() ? parts_.next.get() : hasHeld() ? parts_.held.get() : nullptr;
  const double currentSeconds = latest ? secondsOf(*latest) : 0;
  if (targetSeconds <= currentSeconds) return false;
  const int keyframe = av_index_search_timestamp(parts_.stream, parts_.clock.ptsOf(targetSeconds),
                                                 AVSEEK_FLAG_BACKWARD);
  if (keyframe < 0 || !hasTrustedIndex()) {
    return targetSeconds - currentSeconds > kForwardDecodeSeconds;
  }
  const AVIndexEntry* entry = avformat_index_get_entry(parts_.stream, keyframe);
  return entry != nullptr &&
         parts_.clock.secondsOf(entry->timestamp) > currentSeconds + kLeastSeekSavingSeconds;
}

bool DecodeCursor::seek(SeekTarget target, double seconds) {
  AVFormatContext* format = parts_.demuxer->format.get();
  const AVStream& stream = *parts_.stream;
  ++counters_.seeks;
  int status;
  if (target == SeekTarget::kStart) {
    // Streams read as a sequence of packs (MPEG-PS and -TS) find their start by a search on
    // timestamps that can land a GOP late: their first byte is the start.
    status = isReadAsPacks(*format) ? av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE) : -1;
    const int64_t first = streamStartOr(stream, 0);
    if (status < 0) status = avformat_seek_file(format, stream.index, INT64_MIN, first, first, 0);
    // Streams without timestamps to seek by can still go back to their first byte.
    if (status < 0) status = av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE);
  } else {
    status = av_seek_frame(format, stream.index, parts_.clock.ptsOf(seconds), AVSEEK_FLAG_BACKWARD);
  }
  if (status < 0) return false;
  avcodec_flush_buffers(parts_.decoder.get());
  forgetFrames();
  return true;
}

// Note [entry points]: whether the keyframe index says where decoding can start.
bool DecodeCursor::hasTrustedIndex() const {
  return !parts_.indexUnreliable && avformat_index_get_entries_count(parts_.stream) > 0;
}

// Note [exact seek]: a backward seek is meant to land on the keyframe at or before the target,
// but some demuxers land after it (MPEG-TS does), and some keyframes are only where a picture
// starts to build up (intra refresh). When no frame at or before the target comes, seek again
// 1, 2, 4 ... seconds earlier, and at last from the start.
Result<> DecodeCursor::seekBefore(double targetSeconds) {
  double backoff = 0;
  bool missed = false;
  while (true) {
    // Out of time, every seek fails at once: say so rather than that seeking failed.
    if (Clock::now() > parts_.demuxer->deadline) return Error{outOfTimeText()};
    // Without keyframes to land on, a target near the start is reached soonest from the start.
    if (forwardOnly_ || (!hasTrustedIndex() && targetSeconds <= kForwardDecodeSeconds)) {
      backoff = targetSeconds;
    }
    const double seekSeconds = targetSeconds - backoff;
    const SeekTarget target = seekSeconds <= 0 ? SeekTarget::kStart : SeekTarget::kKeyframeBefore;
    backoff = backoff == 0 ? 1 : backoff * 2;
    if (!seek(target, seekSeconds)) {
      if (target == SeekTarget::kStart) {
        return Error{"seeking in the file failed"};
      }
      continue;
    }
    missWatch_.watchFrom(target == SeekTarget::kStart ? std::numeric_limits<double>::infinity()
                                                      : targetSeconds);
    const Result<DecodeStep> step = decodeNextFrame(*parts_.next);
    missWatch_.stop();
    if (!step.ok()) return step.error();
    if (target == SeekTarget::kStart) {
      forwardOnly_ = forwardOnly_ || missed;
      midStreamStartSeconds_ = std::numeric_limits<double>::quiet_NaN();
      return {};
    }
    if (hasNext() && secondsOf(*parts_.next) <= targetSeconds + kSameInstantSeconds) {
      midStreamStartSeconds_ = seekSeconds;
      return {};
    }
    parts_.indexUnreliable = true;
    missed = true;
    // Not even a late frame: keyframes are too rare here for further seeks to pay.
    if (step.value() == DecodeStep::kMissed) forwardOnly_ = true;
  }
}

void DecodeCursor::forgetFrames() {
  // Their pictures count against the budget until unreferenced.
  av_frame_unref(parts_.held.get());
  av_frame_unref(parts_.next.get());
  if (ahead_) av_packet_unref(ahead_.get());
  damage_.restart();
  skips_.clear();
  orderClock_.clear();
  packetsRejected_ = 0;
  demuxEnded_ = false;
  decoderEnded_ = false;
}

// Note [retake]: a keyframe of the index need not be a clean entry point: some writers list
// I-frames that later frames still refer across. A decoder started there shows damage that one
// continuous decode does not have. So when the frame on screen is damaged and decoding started
// at such a keyframe, the target is taken again from the keyframe before, then from the start;
// damage that remains is the file's own. Once a retake mended it, the index is not trusted to
// give entry points, and the cursor decodes forward from then on.
Result<> DecodeCursor::retakeDamagedTarget(double targetSeconds) {
  for (int retakes = 0; retakes < 2 && !std::isnan(midStreamStartSeconds_); ++retakes) {
    const Result<const AVFrame*> shown = frameAt(targetSeconds);
    if (!shown.ok() || !isDamaged(*shown.value())) return {};
    const std::vector<double> keyframes = keyframeSeconds();
    // The keyframe the decoder started at, and the one before it.
    auto landed = std::upper_bound(keyframes.begin(), keyframes.end(),
                                   midStreamStartSeconds_ + kSameInstantSeconds);
    const bool earlierKeyframe = retakes == 0 && landed - keyframes.begin() >= 2;
    const double from = earlierKeyframe ? (landed[-2] + landed[-1]) / 2 : 0;
    if (!restartBefore(from)) {
      return Error{"seeking in the file failed"};
    }
    if (Result<> reached = decodeUpTo(targetSeconds); !reached.ok()) return reached;
    const Result<const AVFrame*> retaken = frameAt(targetSeconds);
    if (retaken.ok() && !isDamaged(*retaken.value())) forwardOnly_ = true;
  }
  return {};
}

// Seeks to the keyframe before `seconds`, or to the start for 0 and less or when that fails.
bool DecodeCursor::restartBefore(double seconds) {
  if (seconds > 0 && seek(SeekTarget::kKeyframeBefore, seconds)) {
    midStreamStartSeconds_ = seconds;
    return true;
  }
  midStreamStartSeconds_ = std::numeric_limits<double>::quiet_NaN();
  return seek(SeekTarget::kStart, 0);
}

}  // namespace framepick
