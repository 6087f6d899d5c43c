// Opening a cursor on the video track: its decoder, where the track ends, where it can start.

#include "media/cursor_opening.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "media/compat.h"
#include "media/failure_text.h"
#include "media/ffmpeg_facts.h"
#include "media/intra_refresh.h"
#include "media/picture_budget.h"

namespace framepick {
namespace {

std::string sizeText(Size size) {
  return std::to_string(std::llround(size.width)) + "x" + std::to_string(std::llround(size.height));
}

// Where the video's last frame leaves the screen: the stream's stated end, else the file's.
double streamEndSeconds(const Asset& asset, const AVStream& stream, const StreamClock& clock) {
  if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) {
    const int64_t first = streamStartOr(stream, clock.startPts);
    // The stated duration runs from the presentation's start, which an edit may put before the
    // first frame FFmpeg gives.
    return clock.secondsOf(first) - clock.spanSeconds(asset.videoEditLeadTicks) +
           clock.spanSeconds(stream.duration);
  }
  return std::isfinite(asset.durationSeconds) ? asset.durationSeconds
                                              : std::numeric_limits<double>::infinity();
}

int openDecoder(UniqueCodecContext& decoder, const AVCodec& codec, const AVStream& stream,
                int threads, PictureBudget& budget) {
  decoder.reset(avcodec_alloc_context3(&codec));
  if (!decoder) return AVERROR(ENOMEM);
  const int status = avcodec_parameters_to_context(decoder.get(), stream.codecpar);
  if (status != kAvSuccess) return status;
  decoder->pkt_timebase = stream.time_base;
  decoder->thread_count = threads;
  decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  decoder->max_pixels = kMaxPixels;
  drawPicturesFrom(budget, *decoder);
  prepareFrameTags(*decoder);
  return avcodec_open2(decoder.get(), &codec, nullptr);
}

// FFmpeg's own VP9 decoder drops the alpha layer that WebM carries beside the picture (its
// alpha_mode tag says so); libvpx's decoder reads it, where FFmpeg was built with it.
const AVCodec* videoDecoder(const AVStream& stream) {
  if (stream.codecpar->codec_id == AV_CODEC_ID_VP9) {
    const AVDictionaryEntry* alpha = av_dict_get(stream.metadata, "alpha_mode", nullptr, 0);
    const AVCodec* libvpx = avcodec_find_decoder_by_name("libvpx-vp9");
    if (alpha != nullptr && std::strcmp(alpha->value, "1") == 0 && libvpx != nullptr) return libvpx;
  }
  return avcodec_find_decoder(stream.codecpar->codec_id);
}

}  // namespace

Result<std::unique_ptr<DecodeCursor>> openCursor(const Asset& asset, const AVStream& probed,
                                                 Demuxer& demuxer, PictureBudget& budget,
                                                 int threads) {
  // What fails the video outright is known before the file is read any further.
  const Size coded = codedSize(asset, probed);
  if (coded.width * coded.height > static_cast<double>(kMaxPixels)) {
    return Error{"the video's pictures of " + sizeText(coded) + " pixels are larger than the " +
                 sizeText({kMaxPictureWidth, kMaxPictureHeight}) + " decoding allows"};
  }
  const AVCodec* codec = videoDecoder(probed);
  if (codec == nullptr) {
    return Error{std::string("no decoder for video codec ") +
                 avcodec_get_name(probed.codecpar->codec_id)};
  }
  AVFormatContext* format = demuxer.format.get();
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    // Never demux what is never decoded.
    if (static_cast<int>(i) != asset.videoStream) format->streams[i]->discard = AVDISCARD_ALL;
  }
  AVStream* stream = format->streams[asset.videoStream];
  const StreamClock clock{probed.time_base, presentationStartPts(asset, probed)};
  const bool firstReading = &demuxer == asset.demuxer.get();
  bool positionKnown = firstReading && asset.readPositionAtStart;
  // Matroska reads its keyframe index (cues) only at the first seek; without it every target
  // would be reached by decoding from the start.
  if (avformat_index_get_entries_count(stream) < 2 &&
      avformat_seek_file(format, stream->index, INT64_MIN, INT64_MIN, INT64_MIN, 0) < 0) {
    positionKnown = false;
  }

  // Note [intra refresh]: such an index gives no place to start but the start. Other readings
  // of the file are only made where the first one's index gave places to start from.
  const IndexedKeyframes keyframes =
      firstReading ? indexedKeyframes(demuxer, *stream) : IndexedKeyframes::kUnread;
  if (keyframes != IndexedKeyframes::kUnread &&
      avformat_seek_file(format, stream->index, INT64_MIN, streamStartOr(*stream, 0),
                         streamStartOr(*stream, 0), 0) < 0) {
    positionKnown = false;
  }
  const bool refreshPoints = keyframes == IndexedKeyframes::kRefreshPoints;

  CursorParts parts{
      .demuxer = &demuxer,
      .stream = stream,
      .decoder = nullptr,
      .packet = UniquePacket(av_packet_alloc()),
      .held = UniqueFrame(av_frame_alloc()),
      .next = UniqueFrame(av_frame_alloc()),
      .clock = clock,
      .endSeconds = streamEndSeconds(asset, probed, clock),
      .positionKnown = positionKnown,
      // MPEG-PS and -TS index what their timestamp searches passed, not where decoding starts.
      .indexUnreliable = isReadAsPacks(*format) || refreshPoints,
      .forwardOnly = refreshPoints,
  };
  int status = parts.packet && parts.held && parts.next
                   ? openDecoder(parts.decoder, *codec, probed, threads, budget)
                   : AVERROR(ENOMEM);
  // Every decoding thread needs a stack and pictures of its own: short of memory, one may do.
  if ((status == AVERROR(EAGAIN) || status == AVERROR(ENOMEM)) && threads > 1) {
    status = openDecoder(parts.decoder, *codec, probed, 1, budget);
  }
  if (status != kAvSuccess) {
    return Error{std::string("cannot decode ") + codec->name + " video: " + errorText(status)};
  }
  return std::make_unique<DecodeCursor>(std::move(parts));
}

}  // namespace framepick
