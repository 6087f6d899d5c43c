#include "extract/probe.h"

#include <cmath>
#include <limits>
#include <system_error>

namespace framepick {

bool inputExists(const std::filesystem::path& inputUrl) {
  std::error_code error;
  return std::filesystem::exists(inputUrl, error);
}

int64_t wholePixels(double size) {
  const double rounded = std::round(std::fabs(size));
  // A size beyond any real picture is reported as unknown rather than overflowing.
  if (!(rounded < static_cast<double>(std::numeric_limits<int64_t>::max()))) return 0;
  return static_cast<int64_t>(rounded);
}

Result<VideoProbe> probeVideo(const Asset& asset) {
  const double durationSeconds = assetDurationSeconds(asset);
  if (!std::isfinite(durationSeconds) || !(durationSeconds > 0)) {
    return Failure{"duration_unavailable"};
  }
  const std::vector<VideoTrack> tracks = videoTracks(asset);
  if (tracks.empty()) return Failure{"video_track_unavailable"};
  const Size displaySize = applyTransform(tracks.front().naturalSize,
                                          tracks.front().preferredTransform);
  return VideoProbe{.durationSeconds = durationSeconds,
                    .videoWidth = wholePixels(displaySize.width),
                    .videoHeight = wholePixels(displaySize.height)};
}

}  // namespace framepick
