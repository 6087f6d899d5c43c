#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <set>

#include "extract/media.h"
#include "extract/media_compat.h"
#include "extract/media_internal.h"
#include "extract/media_picture.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace framepick {
namespace {

// Each capture may take this long, and all of a run's captures together the longer budget.
constexpr auto kCaptureBudget = std::chrono::seconds(20);
constexpr auto kAllCapturesBudget = std::chrono::seconds(60);
// Note [picture budget]: the decoder takes its pictures from getBudgetedBuffer, which refuses
// once the pictures alive would pass this many bytes. A decoder keeps up to 16 reference
// pictures plus one per thread in flight, and at 8K in 4:4:4 with 16 bits a picture is 214 MB:
// without a budget a small file claiming that costs gigabytes.
constexpr int64_t kPictureBudgetBytes = 1LL << 30;
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
// What frames carry through the decoder (Note [damage]): the low bit is set for a frame
// decoded after a packet was lost, the bits above count the keyframes sent before its packet.
constexpr int64_t kDamagedBit = 1;
constexpr int kKeyframeCountShift = 1;

constexpr const char* kOutOfTimeText =
    "gave up: decoding took longer than the 20 s a sample may take (60 s for all samples)";

enum class DecodeStep { kFrame, kEnd, kError, kMissed };

// Shared by the decoder's threads: the bytes of the decoded pictures that are still referenced.
struct PictureBudget {
  std::atomic<int64_t> bytesInUse = 0;
  std::atomic<bool> exceeded = false;
  // A decoder that cannot get a picture may go on without it, ending early or with damaged
  // frames: this tells the real cause.
  std::atomic<bool> allocationFailed = false;
};

// A pooled picture buffer wrapped so that its bytes return to the budget with its last reference.
struct BudgetedBuffer {
  PictureBudget* budget;
  AVBufferRef* pooled;
  int64_t bytes;
};

void releaseBudgetedBuffer(void* opaque, uint8_t*) {
  auto* buffer = static_cast<BudgetedBuffer*>(opaque);
  buffer->budget->bytesInUse -= buffer->bytes;
  av_buffer_unref(&buffer->pooled);
  delete buffer;
}

// The decoder's get_buffer2: FFmpeg's own allocation, counted against the budget.
int getBudgetedBuffer(AVCodecContext* decoder, AVFrame* frame, int flags) {
  PictureBudget& budget = *static_cast<PictureBudget*>(decoder->opaque);
  // Refused before allocating: FFmpeg's pool would keep a refused picture's zeroed memory.
  const int64_t estimate = av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format),
                                                    frame->width, frame->height, 1);
  if (budget.bytesInUse + std::max<int64_t>(estimate, 0) > kPictureBudgetBytes) {
    budget.exceeded = true;
    return AVERROR(ENOMEM);
  }
  const int status = avcodec_default_get_buffer2(decoder, frame, flags);
  if (status == AVERROR(ENOMEM)) budget.allocationFailed = true;
  if (status < 0) return status;
  int64_t bytes = 0;
  for (const AVBufferRef* buffer : frame->buf) bytes += buffer ? buffer->size : 0;
  for (int i = 0; i < frame->nb_extended_buf; ++i) bytes += frame->extended_buf[i]->size;
  budget.bytesInUse += bytes;
  std::unique_ptr<BudgetedBuffer> tracker(
      new (std::nothrow) BudgetedBuffer{&budget, frame->buf[0], bytes});
  AVBufferRef* wrapped =
      tracker ? av_buffer_create(frame->buf[0]->data, frame->buf[0]->size, releaseBudgetedBuffer,
                                 tracker.get(), 0)
              : nullptr;
  if (wrapped == nullptr) {
    budget.allocationFailed = true;
    budget.bytesInUse -= bytes;
    av_frame_unref(frame);
    return AVERROR(ENOMEM);
  }
  tracker.release();
  frame->buf[0] = wrapped;
  return kAvSuccess;
}

}  // namespace

struct FrameGenerator {
  FrameGenerator(Asset& asset, int64_t maximumDimension)
      : asset(asset), maximumDimension(maximumDimension) {}

  Asset& asset;
  int64_t maximumDimension;
  std::string setupError;  // when set, the video cannot be decoded and every capture fails
  Clock::time_point capturesDeadline = Clock::now() + kAllCapturesBudget;
  PictureBudget budget;  // outlives the decoder and the frames, whose buffers report back to it
  AVStream* stream = nullptr;
  int64_t startPts = 0;  // the presentation's time zero in the stream's time base
  // Where the video's last frame leaves the screen: the stream's stated end, else the file's.
  double endSeconds = std::numeric_limits<double>::infinity();
  AffineTransform transform = kIdentityTransform;
  UniqueCodecContext decoder;
  UniquePacket packet;
  UniqueSwsContext scaler;

  // Note [decode cursor]: `held` is the last frame at or before the latest target, `next` the
  // first frame after it, already decoded. A target in [held, next) is answered by `held`
  // without decoding anything; later targets move both forward.
  UniqueFrame held;
  UniqueFrame next;
  bool hasHeld = false;
  bool hasNext = false;
  bool demuxEnded = false;
  bool decoderEnded = false;
  bool positionKnown = true;  // false after an error: the next capture starts with a seek
  // Note [damage]: frames decoded after a packet was lost, up to the next keyframe, are built on
  // missing references and may show an older picture; they travel tagged (tagFrame).
  bool damagedSinceKeyframe = false;
  int64_t keyframesSent = 0;  // a damaged frame out of an earlier GOP taints nothing after it
  // Note [skipping]: a frame is on screen until the next one in presentation order starts, which
  // in decode order may come much later. So a non-reference frame is dropped only when a packet
  // already sent starts after it and no later than the target: then that one replaces it first.
  // Starts of packets sent since the seek, less those below the last frame out (all later
  // frames start after that one).
  std::multiset<double> sentStarts;
  double targetSeconds = -std::numeric_limits<double>::infinity();
  // Note [decode-order clock]: containers that store no presentation times (AVI) give packets a
  // dts only, the frame's position in decode order. The decoder puts frames in presentation
  // order, so each frame out takes the smallest dts still pending: frame k is shown at k/rate.
  bool clockDecided = false;
  bool clockFromDecodeOrder = false;
  std::multiset<int64_t> pendingDts;
  // Note [entry points]: once a seek landed where the decoder could not start, the file's
  // keyframe index is not trusted for the rest of the run (intra refresh).
  bool indexUnreliable = false;
  // Seeks that found no place to start but the start: decode forward from then on.
  bool forwardOnly = false;
  double missWatchSeconds = std::numeric_limits<double>::infinity();
  int packetsPastTarget = 0;
  std::string lastError;
  int64_t packetsRejected = 0;  // by the decoder since the last seek
  DecodeCounters counters;
};

namespace {

// Timestamps come from the file and may be anywhere in 64 bits, so differences and sums of them
// are taken in double, where they cannot overflow (and are exact up to 2^53).
double secondsOf(const FrameGenerator& generator, int64_t pts) {
  const AVRational timeBase = generator.stream->time_base;
  return (static_cast<double>(pts) - static_cast<double>(generator.startPts)) * timeBase.num /
         timeBase.den;
}

// A length of time in the stream's time base, in seconds.
double spanSeconds(const FrameGenerator& generator, int64_t ticks) {
  const AVRational timeBase = generator.stream->time_base;
  return static_cast<double>(ticks) * timeBase.num / timeBase.den;
}

// Clamped to the 64-bit range: a target that lies beyond it (a claimed duration of millennia in
// a fine time base) seeks to the end.
int64_t ptsOf(const FrameGenerator& generator, double seconds) {
  const AVRational timeBase = generator.stream->time_base;
  const double pts =
      static_cast<double>(generator.startPts) + std::floor(seconds * timeBase.den / timeBase.num);
  if (!(pts < 0x1p63)) return std::numeric_limits<int64_t>::max();
  if (pts < -0x1p63) return std::numeric_limits<int64_t>::min() + 1;  // min is AV_NOPTS_VALUE
  return static_cast<int64_t>(pts);
}

int64_t framePts(const AVFrame& frame) {
  return frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
}

double frameSeconds(const FrameGenerator& generator, const AVFrame& frame) {
  return secondsOf(generator, framePts(frame));
}

// The end of the last frame's display time: nothing follows it, so the stream's stated end.
double lastFrameEndSeconds(const FrameGenerator& generator, const AVFrame& frame) {
  return std::max(generator.endSeconds, frameSeconds(generator, frame));
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

// Note [skipping]: whether a packet already sent starts after this one and by the target.
bool replacedBeforeTarget(const FrameGenerator& generator, double startSeconds) {
  const auto later = generator.sentStarts.upper_bound(startSeconds);
  return later != generator.sentStarts.end() &&
         *later <= generator.targetSeconds + kSameInstantSeconds;
}

bool isDamaged(const AVFrame& frame) {
  return frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 ||
         (frameTag(frame) & kDamagedBit) != 0;
}

void forgetFrames(FrameGenerator& generator) {
  // Their pictures count against the budget until unreferenced.
  av_frame_unref(generator.held.get());
  av_frame_unref(generator.next.get());
  generator.damagedSinceKeyframe = false;
  generator.sentStarts.clear();
  generator.pendingDts.clear();
  generator.packetsRejected = 0;
  generator.hasHeld = false;
  generator.hasNext = false;
  generator.demuxEnded = false;
  generator.decoderEnded = false;
}

// One step of the decoder: the next frame in presentation order, the end of the stream, or an
// error whose text is left in lastError.
DecodeStep decodeNextFrame(FrameGenerator& generator, AVFrame* frame) {
  AVCodecContext* decoder = generator.decoder.get();
  while (true) {
    if (Clock::now() > generator.asset.deadline) {
      generator.lastError = kOutOfTimeText;
      return DecodeStep::kError;
    }
    const int received = avcodec_receive_frame(decoder, frame);
    if (received == kAvSuccess) {
      ++generator.counters.framesDecoded;
      if (generator.clockFromDecodeOrder && !generator.pendingDts.empty()) {
        frame->pts = frame->best_effort_timestamp = *generator.pendingDts.begin();
        generator.pendingDts.erase(generator.pendingDts.begin());
      }
      if (isDamaged(*frame) &&
          frameTag(*frame) >> kKeyframeCountShift == generator.keyframesSent) {
        generator.damagedSinceKeyframe = true;
      }
      if (framePts(*frame) != AV_NOPTS_VALUE) {
        auto& starts = generator.sentStarts;
        starts.erase(starts.begin(), starts.lower_bound(frameSeconds(generator, *frame)));
      }
      // A frame without a time cannot be placed on the clock, and one stamped before the
      // presentation starts is never on screen (timestamps that wrapped or jumped back).
      if (framePts(*frame) == AV_NOPTS_VALUE ||
          frameSeconds(generator, *frame) < -kToleranceSeconds) {
        av_frame_unref(frame);
        continue;
      }
      return DecodeStep::kFrame;
    }
    if (received == AVERROR_EOF) {
      generator.decoderEnded = true;
      return DecodeStep::kEnd;
    }
    if (received != AVERROR(EAGAIN)) {
      generator.lastError = "decoding failed: " + errorText(received);
      return DecodeStep::kError;
    }
    if (generator.demuxEnded) {
      generator.decoderEnded = true;
      return DecodeStep::kEnd;
    }

    const int read = av_read_frame(generator.asset.format.get(), generator.packet.get());
    if (read == AVERROR_EXIT) {
      generator.lastError = kOutOfTimeText;
      return DecodeStep::kError;
    }
    // Anything but the end of the file, or a file cut short, is a failure to read it.
    if (read < 0 && read != AVERROR_EOF && read != AVERROR_INVALIDDATA) {
      generator.lastError = "reading the file failed: " + errorText(read);
      return DecodeStep::kError;
    }
    if (read < 0) {
      // Either way, drain the frames the decoder still holds.
      generator.demuxEnded = true;
      avcodec_send_packet(decoder, nullptr);
      continue;
    }
    const PacketReference unref(generator.packet.get());
    if (generator.packet->stream_index != generator.stream->index) continue;
    ++generator.counters.packetsRead;
    const AVPacket& packet = *generator.packet;
    if (!generator.clockDecided) {
      generator.clockDecided = true;
      generator.clockFromDecodeOrder = packet.pts == AV_NOPTS_VALUE && packet.dts != AV_NOPTS_VALUE;
    }
    const int64_t start = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    if (start != AV_NOPTS_VALUE &&
        secondsOf(generator, start) > generator.missWatchSeconds + kSameInstantSeconds &&
        ++generator.packetsPastTarget > kPacketsPastTargetForMiss) {
      return DecodeStep::kMissed;
    }
    if (packet.flags & AV_PKT_FLAG_KEY) {
      generator.damagedSinceKeyframe = false;
      ++generator.keyframesSent;
    }
    tagFrame(*decoder, *generator.packet,
             generator.keyframesSent << kKeyframeCountShift |
                 (generator.damagedSinceKeyframe ? kDamagedBit : 0));
    bool skip = false;
    if (packet.pts != AV_NOPTS_VALUE && (packet.flags & AV_PKT_FLAG_DISCARD) == 0) {
      const double startSeconds = secondsOf(generator, packet.pts);
      skip = replacedBeforeTarget(generator, startSeconds);
      generator.sentStarts.insert(startSeconds);
    }
    decoder->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    const bool timedByDts = generator.clockFromDecodeOrder && packet.dts != AV_NOPTS_VALUE;
    if (timedByDts) generator.pendingDts.insert(packet.dts);
    const int sent = avcodec_send_packet(decoder, generator.packet.get());
    // A damaged packet costs only the frames that depend on it: the next keyframe decodes.
    if (sent == AVERROR_INVALIDDATA) {
      generator.damagedSinceKeyframe = true;
      ++generator.packetsRejected;
      if (timedByDts) generator.pendingDts.erase(generator.pendingDts.find(packet.dts));
    }
    if (sent < 0 && sent != AVERROR_INVALIDDATA) {
      generator.lastError = "decoding failed: " + errorText(sent);
      return DecodeStep::kError;
    }
  }
}

bool seekStream(FrameGenerator& generator, double seconds, bool toStart) {
  AVFormatContext* format = generator.asset.format.get();
  const int index = generator.stream->index;
  ++generator.counters.seeks;
  int status;
  if (toStart) {
    // Streams read as a sequence of packs (MPEG-PS and -TS) find their start by a search on
    // timestamps that can land a GOP late: their first byte is the start.
    status = (format->iformat->flags & AVFMT_TS_DISCONT) != 0
                 ? av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE)
                 : -1;
    const int64_t first =
        generator.stream->start_time != AV_NOPTS_VALUE ? generator.stream->start_time : 0;
    if (status < 0) status = avformat_seek_file(format, index, INT64_MIN, first, first, 0);
    // Streams without timestamps to seek by can still go back to their first byte.
    if (status < 0) status = av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE);
  } else {
    status = av_seek_frame(format, index, ptsOf(generator, seconds), AVSEEK_FLAG_BACKWARD);
  }
  if (status < 0) return false;
  avcodec_flush_buffers(generator.decoder.get());
  forgetFrames(generator);
  return true;
}

// Note [entry points]: whether the keyframe index says where decoding can start.
bool hasTrustedIndex(const FrameGenerator& generator) {
  return !generator.indexUnreliable && avformat_index_get_entries_count(generator.stream) > 0;
}

// Note [exact seek]: a backward seek is meant to land on the keyframe at or before the target,
// but some demuxers land after it (MPEG-TS does), and some keyframes are only where a picture
// starts to build up (intra refresh). When no frame at or before the target comes, seek again
// 1, 2, 4 ... seconds earlier, and at last from the start.
bool seekBefore(FrameGenerator& generator, double targetSeconds) {
  double backoff = 0;
  bool missed = false;
  while (true) {
    // Out of time, every seek fails at once: say so rather than that seeking failed.
    if (Clock::now() > generator.asset.deadline) {
      generator.lastError = kOutOfTimeText;
      return false;
    }
    // Without keyframes to land on, a target near the start is reached soonest from the start.
    if (generator.forwardOnly ||
        (!hasTrustedIndex(generator) && targetSeconds <= kForwardDecodeSeconds)) {
      backoff = targetSeconds;
    }
    const double seekSeconds = targetSeconds - backoff;
    const bool toStart = seekSeconds <= 0;
    backoff = backoff == 0 ? 1 : backoff * 2;
    if (!seekStream(generator, seekSeconds, toStart)) {
      if (toStart) {
        generator.lastError = "seeking in the file failed";
        return false;
      }
      continue;
    }
    generator.missWatchSeconds = toStart ? std::numeric_limits<double>::infinity() : targetSeconds;
    generator.packetsPastTarget = 0;
    const DecodeStep step = decodeNextFrame(generator, generator.next.get());
    generator.missWatchSeconds = std::numeric_limits<double>::infinity();
    if (step == DecodeStep::kError) return false;
    generator.hasNext = step == DecodeStep::kFrame;
    if (toStart) {
      generator.forwardOnly = generator.forwardOnly || missed;
      return true;
    }
    if (generator.hasNext &&
        frameSeconds(generator, *generator.next) <= targetSeconds + kSameInstantSeconds) {
      return true;
    }
    generator.indexUnreliable = true;
    missed = true;
    // Not even a late frame: keyframes are too rare here for further seeks to pay.
    if (step == DecodeStep::kMissed) generator.forwardOnly = true;
  }
}

// Whether reaching the target by decoding forward from where the decoder stands would cost more
// than a seek: the target lies behind us, or a keyframe more than a second past us lies before
// it (without a trusted index: the target lies more than 3 s ahead).
bool shouldSeek(const FrameGenerator& generator, double targetSeconds) {
  if (!generator.positionKnown) return true;
  if (generator.hasHeld &&
      targetSeconds + kSameInstantSeconds < frameSeconds(generator, *generator.held)) {
    return true;
  }
  // The held last frame answers any later target; a run past seeking goes forward only.
  if (generator.decoderEnded || generator.forwardOnly) return false;
  const AVFrame* latest = generator.hasNext   ? generator.next.get()
                          : generator.hasHeld ? generator.held.get()
                                              : nullptr;
  const double currentSeconds = latest ? frameSeconds(generator, *latest) : 0;
  if (targetSeconds <= currentSeconds) return false;
  const int keyframe = av_index_search_timestamp(generator.stream, ptsOf(generator, targetSeconds),
                                                 AVSEEK_FLAG_BACKWARD);
  if (keyframe < 0 || !hasTrustedIndex(generator)) {
    return targetSeconds - currentSeconds > kForwardDecodeSeconds;
  }
  const AVIndexEntry* entry = avformat_index_get_entry(generator.stream, keyframe);
  return entry != nullptr &&
         secondsOf(generator, entry->timestamp) > currentSeconds + kLeastSeekSavingSeconds;
}

// Moves the cursor so that `held` is the last frame at or before the target, when there is one.
bool advanceTo(FrameGenerator& generator, double targetSeconds) {
  generator.targetSeconds = targetSeconds;
  if (shouldSeek(generator, targetSeconds) && !seekBefore(generator, targetSeconds)) return false;
  generator.positionKnown = true;
  while (true) {
    if (!generator.hasNext) {
      if (generator.decoderEnded) return true;
      const DecodeStep step = decodeNextFrame(generator, generator.next.get());
      if (step == DecodeStep::kError) return false;
      if (step == DecodeStep::kEnd) return true;
      generator.hasNext = true;
    }
    if (frameSeconds(generator, *generator.next) > targetSeconds + kSameInstantSeconds) {
      return true;
    }
    std::swap(generator.held, generator.next);
    av_frame_unref(generator.next.get());
    generator.hasHeld = true;
    generator.hasNext = false;
  }
}

// Whether the heap lacks room for a few more pictures. A decoder short of memory may drop frames
// without saying why; a mapping of our own is what can tell (the compiler may not elide it).
bool memoryIsShort() {
  constexpr size_t kHeadroomBytes = size_t{32} << 20;
  void* room = mmap(nullptr, kHeadroomBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                    -1, 0);
  if (room == MAP_FAILED) return true;
  munmap(room, kHeadroomBytes);
  return false;
}

// The frame that a player shows at the target, once the cursor stands there.
Result<const AVFrame*> frameOnScreen(const FrameGenerator& generator, double targetSeconds) {
  if (generator.hasHeld) {
    const AVFrame& held = *generator.held;
    if (generator.hasNext) return &held;
    // Packets were sent that start after the last frame out: the decoder lost their frames, and
    // the first of them ends the last frame's time on screen.
    const auto lost = generator.sentStarts.upper_bound(frameSeconds(generator, held));
    if (lost != generator.sentStarts.end()) {
      if (targetSeconds < *lost) return &held;
      return Failure{"decoding failed: no frame came out after the one at " +
                     secondsText(frameSeconds(generator, held)) +
                     (memoryIsShort() ? std::string(": ") + kOutOfMemoryText : "")};
    }
    // Otherwise the video has ended: its last frame serves until the stream's end and the
    // tolerance after it.
    const double endSeconds = lastFrameEndSeconds(generator, held);
    if (targetSeconds < endSeconds + kToleranceSeconds) return &held;
    return Failure{"no video frame at " + secondsText(targetSeconds) + ": the video ends at " +
                   secondsText(endSeconds)};
  }
  if (generator.hasNext &&
      frameSeconds(generator, *generator.next) <= targetSeconds + kToleranceSeconds) {
    return generator.next.get();  // the target is just before the first frame
  }
  if (generator.hasNext) {
    return Failure{"no video frame at " + secondsText(targetSeconds) + ": the video starts at " +
                   secondsText(frameSeconds(generator, *generator.next))};
  }
  if (generator.packetsRejected == 0) return Failure{"no video frame could be decoded"};
  // Pictures too large to decode end here too: the decoder refuses their packets.
  return Failure{"no video frame could be decoded: the decoder rejected " +
                 std::to_string(generator.packetsRejected) + " packets as invalid"};
}

int openDecoder(FrameGenerator& generator, const AVCodec& codec, int threads) {
  generator.decoder.reset(avcodec_alloc_context3(&codec));
  AVCodecContext* decoder = generator.decoder.get();
  if (decoder == nullptr) return AVERROR(ENOMEM);
  const int status = avcodec_parameters_to_context(decoder, generator.stream->codecpar);
  if (status != kAvSuccess) return status;
  decoder->pkt_timebase = generator.stream->time_base;
  decoder->thread_count = threads;
  decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  decoder->max_pixels = kMaxPixels;
  decoder->opaque = &generator.budget;
  decoder->get_buffer2 = getBudgetedBuffer;
  prepareFrameTags(*decoder);
  return avcodec_open2(decoder, &codec, nullptr);
}

std::string sizeText(Size size) {
  return std::to_string(std::llround(size.width)) + "x" + std::to_string(std::llround(size.height));
}

}  // namespace

void FrameGeneratorDeleter::operator()(FrameGenerator* generator) const { delete generator; }

FrameGeneratorHandle makeFrameGenerator(Asset& asset, int64_t maximumDimension) {
  FrameGeneratorHandle generator(new FrameGenerator(asset, maximumDimension));
  if (!asset.format) {
    generator->setupError = "the file could not be read as media";
    return generator;
  }
  AVFormatContext* format = asset.format.get();
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (generator->stream == nullptr && isVideoTrack(*format->streams[i])) {
      generator->stream = format->streams[i];
    } else {
      format->streams[i]->discard = AVDISCARD_ALL;  // never demux what is never decoded
    }
  }
  if (generator->stream == nullptr) {
    generator->setupError = "the file has no video track";
    return generator;
  }
  AVStream* stream = generator->stream;
  generator->startPts = presentationStartPts(asset, *stream);
  if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    const int64_t first =
        stream->start_time != AV_NOPTS_VALUE ? stream->start_time : generator->startPts;
    generator->endSeconds =
        secondsOf(*generator, first) + spanSeconds(*generator, stream->duration);
  } else if (std::isfinite(asset.durationSeconds)) {
    generator->endSeconds = asset.durationSeconds;
  }
  generator->transform = displayTransform(*stream);
  generator->positionKnown = asset.readPositionAtStart;
  // MPEG-PS and -TS index what their timestamp searches passed, not where decoding can start.
  generator->indexUnreliable = (format->iformat->flags & AVFMT_TS_DISCONT) != 0;
  // Matroska reads its keyframe index (cues) only at the first seek; without it every target
  // would be reached by decoding from the start.
  if (avformat_index_get_entries_count(stream) < 2 &&
      avformat_seek_file(format, stream->index, INT64_MIN, INT64_MIN, INT64_MIN, 0) < 0) {
    generator->positionKnown = false;
  }

  const Size coded = codedSize(asset, *stream);
  if (coded.width * coded.height > static_cast<double>(kMaxPixels)) {
    generator->setupError = "the video's pictures of " + sizeText(coded) +
                            " pixels are larger than the " +
                            sizeText({kMaxPictureWidth, kMaxPictureHeight}) + " decoding allows";
    return generator;
  }
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    generator->setupError =
        std::string("no decoder for video codec ") + avcodec_get_name(stream->codecpar->codec_id);
    return generator;
  }
  generator->packet.reset(av_packet_alloc());
  generator->held.reset(av_frame_alloc());
  generator->next.reset(av_frame_alloc());
  int status = generator->packet && generator->held && generator->next
                   ? openDecoder(*generator, *codec, asset.decoderThreads)
                   : AVERROR(ENOMEM);
  // Every decoding thread needs a stack and pictures of its own: short of memory, one may do.
  if ((status == AVERROR(EAGAIN) || status == AVERROR(ENOMEM)) && asset.decoderThreads > 1) {
    status = openDecoder(*generator, *codec, 1);
  }
  if (status != kAvSuccess) {
    generator->setupError =
        std::string("cannot decode ") + codec->name + " video: " + errorText(status);
  }
  return generator;
}

Result<CapturedImage> copyImageAtTime(FrameGenerator& generator, double requestedSeconds) {
  if (!generator.setupError.empty()) return Failure{generator.setupError};
  const Clock::time_point now = Clock::now();
  if (now >= generator.capturesDeadline) {
    return Failure{"not tried: the samples before it used up the 60 s all samples may take"};
  }
  generator.asset.deadline = std::min(now + kCaptureBudget, generator.capturesDeadline);
  generator.budget.exceeded = false;
  generator.budget.allocationFailed = false;
  const bool advanced = advanceTo(generator, requestedSeconds);
  // A decoder refused pictures may fail, or may go on without them and end with no frame.
  if (generator.budget.exceeded) {
    generator.positionKnown = false;
    return Failure{"the video's pictures need more than the 1 GiB of memory decoding may use"};
  }
  if (generator.budget.allocationFailed) {
    generator.positionKnown = false;
    return Failure{std::string("decoding failed: ") + kOutOfMemoryText};
  }
  if (!advanced) {
    generator.positionKnown = false;
    return Failure{generator.lastError};
  }
  const Result<const AVFrame*> shown = frameOnScreen(generator, requestedSeconds);
  if (!shown.ok()) return Failure{shown.error()};
  const AVFrame& frame = *shown.value();
  if (isDamaged(frame)) {
    return Failure{"the video frame at " + secondsText(frameSeconds(generator, frame)) +
                   " is damaged"};
  }
  const AVRational aspect = av_guess_sample_aspect_ratio(
      generator.asset.format.get(), generator.stream, const_cast<AVFrame*>(&frame));
  const Clock::time_point convertStart = Clock::now();
  Result<Image> image = renderPicture(frame, aspect, generator.transform,
                                      generator.maximumDimension, generator.scaler);
  generator.counters.convertingSeconds +=
      std::chrono::duration<double>(Clock::now() - convertStart).count();
  if (!image.ok()) return Failure{image.error()};
  return CapturedImage{std::move(image.value()), frameSeconds(generator, frame)};
}

DecodeCounters decodeCounters(const FrameGenerator& generator) { return generator.counters; }

}  // namespace framepick
