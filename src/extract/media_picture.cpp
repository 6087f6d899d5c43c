#include "extract/media_picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <type_traits>

extern "C" {
#include <libavutil/csp.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

#include "extract/colour.h"
#include "extract/media_compat.h"

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

// FFmpeg copies the colour fields from the bitstream unchecked (an MPEG-1 sequence may state any
// 8-bit matrix, transfer or primaries code). Loading a value outside an enum's range as the enum
// is undefined in C++, so these fields are read as the integers they hold.
template <typename Enum>
int storedValue(const Enum& field) {
  std::underlying_type_t<Enum> value;
  std::memcpy(&value, &field, sizeof value);
  return static_cast<int>(value);
}

bool isFullRange(const AVFrame& frame) {
  return storedValue(frame.color_range) == AVCOL_RANGE_JPEG ||
         withoutJpegRange(static_cast<AVPixelFormat>(frame.format)) != frame.format;
}

// swscale assumes BT.601 whatever the frame says; untagged video gets the players' guess: HD
// by either side, so that 1280x544 scope pictures count as HD too.
int swsMatrix(const AVFrame& frame) {
  switch (storedValue(frame.colorspace)) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    default: return frame.width >= 1280 || frame.height > 576 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

// YUV and grey pictures: luma that swscale must be told the range of (it takes grey as full).
bool hasLuma(const AVPixFmtDescriptor& descriptor, AVPixelFormat format) {
  return (descriptor.flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) == 0 &&
         format != AV_PIX_FMT_XYZ12LE && format != AV_PIX_FMT_XYZ12BE;
}

Transfer transferOf(const AVFrame& frame) {
  switch (storedValue(frame.color_trc)) {
    case AVCOL_TRC_SMPTE2084: return Transfer::kPq;
    case AVCOL_TRC_ARIB_STD_B67: return Transfer::kHlg;
    default: return Transfer::kSdr;
  }
}

// Primaries that need mapping into BT.709. The SD primaries are so close to BT.709 that players
// show them unmapped, and so do we; untagged video is taken as BT.709, untagged HDR as BT.2020.
std::optional<Primaries> widePrimariesOf(const AVFrame& frame, Transfer transfer) {
  int primaries = storedValue(frame.color_primaries);
  if (primaries == AVCOL_PRI_UNSPECIFIED && transfer != Transfer::kSdr) {
    primaries = AVCOL_PRI_BT2020;
  }
  switch (primaries) {
    case AVCOL_PRI_BT2020:
    case AVCOL_PRI_SMPTE431:
    case AVCOL_PRI_SMPTE432:
    case AVCOL_PRI_BT470M:
    case AVCOL_PRI_FILM: break;
    default: return std::nullopt;
  }
  const AVColorPrimariesDesc* description =
      av_csp_primaries_desc_from_id(static_cast<AVColorPrimaries>(primaries));
  if (description == nullptr) return std::nullopt;
  const auto point = [](const AVCIExy& xy) { return Chromaticity{av_q2d(xy.x), av_q2d(xy.y)}; };
  return Primaries{point(description->prim.r), point(description->prim.g),
                   point(description->prim.b), point(description->wp)};
}

// The brightest light of an HDR grade, from its metadata: content light level first, then the
// mastering display; grades that say nothing are taken as the common 1000 cd/m².
double peakNitsOf(const AVFrame& frame) {
  constexpr double kUsualPeakNits = 1000;
  double peak = kUsualPeakNits;
  if (const AVFrameSideData* data =
          av_frame_get_side_data(&frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
      data != nullptr && reinterpret_cast<const AVContentLightMetadata*>(data->data)->MaxCLL > 0) {
    peak = reinterpret_cast<const AVContentLightMetadata*>(data->data)->MaxCLL;
  } else if (const AVFrameSideData* mastering =
                 av_frame_get_side_data(&frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
             mastering != nullptr) {
    const auto* display = reinterpret_cast<const AVMasteringDisplayMetadata*>(mastering->data);
    if (display->has_luminance && av_q2d(display->max_luminance) > 0) {
      peak = av_q2d(display->max_luminance);
    }
  }
  return std::clamp(peak, kReferenceWhiteNits, 10000.0);
}

// Palettes carry alpha in every format, but most of them are opaque throughout.
bool hasTransparency(const AVFrame& frame, const AVPixFmtDescriptor& descriptor) {
  if ((descriptor.flags & AV_PIX_FMT_FLAG_ALPHA) == 0) return false;
  if ((descriptor.flags & AV_PIX_FMT_FLAG_PAL) == 0 || frame.data[1] == nullptr) return true;
  const auto* palette = reinterpret_cast<const uint32_t*>(frame.data[1]);
  return std::any_of(palette, palette + 256, [](uint32_t entry) { return entry >> 24 != 0xff; });
}

// What the picture needs beyond a matrix and a range to look right in an RGB24 still; nothing
// for SDR BT.709-like pictures without alpha, which swscale converts directly.
std::optional<ColourSource> colourSourceOf(const AVFrame& frame,
                                           const AVPixFmtDescriptor& descriptor,
                                           AVPixelFormat format) {
  const Transfer transfer = transferOf(frame);
  const std::optional<Primaries> primaries = widePrimariesOf(frame, transfer);
  // swscale's direct copy of gray8 into RGB24 ignores the range it was told.
  const bool limitedGray8 = format == AV_PIX_FMT_GRAY8 && !isFullRange(frame);
  if (transfer == Transfer::kSdr && !primaries && !hasTransparency(frame, descriptor) &&
      !limitedGray8) {
    return std::nullopt;
  }
  return ColourSource{transfer, primaries.value_or(kBt709Primaries), peakNitsOf(frame)};
}

// The rows the still is made from.
struct SourceRows {
  std::array<const uint8_t*, 4> data;
  std::array<int, 4> linesize;
  int height;
};

// Note [one field]: an interlaced frame weaves two fields taken half a frame apart, so anything
// that moves comes out combed. The still shows the field a player shows first, the one the
// frame's time belongs to, and the scaler stretches its lines to the frame's height: half the
// vertical detail, but no combing and no need for neighbouring frames.
SourceRows shownRows(const AVFrame& frame, const AVPixFmtDescriptor& descriptor) {
  SourceRows rows{};
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame.format));
  for (int plane = 0; plane < 4; ++plane) {
    rows.data[plane] = frame.data[plane];
    rows.linesize[plane] = frame.linesize[plane];
  }
  rows.height = frame.height;
  if (!isInterlaced(frame) || frame.height < 2 || (descriptor.flags & AV_PIX_FMT_FLAG_PAL)) {
    return rows;
  }
  // The bottom field of a picture with subsampled chroma and an awkward height has a chroma
  // line too few; it shows its top field instead.
  const int chromaRows = AV_CEIL_RSHIFT(frame.height, descriptor.log2_chroma_h);
  const bool bottomFits =
      AV_CEIL_RSHIFT(frame.height / 2, descriptor.log2_chroma_h) <= chromaRows / 2;
  const bool bottom = !topFieldFirst(frame) && bottomFits;
  for (int plane = 0; plane < planes; ++plane) {
    if (bottom) rows.data[plane] += frame.linesize[plane];
    rows.linesize[plane] *= 2;
  }
  rows.height = bottom ? frame.height / 2 : (frame.height + 1) / 2;
  return rows;
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

UniqueFrame allocatedFrame(AVPixelFormat format, int width, int height) {
  UniqueFrame frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  frame->format = format;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) != kAvSuccess) throw std::bad_alloc();
  return frame;
}

}  // namespace

Result<Image> renderPicture(const AVFrame& frame, AVRational sampleAspectRatio,
                            AffineTransform displayTransform, int64_t maximumDimension,
                            UniqueSwsContext& scaler) {
  const auto sourceFormat = withoutJpegRange(static_cast<AVPixelFormat>(frame.format));
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(sourceFormat);
  if (frame.width <= 0 || frame.height <= 0 || descriptor == nullptr) {
    return Failure{"the decoder returned a frame without a picture"};
  }
  const ScaledSize size = fittedSize(frame, sampleAspectRatio, maximumDimension);
  const SourceRows rows = shownRows(frame, *descriptor);
  const std::optional<ColourSource> colour = colourSourceOf(frame, *descriptor, sourceFormat);
  // Pictures that need more than a matrix go through 16 bits a channel, alpha kept.
  const AVPixelFormat scaledFormat = colour ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGB24;
  scaler.reset(sws_getCachedContext(scaler.release(), frame.width, rows.height, sourceFormat,
                                    size.width, size.height, scaledFormat,
                                    SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                    nullptr, nullptr));
  if (!scaler && sws_isSupportedInput(sourceFormat) > 0) {
    return Failure{std::string("converting the picture failed: ") + kOutOfMemoryText};
  }
  if (!scaler) {
    return Failure{std::string("cannot convert frames of pixel format ") + descriptor->name};
  }
  if (hasLuma(*descriptor, sourceFormat)) {
    const int* coefficients = sws_getCoefficients(swsMatrix(frame));
    sws_setColorspaceDetails(scaler.get(), coefficients, isFullRange(frame) ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  }

  const UniqueFrame scaled = allocatedFrame(scaledFormat, size.width, size.height);
  if (sws_scale(scaler.get(), rows.data.data(), rows.linesize.data(), 0, rows.height, scaled->data,
                scaled->linesize) <= 0) {
    return Failure{"the frame could not be converted to RGB"};
  }
  if (!colour) return orientedImage(*scaled, orientationOf(displayTransform));

  const ColourMapping mapping = makeColourMapping(*colour);
  const UniqueFrame rgb = allocatedFrame(AV_PIX_FMT_RGB24, size.width, size.height);
  for (int y = 0; y < size.height; ++y) {
    mapRow(mapping,
           reinterpret_cast<const uint16_t*>(scaled->data[0] +
                                             static_cast<ptrdiff_t>(y) * scaled->linesize[0]),
           rgb->data[0] + static_cast<ptrdiff_t>(y) * rgb->linesize[0], size.width);
  }
  return orientedImage(*rgb, orientationOf(displayTransform));
}

}  // namespace framepick
