// A video track's shape: which streams are tracks, their coded and natural sizes, their turn.

#include <cmath>
#include <cstring>

#include "media/asset.h"
#include "media/compat.h"

namespace framepick {
namespace {

Size naturalSize(const Asset& asset, const AVStream& stream) {
  const AVRational aspect = av_guess_sample_aspect_ratio(asset.demuxer->format.get(),
                                                         const_cast<AVStream*>(&stream), nullptr);
  const Size coded = codedSize(asset, stream);
  return {displayWidth(coded.width, aspect), coded.height};
}

int sign(double value) { return (value > 0) - (value < 0); }

}  // namespace

bool isVideoTrack(const AVStream& stream) {
  return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
}

std::vector<VideoTrack> videoTracks(const Asset& asset) {
  std::vector<VideoTrack> tracks;
  if (!asset.demuxer || !asset.demuxer->format) return tracks;
  const AVFormatContext& format = *asset.demuxer->format;
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    const AVStream& stream = *format.streams[i];
    if (isVideoTrack(stream)) {
      tracks.push_back({naturalSize(asset, stream), displayTransform(stream)});
    }
  }
  return tracks;
}

Size codedSize(const Asset& asset, const AVStream& stream) {
  // A picture above the cap fails the probe's decoder, which then reports 0x0.
  if (stream.codecpar->width > 0 && stream.codecpar->height > 0) {
    return {double(stream.codecpar->width), double(stream.codecpar->height)};
  }
  const size_t index = static_cast<size_t>(stream.index);
  if (index >= asset.statedSizes.size()) return {0, 0};
  return {double(asset.statedSizes[index].first), double(asset.statedSizes[index].second)};
}

AffineTransform displayTransform(const AVStream& stream) {
  size_t size = 0;
  const uint8_t* data = streamSideData(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < 9 * sizeof(int32_t)) return kIdentityTransform;
  int32_t matrix[9];
  std::memcpy(matrix, data, sizeof matrix);
  // a, b, c and d are 16.16 fixed point.
  constexpr double kOne = 1 << 16;
  return {matrix[0] / kOne, matrix[1] / kOne, matrix[3] / kOne, matrix[4] / kOne};
}

AffineTransform quarterTurnOf(AffineTransform transform) {
  if (std::fabs(transform.a) + std::fabs(transform.d) >=
      std::fabs(transform.b) + std::fabs(transform.c)) {
    return {sign(transform.a) ? sign(transform.a) : 1.0, 0, 0,
            sign(transform.d) ? sign(transform.d) : 1.0};
  }
  return {0, sign(transform.b) ? sign(transform.b) : 1.0,
          sign(transform.c) ? sign(transform.c) : -1.0, 0};
}

double displayWidth(double codedWidth, AVRational sampleAspectRatio) {
  if (sampleAspectRatio.num <= 0 || sampleAspectRatio.den <= 0) return codedWidth;
  return codedWidth * sampleAspectRatio.num / sampleAspectRatio.den;
}

}  // namespace framepick
