#include "response/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>

namespace framepick {
namespace {

ExtractorResponse report(double seconds, double failureTime, double frameTime = 1.2,
                         const std::string& name = "clip.mov") {
  return {true,
          kDecoderName,
          name,
          seconds,
          640,
          360,
          2,
          {{1, 1.2, frameTime, 640, 360, "frame-001.jpg"}},
          {{2, failureTime, "jpeg_encode_failed"}},
          std::nullopt};
}

// Failure records are checked against the schema in every run that has them.
TEST(ResponseDocument, MatchesGoldenTextWithSortedKeysAndOneLineFeed) {
  ExtractorResponse withoutFailures = report(10, 1, 1.1666666666666667);
  withoutFailures.failures.clear();
  EXPECT_EQ(responseDocument(withoutFailures), R"({
  "decoder": "AVFoundation",
  "durationSeconds": 10.0,
  "failures": [],
  "frames": [
    {
      "actualTimestampSeconds": 1.1666666666666667,
      "fileName": "frame-001.jpg",
      "height": 360,
      "index": 1,
      "requestedTimestampSeconds": 1.2,
      "width": 640
    }
  ],
  "inputFileName": "clip.mov",
  "maxFrames": 2,
  "ok": true,
  "videoHeight": 360,
  "videoWidth": 640
}
)");
}

TEST(ResponseDocument, NonFiniteTimesGiveExactlyTheFallback) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const ExtractorResponse& value : {report(nan, 1), report(1, inf), report(1, 1, -inf)}) {
    EXPECT_EQ(responseDocument(value),
              R"({"ok":false,"decoder":"AVFoundation","error":"json_encode_failed"})"
              "\n");
  }
}

TEST(ResponseDocument, TextRoundTripsAndBadUtf8BecomesReplacementCharacter) {
  const std::string name = "\"hi\" \\ \n\t\x01\x7f caf\xC3\xA9 a\xFF.mov cut\xE2\x82";
  EXPECT_EQ(nlohmann::json::parse(responseDocument(report(1, 1, 1, name)))["inputFileName"],
            "\"hi\" \\ \n\t\x01\x7f caf\xC3\xA9 a\xEF\xBF\xBD.mov cut\xEF\xBF\xBD");
}

}  // namespace
}  // namespace framepick
