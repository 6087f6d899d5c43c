#include "response/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>

#include "support/report_schema.h"

namespace framepick {
namespace {

using nlohmann::json;

ExtractorResponse report(double seconds, double failureTime,
                         const std::vector<FrameRecord>& frames = {},
                         const std::string& name = "clip.mov") {
  const FailureRecord failed{1, failureTime, "jpeg_encode_failed"};
  return {false, kDecoderName, name, seconds, 640, 360, 2, frames, {failed}, "no_frames_extracted"};
}

const std::string kGolden = R"({
  "decoder": "AVFoundation",
  "durationSeconds": 10.0,
  "error": "no_frames_extracted",
  "failures": [
    {
      "index": 1,
      "reason": "jpeg_encode_failed",
      "timestampSeconds": 5.266666666666667
    }
  ],
  "frames": [],
  "inputFileName": "clip.mov",
  "maxFrames": 2,
  "ok": false,
  "videoHeight": 360,
  "videoWidth": 640
}
)";

TEST(ResponseDocument, MatchesGoldenTextWithSortedKeysAndOneLineFeed) {
  EXPECT_EQ(responseDocument(report(10, 5.266666666666667)), kGolden);
}

TEST(ResponseDocument, NonFiniteTimesGiveExactlyTheFallback) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const ExtractorResponse& value :
       {report(nan, 1), report(1, inf), report(1, 1, {{2, 1, -inf, 640, 360, "frame-002.jpg"}})}) {
    EXPECT_EQ(responseDocument(value),
              R"({"ok":false,"decoder":"AVFoundation","error":"json_encode_failed"})"
              "\n");
  }
}

TEST(ResponseDocument, TextRoundTripsAndBadUtf8BecomesReplacementCharacter) {
  const std::string name = "\"hi\" \\ \n\t\x01\x7f caf\xC3\xA9 a\xFF.mov cut\xE2\x82";
  EXPECT_EQ(json::parse(responseDocument(report(1, 1, {}, name)))["inputFileName"],
            "\"hi\" \\ \n\t\x01\x7f caf\xC3\xA9 a\xEF\xBF\xBD.mov cut\xEF\xBF\xBD");
}

// The end-to-end runs only show that real reports pass; these show that the schema's rules bite.
TEST(ReportSchema, RejectsBrokenReports) {
  EXPECT_EQ(testing::reportSchemaViolations(kGolden), "");
  for (const char* patch :
       {R"({"ok": true})", R"({"error": null})", R"({"error": "disk_full"})",
        R"({"decoder": "FFmpeg"})", R"({"maxFrames": 13})", R"({"inputFileName": null})"}) {
    json broken = json::parse(kGolden);
    broken.merge_patch(json::parse(patch));
    EXPECT_NE(testing::reportSchemaViolations(broken.dump()), "") << patch;
  }
}

}  // namespace
}  // namespace framepick
