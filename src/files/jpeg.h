#pragma once

// JPEG encoding, the only libjpeg-turbo user.

#include <cstdint>
#include <vector>

#include "error.h"
#include "files/image.h"

namespace framepick {

// The JPEG quality that matches a compression factor of 0.92.
inline constexpr int kJpegQuality = 92;

// Baseline JPEG bytes; "jpeg_encode_failed" when the image cannot be encoded (an empty one).
Result<std::vector<uint8_t>> encodeJpeg(const Image& image);

}  // namespace framepick
