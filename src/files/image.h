#pragma once

// The RGB still that the media layer hands to the writers.

#include <cstdint>
#include <vector>

namespace framepick {

// A packed RGB24 picture, rows top to bottom, 3 * width bytes each.
struct Image {
  int64_t width;
  int64_t height;
  std::vector<uint8_t> rgb;
};

}  // namespace framepick
