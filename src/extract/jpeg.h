#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "extract/media.h"

namespace framepick {

// The JPEG quality that matches a compression factor of 0.92.
inline constexpr int kJpegQuality = 92;

// Baseline JPEG bytes, or nothing when the image cannot be encoded (an empty image, for one).
std::optional<std::vector<uint8_t>> encodeJpeg(const Image& image);

}  // namespace framepick
