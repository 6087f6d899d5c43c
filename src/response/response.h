#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace framepick {

// The report records are values: built whole, then only read.

struct FrameRecord {
  const int64_t index;
  const double requestedTimestampSeconds;
  const double actualTimestampSeconds;
  const int64_t width;
  const int64_t height;
  const std::string fileName;
};

struct FailureRecord {
  const int64_t index;
  const double timestampSeconds;
  const std::string reason;
};

struct ExtractorResponse {
  const bool ok;
  const std::string decoder;
  const std::string inputFileName;
  const double durationSeconds;
  const int64_t videoWidth;
  const int64_t videoHeight;
  const int64_t maxFrames;
  const std::vector<FrameRecord> frames;
  const std::vector<FailureRecord> failures;
  const std::optional<std::string> error;
};

// Callers match on this name, so it stays the same whatever decodes the video.
inline constexpr const char* kDecoderName = "AVFoundation";

}  // namespace framepick
