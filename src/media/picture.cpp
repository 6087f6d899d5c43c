// A decoded frame turned into the upright, scaled RGB still a player shows.

#include "media/picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "media/asset.h"
#include "media/colour_tags.h"
#include "media/compat.h"
#include "media/failure_text.h"

namespace framepick {
namespace {

// YUV and grey pictures: luma that swscale must be told the range of (it takes grey as full).
bool hasLuma(const AVPixFmtDescriptor& descriptor, AVPixelFormat format) {
  return (descriptor.flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) == 0 &&
         format != AV_PIX_FMT_XYZ12LE && format != AV_PIX_FMT_XYZ12BE;
}

// Palettes carry alpha in every format, but most of them are opaque throughout.
bool hasTransparency(const AVFrame& frame, const AVPixFmtDescriptor& descriptor) {
  if ((descriptor.flags & AV_PIX_FMT_FLAG_ALPHA) == 0) return false;
  if ((descriptor.flags & AV_PIX_FMT_FLAG_PAL) == 0 || frame.data[1] == nullptr) return true;
  const auto* palette = reinterpret_cast<const uint32_t*>(frame.data[1]);
  return std::any_of(palette, palette + 256, [](uint32_t entry) { return entry >> 24 != 0xff; });
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
  const double width = displayWidth(frame.width, sampleAspectRatio);
  const double height = frame.height;
  const double scale =
      std::min(1.0, static_cast<double>(maximumDimension) / std::max(width, height));
  const auto fit = [&](double side) {
    return static_cast<int>(std::clamp<double>(std::round(side * scale), 1, maximumDimension));
  };
  return {fit(width), fit(height)};
}

bool swapsSides(AffineTransform quarterTurn) { return quarterTurn.a == 0; }

// Copies the scaled rows into a packed image, turned by a quarter turn (quarterTurnOf): source
// pixel (x, y) lands at (a·x + c·y, b·x + d·y), shifted back into the picture.
Image orientedImage(const AVFrame& rgb, AffineTransform quarterTurn) {
  const struct {
    int a, b, c, d;
  } turn{static_cast<int>(quarterTurn.a), static_cast<int>(quarterTurn.b),
         static_cast<int>(quarterTurn.c), static_cast<int>(quarterTurn.d)};
  const int width = rgb.width;
  const int height = rgb.height;
  const bool swapped = swapsSides(quarterTurn);
  Image image{swapped ? height : width, swapped ? width : height, {}};
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

Size uprightSize(const VideoTrack& track) {
  const Size natural = track.naturalSize;
  return swapsSides(quarterTurnOf(track.preferredTransform)) ? Size{natural.height, natural.width}
                                                             : natural;
}

Result<Image> renderPicture(const AVFrame& frame, AVRational sampleAspectRatio,
                            AffineTransform displayTransform, int64_t maximumDimension,
                            UniqueSwsContext& scaler) {
  const auto sourceFormat = withoutJpegRange(static_cast<AVPixelFormat>(frame.format));
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(sourceFormat);
  if (frame.width <= 0 || frame.height <= 0 || descriptor == nullptr) {
    return Error{"the decoder returned a frame without a picture"};
  }
  const ScaledSize size = fittedSize(frame, sampleAspectRatio, maximumDimension);
  const SourceRows rows = shownRows(frame, *descriptor);  // Note [one field]
  const ColourTags tags = colourTagsOf(frame);
  const std::optional<ColourSource> colour =
      colourSourceOf(tags, hasTransparency(frame, *descriptor));
  // Pictures that need more than a matrix go through 16 bits a channel, alpha kept.
  const AVPixelFormat scaledFormat = colour ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGB24;
  scaler.reset(sws_getCachedContext(scaler.release(), frame.width, rows.height, sourceFormat,
                                    size.width, size.height, scaledFormat,
                                    SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                    nullptr, nullptr));
  if (!scaler && sws_isSupportedInput(sourceFormat) > 0) {
    return Error{std::string("converting the picture failed: ") + kOutOfMemoryText};
  }
  if (!scaler) {
    return Error{std::string("cannot convert frames of pixel format ") + descriptor->name};
  }
  if (hasLuma(*descriptor, sourceFormat)) {
    const int* coefficients = sws_getCoefficients(swsMatrix(tags));
    sws_setColorspaceDetails(scaler.get(), coefficients, isFullRange(tags) ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  }

  const AffineTransform turn = quarterTurnOf(displayTransform);
  if (!colour && turn.a == 1 && turn.d == 1) {
    // Upright RGB24 goes straight into the still, without a picture in between.
    Image image{size.width, size.height, {}};
    image.rgb.resize(static_cast<size_t>(size.width) * size.height * 3);
    uint8_t* const data[4] = {image.rgb.data(), nullptr, nullptr, nullptr};
    const int linesize[4] = {size.width * 3, 0, 0, 0};
    if (sws_scale(scaler.get(), rows.data.data(), rows.linesize.data(), 0, rows.height, data,
                  linesize) <= 0) {
      return Error{"the frame could not be converted to RGB"};
    }
    return image;
  }
  const UniqueFrame scaled = allocatedFrame(scaledFormat, size.width, size.height);
  if (sws_scale(scaler.get(), rows.data.data(), rows.linesize.data(), 0, rows.height, scaled->data,
                scaled->linesize) <= 0) {
    return Error{"the frame could not be converted to RGB"};
  }
  if (!colour) return orientedImage(*scaled, turn);

  const ColourMapping mapping = makeColourMapping(*colour);
  const UniqueFrame rgb = allocatedFrame(AV_PIX_FMT_RGB24, size.width, size.height);
  for (int y = 0; y < size.height; ++y) {
    mapRow(mapping,
           reinterpret_cast<const uint16_t*>(scaled->data[0] +
                                             static_cast<ptrdiff_t>(y) * scaled->linesize[0]),
           rgb->data[0] + static_cast<ptrdiff_t>(y) * rgb->linesize[0], size.width);
  }
  return orientedImage(*rgb, turn);
}

}  // namespace framepick
