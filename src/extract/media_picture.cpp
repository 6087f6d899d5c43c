#include "extract/media_picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace framepick {
namespace {

// A display transform reduced to one of the eight ways a picture can be turned or mirrored:
// every entry is -1, 0 or 1, and exactly one of a, b is non-zero.
struct Orientation {
  int a;
  int b;
  int c;
  int d;
};

int sign(double value) { return (value > 0) - (value < 0); }

Orientation orientationOf(AffineTransform transform) {
  // Matrices that are not quarter turns (a scaled or skewed one, a 45-degree turn) snap to the
  // nearest quarter turn with the same mirroring.
  if (std::fabs(transform.a) + std::fabs(transform.d) >=
      std::fabs(transform.b) + std::fabs(transform.c)) {
    return {sign(transform.a) ? sign(transform.a) : 1, 0, 0, sign(transform.d) ? sign(transform.d) : 1};
  }
  return {0, sign(transform.b) ? sign(transform.b) : 1, sign(transform.c) ? sign(transform.c) : -1, 0};
}

// yuvj formats are the full-range variants of yuv; swscale wants the plain format and the range.
AVPixelFormat withoutJpegRange(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
    default: return format;
  }
}

bool isFullRange(const AVFrame& frame) {
  return frame.color_range == AVCOL_RANGE_JPEG ||
         withoutJpegRange(static_cast<AVPixelFormat>(frame.format)) != frame.format;
}

// swscale assumes BT.601 whatever the frame says; untagged video gets the players' guess.
int swsMatrix(const AVFrame& frame) {
  switch (frame.colorspace) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    default: return frame.height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

bool isYuv(AVPixelFormat format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  return descriptor != nullptr && descriptor->nb_components >= 3 &&
         (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) == 0;
}

struct ScaledSize {
  int width;
  int height;
};

ScaledSize fittedSize(const AVFrame& frame, AVRational sampleAspectRatio,
                      int64_t maximumDimension) {
  double displayWidth = frame.width;
  if (sampleAspectRatio.num > 0 && sampleAspectRatio.den > 0) {
    displayWidth = displayWidth * sampleAspectRatio.num / sampleAspectRatio.den;
  }
  const double displayHeight = frame.height;
  const double scale =
      std::min(1.0, static_cast<double>(maximumDimension) / std::max(displayWidth, displayHeight));
  const auto fit = [&](double side) {
    return static_cast<int>(std::clamp<double>(std::round(side * scale), 1, maximumDimension));
  };
  return {fit(displayWidth), fit(displayHeight)};
}

// Copies the scaled rows into a packed image, turning it as the orientation says: source pixel
// (x, y) lands at (a·x + c·y, b·x + d·y), shifted back into the picture.
Image orientedImage(const AVFrame& rgb, Orientation turn) {
  const int width = rgb.width;
  const int height = rgb.height;
  const bool swapsSides = turn.a == 0;
  Image image{swapsSides ? height : width, swapsSides ? width : height, {}};
  image.rgb.resize(static_cast<size_t>(width) * height * 3);
  const int offsetX = -(std::min(0, turn.a * (width - 1)) + std::min(0, turn.c * (height - 1)));
  const int offsetY = -(std::min(0, turn.b * (width - 1)) + std::min(0, turn.d * (height - 1)));
  for (int y = 0; y < height; ++y) {
    const uint8_t* sourceRow = rgb.data[0] + static_cast<ptrdiff_t>(y) * rgb.linesize[0];
    if (turn.a == 1 && turn.d == 1) {
      std::memcpy(&image.rgb[static_cast<size_t>(y) * width * 3], sourceRow,
                  static_cast<size_t>(width) * 3);
      continue;
    }
    for (int x = 0; x < width; ++x) {
      const int64_t targetX = turn.a * x + turn.c * y + offsetX;
      const int64_t targetY = turn.b * x + turn.d * y + offsetY;
      std::memcpy(&image.rgb[static_cast<size_t>((targetY * image.width + targetX) * 3)],
                  sourceRow + x * 3, 3);
    }
  }
  return image;
}

}  // namespace

Result<Image> renderPicture(const AVFrame& frame, AVRational sampleAspectRatio,
                            AffineTransform displayTransform, int64_t maximumDimension,
                            UniqueSwsContext& scaler) {
  const auto sourceFormat = withoutJpegRange(static_cast<AVPixelFormat>(frame.format));
  if (frame.width <= 0 || frame.height <= 0 || sourceFormat == AV_PIX_FMT_NONE) {
    return Failure{"the decoder returned a frame without a picture"};
  }
  const ScaledSize size = fittedSize(frame, sampleAspectRatio, maximumDimension);
  scaler.reset(sws_getCachedContext(scaler.release(), frame.width, frame.height, sourceFormat,
                                    size.width, size.height, AV_PIX_FMT_RGB24,
                                    SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                    nullptr, nullptr));
  if (!scaler) {
    return Failure{std::string("cannot convert frames of pixel format ") +
                   (av_get_pix_fmt_name(sourceFormat) ? av_get_pix_fmt_name(sourceFormat) : "?")};
  }
  if (isYuv(sourceFormat)) {
    const int* coefficients = sws_getCoefficients(swsMatrix(frame));
    sws_setColorspaceDetails(scaler.get(), coefficients, isFullRange(frame) ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  }

  const UniqueFrame rgb(av_frame_alloc());
  if (!rgb) throw std::bad_alloc();
  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = size.width;
  rgb->height = size.height;
  if (av_frame_get_buffer(rgb.get(), 0) != kAvSuccess) throw std::bad_alloc();
  const int scaled = sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height,
                               rgb->data, rgb->linesize);
  if (scaled <= 0) return Failure{"the frame could not be converted to RGB"};
  return orientedImage(*rgb, orientationOf(displayTransform));
}

}  // namespace framepick
