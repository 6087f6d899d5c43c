// The report's one JSON form, the only nlohmann-json user.

#include "response/json.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace framepick {
namespace {

using nlohmann::json;

// nlohmann writes NaN and the infinities as null, which would read back as a different value:
// such a report is not encodable.
bool allFinite(const ExtractorResponse& response) {
  if (!std::isfinite(response.durationSeconds)) return false;
  for (const FrameRecord& frame : response.frames) {
    if (!std::isfinite(frame.requestedTimestampSeconds) ||
        !std::isfinite(frame.actualTimestampSeconds)) {
      return false;
    }
  }
  for (const FailureRecord& failure : response.failures) {
    if (!std::isfinite(failure.timestampSeconds)) return false;
  }
  return true;
}

json toJson(const FrameRecord& frame) {
  return {{"index", frame.index},
          {"requestedTimestampSeconds", frame.requestedTimestampSeconds},
          {"actualTimestampSeconds", frame.actualTimestampSeconds},
          {"width", frame.width},
          {"height", frame.height},
          {"fileName", frame.fileName}};
}

json toJson(const FailureRecord& failure) {
  return {{"index", failure.index},
          {"timestampSeconds", failure.timestampSeconds},
          {"reason", failure.reason}};
}

// nlohmann::json keeps object members in a std::map, so every object comes out with sorted keys.
json toJson(const ExtractorResponse& response) {
  json frames = json::array();
  for (const FrameRecord& frame : response.frames) frames.push_back(toJson(frame));
  json failures = json::array();
  for (const FailureRecord& failure : response.failures) failures.push_back(toJson(failure));
  json document = {{"ok", response.ok},
                   {"decoder", response.decoder},
                   {"inputFileName", response.inputFileName},
                   {"durationSeconds", response.durationSeconds},
                   {"videoWidth", response.videoWidth},
                   {"videoHeight", response.videoHeight},
                   {"maxFrames", response.maxFrames},
                   {"frames", std::move(frames)},
                   {"failures", std::move(failures)}};
  if (response.error) document["error"] = *response.error;
  return document;
}

}  // namespace

std::string responseDocument(const ExtractorResponse& response) {
  if (!allFinite(response)) return std::string(kFallbackDocument) + "\n";
  try {
    // File names and system messages on Linux are bytes, not always UTF-8: a bad byte becomes
    // U+FFFD instead of costing the caller the whole report.
    return toJson(response).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  } catch (const json::exception&) {
    return std::string(kFallbackDocument) + "\n";
  }
}

void writeJson(const ExtractorResponse& response) {
  const std::string document = responseDocument(response);
  std::fwrite(document.data(), 1, document.size(), stdout);
  std::fflush(stdout);
}

}  // namespace framepick
