#pragma once

#include <filesystem>
#include <vector>

#include "media/media.h"
#include "response/response.h"

namespace framepick {

struct CaptureRecords {
  std::vector<FrameRecord> frames;
  std::vector<FailureRecord> failures;
};

// One record per fraction, in order: a frame record when its file was written, otherwise a
// failure record with the requested time and the reason. No sample is fatal.
CaptureRecords captureFrames(FrameGenerator& generator, const std::vector<double>& fractions,
                             double durationSeconds, const std::filesystem::path& outputURL);

}  // namespace framepick
