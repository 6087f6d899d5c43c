#pragma once

#include <cstdint>
#include <filesystem>

#include "extract/media.h"
#include "extract/result.h"

namespace framepick {

struct VideoProbe {
  double durationSeconds;
  int64_t videoWidth;
  int64_t videoHeight;
};

// True when anything at all is at the path (a dangling link is nothing).
bool inputExists(const std::filesystem::path& inputUrl);

// Duration and display size of the asset's first video track. The failure's message is the
// fatal error text: "duration_unavailable" or "video_track_unavailable".
Result<VideoProbe> probeVideo(const Asset& asset);

// Absolute value rounded half away from zero.
int64_t wholePixels(double size);

}  // namespace framepick
