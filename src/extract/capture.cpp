#include "extract/capture.h"

#include <new>
#include <string>

#include "extract/plan.h"
#include "files/frame_file.h"

namespace framepick {
namespace {

constexpr const char* kOutOfMemoryReason = "memory ran out while taking this sample";

}  // namespace

CaptureRecords captureFrames(FrameGenerator& generator, const std::vector<double>& fractions,
                             double durationSeconds, const std::filesystem::path& outputURL) {
  CaptureRecords records;
  // Room for every record up front: once memory runs out, a failure must still find its place.
  records.frames.reserve(fractions.size());
  records.failures.reserve(fractions.size());
  for (size_t position = 0; position < fractions.size(); ++position) {
    const auto index = static_cast<int64_t>(position + 1);
    const double requestedSeconds = requestedTime(fractions[position], durationSeconds);
    try {
      const Result<CapturedImage> captured = copyImageAtTime(generator, requestedSeconds);
      if (!captured.ok()) {
        records.failures.push_back({index, requestedSeconds, captured.error().message});
        continue;
      }
      const Image& image = captured.value().image;
      const Result<std::string> fileName = writeFrameFile(image, index, outputURL);
      if (!fileName.ok()) {
        records.failures.push_back({index, requestedSeconds, fileName.error().message});
        continue;
      }
      records.frames.push_back({index, requestedSeconds, captured.value().actualSeconds,
                                image.width, image.height, fileName.value()});
    } catch (const std::bad_alloc&) {
      // What the sample held is released by now; the next one may fit.
      records.failures.push_back({index, requestedSeconds, kOutOfMemoryReason});
    }
  }
  return records;
}

}  // namespace framepick
