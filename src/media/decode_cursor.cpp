#include "media/decode_cursor.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "media/compat.h"

namespace framepick {
namespace {

// Frames within this many seconds of the requested time may serve it.
constexpr double kToleranceSeconds = 0.04;
// Timestamps that differ by less than this are the same instant (float noise in requested times).
constexpr double kSameInstantSeconds = 1e-6;
// Without a keyframe index, decoding forward beats a seek for targets this close.
constexpr double kForwardDecodeSeconds = 3.0;
// A seek restarts the decoder and may land where it cannot start decoding (a recovery point that
// takes a while to show anything): it is worth it only when it skips more than this much video.
constexpr double kLeastSeekSavingSeconds = 1.0;
// After a seek, this many packets past the target without a frame mean that the seek landed
// where the decoder cannot start (past the only keyframe, in the middle of a GOP).
constexpr int kPacketsPastTargetForMiss = 32;
// A gap of more slots than this between packets timed by their decode order is not the
// encoder's delay (Note [decode-order clock]).
constexpr int64_t kMostHeldBackSlots = 4;
// What frames carry through the decoder (Note [damage]): the low bit is set for a frame
// decoded after a packet was lost, the next for a frame whose packet is flagged as a keyframe,
// the bits above count the keyframes sent up to its packet.
constexpr int64_t kDamagedBit = 1;
constexpr int64_t kKeyPacketBit = 2;  // the frame's own packet is flagged as a keyframe
constexpr int kKeyframeCountShift = 2;

Error outOfTime() { return {outOfTimeText()}; }

// A decoder's failure: memory, or something in the file it cannot decode.
Error decoderError(int code) { return {"decoding failed: " + errorText(code)}; }

int64_t framePts(const AVFrame& frame) {
  return frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
}

bool isIntraOnly(AVCodecID codec) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec);
  return descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
}

// Note [damage]
bool isDamaged(const AVFrame& frame) {
  return frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 ||
         (frameTag(frame) & kDamagedBit) != 0;
}

// Whether the heap lacks room for a few more pictures. A decoder short of memory may drop frames
// without saying why; a mapping of our own is what can tell (the compiler may not elide it).
bool memoryIsShort() {
  constexpr size_t kHeadroomBytes = size_t{32} << 20;
  void* room =
      mmap(nullptr, kHeadroomBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (room == MAP_FAILED) return true;
  munmap(room, kHeadroomBytes);
  return false;
}

}  // namespace

DecodeCursor::DecodeCursor(CursorParts parts)
    : parts_(std::move(parts)),
      needsEntryPoint_(parts_.stream->codecpar->codec_id == AV_CODEC_ID_HEVC),
      intraOnly_(isIntraOnly(parts_.stream->codecpar->codec_id)),
      ahead_(av_packet_alloc()) {}

// Note [intra-only skipping]: frames of a codec without inter prediction (MJPEG, ProRes, DV)
// need no frame before them, and come out in the order their packets go in. Each is shown until
// the next one starts, so a packet is left undecoded when the next starts later and by the
// target; a packet is held back until the next is read, as a slot left empty (a dropped frame)
// keeps it on screen.
int DecodeCursor::readPacket(AVPacket& packet) {
  AVFormatContext* format = parts_.demuxer->format.get();
  const auto start = [](const AVPacket& some) {
    return some.pts != AV_NOPTS_VALUE ? some.pts : some.dts;
  };
  while (true) {
    const int read = av_read_frame(format, &packet);
    if (!intraOnly_ || !ahead_) return read;
    if (read < 0) {
      if (ahead_->buf == nullptr && ahead_->data == nullptr) return read;
      av_packet_move_ref(&packet, ahead_.get());
      return 0;
    }
    if (packet.stream_index != parts_.stream->index || start(packet) == AV_NOPTS_VALUE) {
      return read;
    }
    const bool held = ahead_->buf != nullptr || ahead_->data != nullptr;
    const bool replaced =
        held && start(*ahead_) != AV_NOPTS_VALUE && start(packet) > start(*ahead_) &&
        parts_.clock.secondsOf(start(packet)) <= targetSeconds_ + kSameInstantSeconds;
    std::swap(*ahead_, packet);  // the packet read waits; the one held goes on, or is dropped
    if (!held) continue;
    if (!replaced) return 0;
    av_packet_unref(&packet);
    ++counters_.packetsRead;
  }
}

double DecodeCursor::secondsOf(const AVFrame& frame) const {
  return parts_.clock.secondsOf(framePts(frame));
}

std::vector<double> DecodeCursor::keyframeSeconds() const {
  std::vector<double> seconds;
  if (!hasTrustedIndex()) return seconds;
  const int count = avformat_index_get_entries_count(parts_.stream);
  for (int i = 0; i < count; ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(parts_.stream, i);
    if (entry != nullptr && (entry->flags & AVINDEX_KEYFRAME) != 0) {
      seconds.push_back(parts_.clock.secondsOf(entry->timestamp));
    }
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds;
}

// Note [skipping]: whether a packet already sent starts after this one and by the target.
bool DecodeCursor::replacedBeforeTarget(double startSeconds) const {
  const auto later = sentStarts_.upper_bound(startSeconds);
  return later != sentStarts_.end() && *later <= targetSeconds_ + kSameInstantSeconds;
}

void DecodeCursor::forgetFrames() {
  // Their pictures count against the budget until unreferenced.
  av_frame_unref(parts_.held.get());
  av_frame_unref(parts_.next.get());
  if (ahead_) av_packet_unref(ahead_.get());
  damagedSinceKeyframe_ = false;
  enteredSinceRestart_ = false;
  keyframesAtRestart_ = keyframesSent_;
  falseEntryCount_ = -1;
  sentStarts_.clear();
  pendingDts_.clear();
  packetsRejected_ = 0;
  demuxEnded_ = false;
  decoderEnded_ = false;
}

// Note [missing references]: whether a frame out since the decoder started was decoded from
// an entry point. The decoder's own word (a key frame: an IRAP picture) settles it; before that,
// a frame is taken as decoded from the last packet flagged as a keyframe before its own, unless
// that packet's frame came out as no key frame (a sync-sample table that lists plain I
// pictures). The key frame itself may never come out: FFmpeg drops the frames before an edit.
bool DecodeCursor::hasEntryPoint(const AVFrame& frame) {
  const int64_t keyframesBefore = frameTag(frame) >> kKeyframeCountShift;
  if (isKeyFrame(frame)) {
    enteredSinceRestart_ = true;
    return true;
  }
  if ((frameTag(frame) & kKeyPacketBit) != 0) falseEntryCount_ = keyframesBefore;
  return keyframesBefore != keyframesAtRestart_ && keyframesBefore != falseEntryCount_;
}

// One step of the decoder: the next frame in presentation order, or the end of the stream, or
// (while a seek is watched, Note [entry points]) a sign that the seek landed where nothing
// decodes.
Result<DecodeCursor::DecodeStep> DecodeCursor::decodeNextFrame(AVFrame& frame) {
  AVCodecContext* decoder = parts_.decoder.get();
  AVPacket* packet = parts_.packet.get();
  while (true) {
    if (Clock::now() > parts_.demuxer->deadline) return outOfTime();
    const int received = avcodec_receive_frame(decoder, &frame);
    if (received == kAvSuccess) {
      ++counters_.framesDecoded;
      if (clockFromDecodeOrder_ && !pendingDts_.empty()) {  // Note [decode-order clock]
        frame.pts = frame.best_effort_timestamp = *pendingDts_.begin();
        pendingDts_.erase(pendingDts_.begin());
      }
      if (needsEntryPoint_ && !enteredSinceRestart_ && !hasEntryPoint(frame)) {
        frame.flags |= AV_FRAME_FLAG_CORRUPT;  // Note [missing references]
      }
      if (isDamaged(frame) && frameTag(frame) >> kKeyframeCountShift == keyframesSent_) {
        damagedSinceKeyframe_ = true;
      }
      if (framePts(frame) != AV_NOPTS_VALUE) {
        sentStarts_.erase(sentStarts_.begin(), sentStarts_.lower_bound(secondsOf(frame)));
      }
      // A frame without a time cannot be placed on the clock, and one stamped before the
      // presentation starts is never on screen (timestamps that wrapped or jumped back).
      if (framePts(frame) == AV_NOPTS_VALUE || secondsOf(frame) < -kToleranceSeconds) {
        av_frame_unref(&frame);
        continue;
      }
      return DecodeStep::kFrame;
    }
    if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && demuxEnded_)) {
      decoderEnded_ = true;
      return DecodeStep::kEnd;
    }
    if (received != AVERROR(EAGAIN)) return decoderError(received);

    const int read = readPacket(*packet);
    if (read == AVERROR_EXIT) return outOfTime();
    // Anything but the end of the file, or a file cut short, is a failure to read it.
    if (read < 0 && read != AVERROR_EOF && read != AVERROR_INVALIDDATA) {
      return Error{"reading the file failed: " + errorText(read)};
    }
    if (read < 0) {
      // Either way, drain the frames the decoder still holds. Draining starts once, so the
      // only refusal (already draining) cannot happen here.
      demuxEnded_ = true;
      (void)avcodec_send_packet(decoder, nullptr);
      continue;
    }
    const PacketReference unref(packet);
    if (packet->stream_index != parts_.stream->index) continue;
    ++counters_.packetsRead;
    if (!clockDecided_) {
      clockDecided_ = true;
      clockFromDecodeOrder_ = packet->pts == AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE;
    }
    const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (start != AV_NOPTS_VALUE &&
        parts_.clock.secondsOf(start) > missWatchSeconds_ + kSameInstantSeconds &&
        ++packetsPastTarget_ > kPacketsPastTargetForMiss) {
      return DecodeStep::kMissed;
    }
    if (packet->flags & AV_PKT_FLAG_KEY) {
      damagedSinceKeyframe_ = false;
      ++keyframesSent_;
    }
    tagFrame(*decoder, *packet,
             keyframesSent_ << kKeyframeCountShift |
                 ((packet->flags & AV_PKT_FLAG_KEY) != 0 ? kKeyPacketBit : 0) |
                 (damagedSinceKeyframe_ ? kDamagedBit : 0));
    bool skip = false;  // Note [skipping]
    if (packet->pts != AV_NOPTS_VALUE && (packet->flags & AV_PKT_FLAG_DISCARD) == 0) {
      const double startSeconds = parts_.clock.secondsOf(packet->pts);
      skip = replacedBeforeTarget(startSeconds);
      sentStarts_.insert(startSeconds);
    }
    decoder->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    const bool timedByDts = clockFromDecodeOrder_ && packet->dts != AV_NOPTS_VALUE;
    if (timedByDts) {  // Note [decode-order clock]
      // Slots skipped while the decoder holds frames back are frames it still owes.
      if (!pendingDts_.empty() && packet->dts > *pendingDts_.rbegin() + 1 &&
          packet->dts - *pendingDts_.rbegin() <= kMostHeldBackSlots) {
        for (int64_t slot = *pendingDts_.rbegin() + 1; slot < packet->dts; ++slot) {
          pendingDts_.insert(slot);
        }
      }
      pendingDts_.insert(packet->dts);
    }
    const int sent = avcodec_send_packet(decoder, packet);
    // A damaged packet costs only the frames that depend on it: the next keyframe decodes.
    if (sent == AVERROR_INVALIDDATA) {
      damagedSinceKeyframe_ = true;
      ++packetsRejected_;
      if (timedByDts) pendingDts_.erase(pendingDts_.find(packet->dts));
    }
    if (sent < 0 && sent != AVERROR_INVALIDDATA) return decoderError(sent);
  }
}

bool DecodeCursor::seek(SeekTarget target, double seconds) {
  AVFormatContext* format = parts_.demuxer->format.get();
  const AVStream& stream = *parts_.stream;
  ++counters_.seeks;
  int status;
  if (target == SeekTarget::kStart) {
    // Streams read as a sequence of packs (MPEG-PS and -TS) find their start by a search on
    // timestamps that can land a GOP late: their first byte is the start.
    status = (format->iformat->flags & AVFMT_TS_DISCONT) != 0
                 ? av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE)
                 : -1;
    const int64_t first = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
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
    if (Clock::now() > parts_.demuxer->deadline) return outOfTime();
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
    missWatchSeconds_ =
        target == SeekTarget::kStart ? std::numeric_limits<double>::infinity() : targetSeconds;
    packetsPastTarget_ = 0;
    const Result<DecodeStep> step = decodeNextFrame(*parts_.next);
    missWatchSeconds_ = std::numeric_limits<double>::infinity();
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

Result<> DecodeCursor::advanceTo(double targetSeconds, Clock::time_point deadline) {
  parts_.demuxer->deadline = deadline;
  targetSeconds_ = targetSeconds;
  // Note [decode cursor], Note [exact seek]
  if (shouldSeek(targetSeconds)) {
    parts_.positionKnown = false;
    if (Result<> sought = seekBefore(targetSeconds); !sought.ok()) return sought;
  }
  // A failure from here on leaves the decoder somewhere between frames: the next target seeks.
  parts_.positionKnown = false;
  if (Result<> reached = decodeUpTo(targetSeconds); !reached.ok()) return reached;
  if (Result<> retaken = retakeDamagedTarget(targetSeconds); !retaken.ok()) return retaken;
  parts_.positionKnown = true;
  return {};
}

Result<> DecodeCursor::decodeUpTo(double targetSeconds) {
  while (true) {
    if (!hasNext()) {
      if (decoderEnded_) return {};
      const Result<DecodeStep> step = decodeNextFrame(*parts_.next);
      if (!step.ok()) return step.error();
      if (step.value() == DecodeStep::kEnd) return {};
    }
    if (secondsOf(*parts_.next) > targetSeconds + kSameInstantSeconds) return {};
    std::swap(parts_.held, parts_.next);
    av_frame_unref(parts_.next.get());
  }
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

Result<const AVFrame*> DecodeCursor::frameOnScreen(double targetSeconds) const {
  Result<const AVFrame*> shown = frameAt(targetSeconds);
  if (shown.ok() && isDamaged(*shown.value())) {
    return Error{"the video frame at " + secondsText(secondsOf(*shown.value())) + " is damaged"};
  }
  return shown;
}

Result<const AVFrame*> DecodeCursor::frameAt(double targetSeconds) const {
  if (hasHeld()) {
    const AVFrame& held = *parts_.held;
    if (hasNext()) return &held;
    // Packets were sent that start after the last frame out: the decoder lost their frames, and
    // the first of them ends the last frame's time on screen.
    const auto lost = sentStarts_.upper_bound(secondsOf(held));
    if (lost != sentStarts_.end()) {
      if (targetSeconds < *lost) return &held;
      const bool shortOfMemory = memoryIsShort();
      return Error{"decoding failed: no frame came out after the one at " +
                   secondsText(secondsOf(held)) +
                   (shortOfMemory ? std::string(": ") + kOutOfMemoryText : "")};
    }
    // Otherwise the video has ended: its last frame serves until the stream's end and the
    // tolerance after it.
    const double endSeconds = std::max(parts_.endSeconds, secondsOf(held));
    if (targetSeconds < endSeconds + kToleranceSeconds) return &held;
    return Error{"no video frame at " + secondsText(targetSeconds) + ": the video ends at " +
                 secondsText(endSeconds)};
  }
  if (hasNext() && secondsOf(*parts_.next) <= targetSeconds + kToleranceSeconds) {
    return parts_.next.get();  // the target is just before the first frame
  }
  if (hasNext()) {
    return Error{"no video frame at " + secondsText(targetSeconds) + ": the video starts at " +
                 secondsText(secondsOf(*parts_.next))};
  }
  if (packetsRejected_ == 0) {
    return Error{"no video frame could be decoded"};
  }
  // Pictures too large to decode end here too: the decoder refuses their packets.
  return Error{"no video frame could be decoded: the decoder rejected " +
               std::to_string(packetsRejected_) + " packets as invalid"};
}

}  // namespace framepick
