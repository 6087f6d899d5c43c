#pragma once

// The probe: the input's duration and display size, or why there are none.

#include <cstdint>
#include <filesystem>

#include "error.h"
#include "media/media.h"

namespace framepick {

struct VideoProbe {
  double durationSeconds;
  int64_t videoWidth;
  int64_t videoHeight;
};

// True when anything at all is at the path (a dangling link is nothing).
bool inputExists(const std::filesystem::path& inputURL);

// Duration and display size of the asset's first video track. The error's message is the fatal
// error text: "duration_unavailable" or "video_track_unavailable".
Result<VideoProbe> probeVideo(const Asset& asset);

}  // namespace framepick
