// The cursor itself: moving to a target, and the frame it shows there.

#include "media/decode_cursor.h"

#include <sys/mman.h>

#include <algorithm>
#include <utility>

#include "media/failure_text.h"
#include "media/ffmpeg_facts.h"

namespace framepick {
namespace {

bool isIntraOnly(AVCodecID codec) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec);
  return descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
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
      damage_(parts_.stream->codecpar->codec_id == AV_CODEC_ID_HEVC),
      forwardOnly_(parts_.forwardOnly),
      intraOnly_(isIntraOnly(parts_.stream->codecpar->codec_id)),
      ahead_(av_packet_alloc()) {}

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

Result<> DecodeCursor::advanceTo(double targetSeconds, Clock::time_point deadline) {
  parts_.demuxer->deadline = deadline;
  skips_.aimAt(targetSeconds);
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
    const std::optional<double> lost = skips_.firstStartAfter(secondsOf(held));
    if (lost) {
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
  // Pictures too large to decode end here too: the decoder refuses their packets. So does a
  // decoder that could not allocate its tables.
  return Error{"no video frame could be decoded: the decoder rejected " +
               std::to_string(packetsRejected_) + " packets as invalid" +
               (memoryIsShort() ? std::string(": ") + kOutOfMemoryText : "")};
}

}  // namespace framepick
