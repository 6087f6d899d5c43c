// The probe: the input's duration and display size, or why there are none.

#include "extract/probe.h"

#include <cmath>
#include <limits>
#include <system_error>

namespace framepick {

namespace {

// Rounded half away from zero.
int64_t wholePixels(double size) {
  const double rounded = std::round(size);
  // A size beyond any real picture is reported as unknown rather than overflowing.
  if (!(rounded < static_cast<double>(std::numeric_limits<int64_t>::max()))) return 0;
  return static_cast<int64_t>(rounded);
}

}  // namespace

bool inputExists(const std::filesystem::path& inputURL) {
  std::error_code error;
  return std::filesystem::exists(inputURL, error);
}

Result<VideoProbe> probeVideo(const Asset& asset) {
  const double durationSeconds = assetDurationSeconds(asset);
  if (!std::isfinite(durationSeconds) || !(durationSeconds > 0)) {
    return Error{"duration_unavailable"};
  }
  const std::vector<VideoTrack> tracks = videoTracks(asset);
  if (tracks.empty()) return Error{"video_track_unavailable"};
  const Size displaySize = uprightSize(tracks.front());
  return VideoProbe{.durationSeconds = durationSeconds,
                    .videoWidth = wholePixels(displaySize.width),
                    .videoHeight = wholePixels(displaySize.height)};
}

}  // namespace framepick
