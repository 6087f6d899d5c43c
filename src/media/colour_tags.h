#pragma once

// What a frame says about its colours, and what that means for a still: the matrix and range
// swscale needs, and whether the picture needs the colour tables at all.

#include <optional>

#include "media/colour.h"
#include "media/handles.h"

namespace framepick {

// The frame's colour fields as the integers it holds. FFmpeg copies them from the bitstream
// unchecked (an MPEG-1 sequence may state any 8-bit code), and loading a value outside an
// enum's range as the enum is undefined in C++.
struct ColourTags {
  int pixelFormat;
  int range;
  int matrix;
  int transfer;
  int primaries;
  int width;
  int height;
  double maxContentLightNits;  // 0 when the frame states none
  double masteringPeakNits;    // 0 when the frame states none
};

ColourTags colourTagsOf(const AVFrame& frame);

// yuvj formats are the full-range variants of yuv; swscale wants the plain format and the range.
AVPixelFormat withoutJpegRange(AVPixelFormat format);

bool isFullRange(const ColourTags& tags);

// The swscale matrix (SWS_CS_*) that the tags name, or the players' guess for untagged video.
int swsMatrix(const ColourTags& tags);

// What the picture needs beyond a matrix and a range to look right in an RGB24 still; nothing
// for SDR BT.709-like pictures without alpha, which swscale converts directly.
std::optional<ColourSource> colourSourceOf(const ColourTags& tags, bool transparent);

}  // namespace framepick
