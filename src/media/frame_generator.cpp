// The frame generator: sets a cursor up and turns its frame into a still.

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

#include "media/asset.h"
#include "media/compat.h"
#include "media/cursor_opening.h"
#include "media/decode_cursor.h"
#include "media/failure_text.h"
#include "media/ffmpeg_facts.h"
#include "media/media.h"
#include "media/picture.h"
#include "media/picture_budget.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace framepick {

// What the generators of one run share: the memory their pictures may take together, and the
// time all samples may take.
struct RunLimits {
  PicturePool pictures;
  Clock::time_point capturesDeadline = Clock::now() + kAllCapturesBudget;
};

struct FrameGenerator {
  FrameGenerator(Asset& asset, int64_t maximumDimension, std::shared_ptr<RunLimits> limits)
      : asset(asset), maximumDimension(maximumDimension), limits(std::move(limits)) {
    budget.pool = &this->limits->pictures;
  }

  Asset& asset;
  int64_t maximumDimension;
  std::shared_ptr<RunLimits> limits;    // outlives the decoder, whose buffers report back to it
  std::unique_ptr<Demuxer> ownDemuxer;  // a sibling's own reading of the file
  std::optional<Error> setupError;  // when set, the video cannot be decoded: every capture fails
  PictureBudget budget;
  std::unique_ptr<DecodeCursor> cursor;
  AffineTransform transform = kIdentityTransform;
  UniqueSwsContext scaler;
  double convertingSeconds = 0;
};

struct ShownFrame {
  UniqueFrame frame;
  AVRational sampleAspectRatio;
  double actualSeconds;
};

namespace {

// The first video track as the loaded asset knows it (probed, with its timing), or why the
// video cannot be decoded.
Result<const AVStream*> probedVideoStream(const Asset& asset) {
  if (!asset.demuxer || !asset.demuxer->format) {
    return Error{"the file could not be read as media"};
  }
  if (asset.videoStream < 0) {
    return Error{"the file has no video track"};
  }
  return asset.demuxer->format->streams[asset.videoStream];
}

std::string gibibytesText(int64_t bytes) { return std::to_string(bytes >> 30) + " GiB"; }

}  // namespace

void FrameGeneratorDeleter::operator()(FrameGenerator* generator) const { delete generator; }

void ShownFrameDeleter::operator()(ShownFrame* shown) const { delete shown; }

FrameGeneratorHandle makeFrameGenerator(Asset& asset, int64_t maximumDimension) {
  FrameGeneratorHandle generator(
      new FrameGenerator(asset, maximumDimension, std::make_shared<RunLimits>()));
  const Result<const AVStream*> probed = probedVideoStream(asset);
  if (!probed.ok()) {
    generator->setupError = probed.error();
    return generator;
  }
  Result<std::unique_ptr<DecodeCursor>> cursor =
      openCursor(asset, *probed.value(), *asset.demuxer, generator->budget, asset.decoderThreads);
  if (!cursor.ok()) {
    generator->setupError = cursor.error();
    return generator;
  }
  generator->cursor = std::move(cursor.value());
  generator->transform = displayTransform(*probed.value());
  return generator;
}

FrameGeneratorHandle makeSiblingGenerator(FrameGenerator& first, int decoderThreads) {
  if (!first.cursor) return nullptr;
  Asset& asset = first.asset;
  const AVStream& probed = *asset.demuxer->format->streams[asset.videoStream];
  FrameGeneratorHandle sibling(new FrameGenerator(asset, first.maximumDimension, first.limits));
  sibling->ownDemuxer = openDemuxer(asset, Clock::now() + kOpenBudget);
  const AVFormatContext* format = sibling->ownDemuxer->format.get();
  // Read again without probing, the file must show the same stream where the probe found it.
  // Only MP4/MOV and Matroska state every packet's time in their index and headers: other
  // demuxers (AVI, for one) time packets by what the probe learnt of the stream.
  if (format == nullptr || !(isReadBy(*format, "mov") || isReadBy(*format, "matroska"))) {
    return nullptr;
  }
  if (static_cast<int>(format->nb_streams) <= asset.videoStream) return nullptr;
  const AVStream& stream = *format->streams[asset.videoStream];
  if (stream.codecpar->codec_id != probed.codecpar->codec_id ||
      av_cmp_q(stream.time_base, probed.time_base) != 0) {
    return nullptr;
  }
  Result<std::unique_ptr<DecodeCursor>> cursor =
      openCursor(asset, probed, *sibling->ownDemuxer, sibling->budget, decoderThreads);
  if (!cursor.ok()) return nullptr;
  sibling->cursor = std::move(cursor.value());
  sibling->transform = first.transform;
  return sibling;
}

std::vector<double> keyframeSeconds(const FrameGenerator& generator) {
  // Keyframes lie on the media's clock; an edit list's targets are taken in one chain.
  if (!generator.cursor || !generator.asset.edits.empty()) return {};
  return generator.cursor->keyframeSeconds();
}

ParallelRoom parallelRoom(const FrameGenerator& generator) {
  ParallelRoom room{.cores = generator.asset.cores, .decoders = 1};
  if (!generator.cursor) return room;
  const AVCodecParameters& parameters = *generator.cursor->stream().codecpar;
  room.decoders = decodersWithinBudget(av_image_get_buffer_size(
      static_cast<AVPixelFormat>(parameters.format), parameters.width, parameters.height, 1));
  return room;
}

Result<ShownFrameHandle> findFrameAtTime(FrameGenerator& generator, double requestedSeconds) {
  if (generator.setupError) return *generator.setupError;
  const Clock::time_point now = Clock::now();
  const Clock::time_point capturesDeadline = generator.limits->capturesDeadline;
  if (now >= capturesDeadline) {
    return Error{"not tried: the samples before it used up the " +
                 std::to_string(kAllCapturesBudget.count()) + " s all samples may take"};
  }
  DecodeCursor& cursor = *generator.cursor;
  generator.budget.exceeded = false;
  generator.budget.allocationFailed = false;
  // Note [edit list]: a target on the presentation's clock is a time in the track's media.
  const std::vector<Edit>& edits = generator.asset.edits;
  const auto edit = std::find_if(edits.rbegin(), edits.rend(), [requestedSeconds](const Edit& e) {
    return e.startSeconds <= requestedSeconds;
  });
  double mediaSeconds = requestedSeconds;
  if (!edits.empty()) {
    if (edit == edits.rend() || edit->mediaSeconds < 0) {
      return Error{"no video frame at " + secondsText(requestedSeconds) +
                   ": the edit list shows none there"};
    }
    mediaSeconds = edit->mediaSeconds + (requestedSeconds - edit->startSeconds) * edit->rate;
  }
  const Result<> advanced =
      cursor.advanceTo(mediaSeconds, std::min(now + kCaptureBudget, capturesDeadline));
  // A decoder refused pictures (Note [picture budget]) may fail, or may go on without them and
  // end with no frame.
  if (generator.budget.exceeded) {
    cursor.losePosition();
    return Error{"the video's pictures need more than the " + gibibytesText(kPictureBudgetBytes) +
                 " of memory decoding may use"};
  }
  if (generator.budget.allocationFailed) {
    cursor.losePosition();
    return Error{std::string("decoding failed: ") + kOutOfMemoryText};
  }
  if (!advanced.ok()) return advanced.error();
  const Result<const AVFrame*> found = cursor.frameOnScreen(mediaSeconds);
  if (!found.ok()) return found.error();
  const AVFrame& frame = *found.value();
  ShownFrameHandle shown(new ShownFrame{UniqueFrame(av_frame_alloc()), {}, 0});
  // A reference, not a copy: the decoder never writes into a picture it has given out.
  if (!shown->frame || av_frame_ref(shown->frame.get(), &frame) != kAvSuccess) {
    throw std::bad_alloc();
  }
  // The aspect ratio as the probe saw the stream: a sibling's stream was not probed.
  shown->sampleAspectRatio = av_guess_sample_aspect_ratio(
      nullptr, generator.asset.demuxer->format->streams[generator.asset.videoStream],
      const_cast<AVFrame*>(&frame));
  shown->actualSeconds = cursor.secondsOf(frame);
  if (!edits.empty()) {
    // On screen from the edit's start, or from where the edit reaches its media time.
    shown->actualSeconds = edit->startSeconds;
    if (edit->rate > 0) {
      shown->actualSeconds +=
          std::max(0.0, (cursor.secondsOf(frame) - edit->mediaSeconds) / edit->rate);
    }
  }
  return shown;
}

Result<CapturedImage> makeStill(FrameGenerator& generator, const ShownFrame& shown) {
  const Clock::time_point convertStart = Clock::now();
  Result<Image> image = renderPicture(*shown.frame, shown.sampleAspectRatio, generator.transform,
                                      generator.maximumDimension, generator.scaler);
  generator.convertingSeconds += std::chrono::duration<double>(Clock::now() - convertStart).count();
  if (!image.ok()) return image.error();
  return CapturedImage{std::move(image.value()), shown.actualSeconds};
}

Result<CapturedImage> copyImageAtTime(FrameGenerator& generator, double requestedSeconds) {
  const Result<ShownFrameHandle> shown = findFrameAtTime(generator, requestedSeconds);
  if (!shown.ok()) return shown.error();
  return makeStill(generator, *shown.value());
}

DecodeCounters decodeCounters(const FrameGenerator& generator) {
  DecodeCounters counters = generator.cursor ? generator.cursor->counters() : DecodeCounters{};
  counters.convertingSeconds = generator.convertingSeconds;
  return counters;
}

}  // namespace framepick
