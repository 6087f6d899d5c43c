#include "response/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace framepick {
namespace {

using nlohmann::json;

ExtractorResponse response(double durationSeconds, std::vector<FrameRecord> frames,
                           std::vector<FailureRecord> failures, std::string name = "clip.mov",
                           std::optional<std::string> error = {}) {
  return {
      !frames.empty(),     kDecoderName,    name, durationSeconds, 1920, 1080, 3, std::move(frames),
      std::move(failures), std::move(error)};
}

FrameRecord frame(double requested, double actual) {
  return {2, requested, actual, 1600, 900, "frame-002.jpg"};
}

FailureRecord failure(double timestampSeconds, std::string reason = "jpeg_encode_failed") {
  return {3, timestampSeconds, std::move(reason)};
}

TEST(ResponseDocument, MatchesGoldenTextWithSortedKeysAndOneLineFeed) {
  const std::string success =
      responseDocument(response(10.5, {frame(5.25, 5.266666666666667)}, {failure(9.24)}));
  EXPECT_EQ(success, R"({
  "decoder": "AVFoundation",
  "durationSeconds": 10.5,
  "failures": [
    {
      "index": 3,
      "reason": "jpeg_encode_failed",
      "timestampSeconds": 9.24
    }
  ],
  "frames": [
    {
      "actualTimestampSeconds": 5.266666666666667,
      "fileName": "frame-002.jpg",
      "height": 900,
      "index": 2,
      "requestedTimestampSeconds": 5.25,
      "width": 1600
    }
  ],
  "inputFileName": "clip.mov",
  "maxFrames": 3,
  "ok": true,
  "videoHeight": 1080,
  "videoWidth": 1920
}
)");
  const std::string failed = responseDocument(ExtractorResponse{
      false, kDecoderName, "clip.mov", 0, 0, 0, 0, {}, {}, "video_track_unavailable"});
  EXPECT_EQ(failed, R"({
  "decoder": "AVFoundation",
  "durationSeconds": 0.0,
  "error": "video_track_unavailable",
  "failures": [],
  "frames": [],
  "inputFileName": "clip.mov",
  "maxFrames": 0,
  "ok": false,
  "videoHeight": 0,
  "videoWidth": 0
}
)");
}

TEST(ResponseDocument, NonFiniteTimesGiveExactlyTheFallback) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::string fallback = std::string(kFallbackDocument) + "\n";
  EXPECT_EQ(fallback.size(), 67u);
  const std::pair<const char*, ExtractorResponse> cases[] = {
      {"duration NaN", response(nan, {}, {}, "a", "no_frames_extracted")},
      {"duration +inf", response(inf, {}, {}, "a", "no_frames_extracted")},
      {"requested -inf", response(1, {frame(-inf, 1)}, {})},
      {"actual NaN", response(1, {frame(1, nan)}, {})},
      {"failure time inf", response(1, {frame(1, 1)}, {failure(inf)})},
  };
  for (const auto& [what, value] : cases) {
    SCOPED_TRACE(what);
    EXPECT_EQ(responseDocument(value), fallback);
  }
}

TEST(ResponseDocument, TextRoundTripsAndBadUtf8BecomesReplacementCharacter) {
  const std::string awkward = "say \"hi\" \\ back\\slash\n\ttab \x01\x1f\x7f caf\xC3\xA9";
  const std::pair<std::string, std::string> cases[] = {
      {awkward, awkward},
      {"a\xFF.mov", "a\xEF\xBF\xBD.mov"},
      {"cut\xE2\x82", "cut\xEF\xBF\xBD"},
  };
  for (const auto& [written, read] : cases) {
    SCOPED_TRACE(read);
    const std::string text = responseDocument(response(1, {}, {failure(1, written)}, written,
                                                       "output_directory_unavailable: " + written));
    json document = json::parse(text);
    EXPECT_EQ(document["inputFileName"], read);
    EXPECT_EQ(document["failures"][0]["reason"], read);
    EXPECT_EQ(document["error"], "output_directory_unavailable: " + read);
  }
}

}  // namespace
}  // namespace framepick
