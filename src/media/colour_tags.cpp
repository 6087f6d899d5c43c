// What a frame's colour fields mean.

#include "media/colour_tags.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

extern "C" {
#include <libavutil/csp.h>
#include <libavutil/mastering_display_metadata.h>
}

namespace framepick {
namespace {

template <typename Enum>
int storedValue(const Enum& field) {
  std::underlying_type_t<Enum> value;
  std::memcpy(&value, &field, sizeof value);
  return static_cast<int>(value);
}

Transfer transferOf(const ColourTags& tags) {
  switch (tags.transfer) {
    case AVCOL_TRC_SMPTE2084:
      return Transfer::kPq;
    case AVCOL_TRC_ARIB_STD_B67:
      return Transfer::kHlg;
    default:
      return Transfer::kSdr;
  }
}

// Primaries that need mapping into BT.709. The SD primaries are so close to BT.709 that players
// show them unmapped, and so do we; untagged video is taken as BT.709, untagged HDR as BT.2020.
std::optional<Primaries> widePrimariesOf(const ColourTags& tags, Transfer transfer) {
  int primaries = tags.primaries;
  if (primaries == AVCOL_PRI_UNSPECIFIED && transfer != Transfer::kSdr) {
    primaries = AVCOL_PRI_BT2020;
  }
  switch (primaries) {
    case AVCOL_PRI_BT2020:
    case AVCOL_PRI_SMPTE431:
    case AVCOL_PRI_SMPTE432:
    case AVCOL_PRI_BT470M:
    case AVCOL_PRI_FILM:
      break;
    default:
      return std::nullopt;
  }
  const AVColorPrimariesDesc* description =
      av_csp_primaries_desc_from_id(static_cast<AVColorPrimaries>(primaries));
  if (description == nullptr) return std::nullopt;
  const auto point = [](const AVCIExy& xy) { return Chromaticity{av_q2d(xy.x), av_q2d(xy.y)}; };
  return Primaries{point(description->prim.r), point(description->prim.g),
                   point(description->prim.b), point(description->wp)};
}

// The brightest light of an HDR grade: content light level first, then the mastering display;
// grades that say nothing are taken as the common 1000 cd/m².
double peakNitsOf(const ColourTags& tags) {
  constexpr double kUsualPeakNits = 1000;
  const double peak = tags.maxContentLightNits > 0 ? tags.maxContentLightNits
                      : tags.masteringPeakNits > 0 ? tags.masteringPeakNits
                                                   : kUsualPeakNits;
  return std::clamp(peak, kReferenceWhiteNits, 10000.0);
}

}  // namespace

ColourTags colourTagsOf(const AVFrame& frame) {
  ColourTags tags{.pixelFormat = frame.format,
                  .range = storedValue(frame.color_range),
                  .matrix = storedValue(frame.colorspace),
                  .transfer = storedValue(frame.color_trc),
                  .primaries = storedValue(frame.color_primaries),
                  .width = frame.width,
                  .height = frame.height,
                  .maxContentLightNits = 0,
                  .masteringPeakNits = 0};
  if (const AVFrameSideData* data =
          av_frame_get_side_data(&frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL)) {
    tags.maxContentLightNits = reinterpret_cast<const AVContentLightMetadata*>(data->data)->MaxCLL;
  }
  if (const AVFrameSideData* data =
          av_frame_get_side_data(&frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA)) {
    const auto* display = reinterpret_cast<const AVMasteringDisplayMetadata*>(data->data);
    if (display->has_luminance) tags.masteringPeakNits = av_q2d(display->max_luminance);
  }
  return tags;
}

AVPixelFormat withoutJpegRange(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      return AV_PIX_FMT_YUV411P;
    default:
      return format;
  }
}

bool isFullRange(const ColourTags& tags) {
  const auto format = static_cast<AVPixelFormat>(tags.pixelFormat);
  return tags.range == AVCOL_RANGE_JPEG || withoutJpegRange(format) != format;
}

// swscale assumes BT.601 whatever the frame says; untagged video gets the players' guess: HD
// by either side, so that 1280x544 scope pictures count as HD too.
int swsMatrix(const ColourTags& tags) {
  switch (tags.matrix) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return SWS_CS_ITU601;
    default:
      return tags.width >= 1280 || tags.height > 576 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

std::optional<ColourSource> colourSourceOf(const ColourTags& tags, bool transparent) {
  const Transfer transfer = transferOf(tags);
  const std::optional<Primaries> primaries = widePrimariesOf(tags, transfer);
  // swscale's direct copy of gray8 into RGB24 ignores the range it was told.
  const bool limitedGray8 = tags.pixelFormat == AV_PIX_FMT_GRAY8 && !isFullRange(tags);
  if (transfer == Transfer::kSdr && !primaries && !transparent && !limitedGray8) {
    return std::nullopt;
  }
  return ColourSource{transfer, primaries.value_or(kBt709Primaries), peakNitsOf(tags)};
}

}  // namespace framepick
