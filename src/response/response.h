#pragma once

// The report records.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace framepick {

// The report records: plain values, built whole, then only read (and moved, not copied).

struct FrameRecord {
  int64_t index;
  double requestedTimestampSeconds;
  double actualTimestampSeconds;
  int64_t width;
  int64_t height;
  std::string fileName;
};

struct FailureRecord {
  int64_t index;
  double timestampSeconds;
  std::string reason;
};

struct ExtractorResponse {
  bool ok;
  std::string decoder;
  std::string inputFileName;
  double durationSeconds;
  int64_t videoWidth;
  int64_t videoHeight;
  int64_t maxFrames;
  std::vector<FrameRecord> frames;
  std::vector<FailureRecord> failures;
  std::optional<std::string> error;
};

// Callers match on this name, so it stays the same whatever decodes the video.
inline constexpr const char* kDecoderName = "AVFoundation";

}  // namespace framepick
