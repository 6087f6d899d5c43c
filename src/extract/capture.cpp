#include "extract/capture.h"

#include <string>

#include "extract/frame_file.h"
#include "extract/plan.h"

namespace framepick {

CaptureRecords captureFrames(FrameGenerator& generator, const std::vector<double>& fractions,
                             double durationSeconds, const std::filesystem::path& outputUrl) {
  CaptureRecords records;
  for (size_t position = 0; position < fractions.size(); ++position) {
    const auto index = static_cast<int64_t>(position + 1);
    const double requestedSeconds = requestedTime(fractions[position], durationSeconds);
    const Result<CapturedImage> captured = copyImageAtTime(generator, requestedSeconds);
    if (!captured.ok()) {
      records.failures.push_back({index, requestedSeconds, captured.error()});
      continue;
    }
    const Image& image = captured.value().image;
    const Result<std::string> fileName = writeFrameFile(image, index, outputUrl);
    if (!fileName.ok()) {
      records.failures.push_back({index, requestedSeconds, fileName.error()});
      continue;
    }
    records.frames.push_back({index, requestedSeconds, captured.value().actualSeconds, image.width,
                              image.height, fileName.value()});
  }
  return records;
}

}  // namespace framepick
