#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/options.h"
#include "response/json.h"
#include "support/report_schema.h"

namespace framepick {
namespace {

using nlohmann::json;
using testing::reportSchemaViolations;

ExtractorResponse completed(std::vector<FrameRecord> frames, std::optional<std::string> error) {
  const bool ok = !frames.empty();
  return {ok,
          kDecoderName,
          "a.mov",
          6,
          1280,
          720,
          2,
          std::move(frames),
          {{2, 5.28, "jpeg_encode_failed"}},
          std::move(error)};
}

ExtractorResponse fatal(std::string error) {
  return {false, kDecoderName, "a.mov", 0, 0, 0, 0, {}, {}, std::move(error)};
}

json parsed(const ExtractorResponse& response) { return json::parse(responseDocument(response)); }

// The end-to-end runs only show that real reports pass; these show that the schema's rules bite.
TEST(ReportSchema, AcceptsEveryKindOfReportAndRejectsBrokenRules) {
  const FrameRecord frame{1, 0.72, 0.7, 640, 360, "frame-001.jpg"};
  json succeeded = parsed(completed({frame}, std::nullopt));
  json fatalUsage = parsed(fatal(std::string(kUsageLine)));
  json fallback = json::parse(kFallbackDocument);

  json okWithError = succeeded;
  okWithError["error"] = "no_frames_extracted";
  json failedWithoutError = fatalUsage;
  failedWithoutError.erase("error");
  json okWithoutFrames = succeeded;
  okWithoutFrames["frames"] = json::array();
  json unknownError = fatalUsage;
  unknownError["error"] = "disk_full";
  json fallbackWithMore = fallback;
  fallbackWithMore["frames"] = json::array();
  json otherDecoder = succeeded;
  otherDecoder["decoder"] = "FFmpeg";
  json escapingFileName = succeeded;
  escapingFileName["frames"][0]["fileName"] = "../frame-001.jpg";

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"frames written", succeeded.dump(), true},
      {"no frames", responseDocument(completed({}, "no_frames_extracted")), true},
      {"usage", fatalUsage.dump(), true},
      {"system text", responseDocument(fatal("output_directory_unavailable: Not a directory")),
       true},
      {"not encodable", responseDocument(completed({{1, nan, 0.7, 640, 360, "frame-001.jpg"}}, {})),
       true},
      {"ok with error", okWithError.dump(), false},
      {"failed without error", failedWithoutError.dump(), false},
      {"ok without frames", okWithoutFrames.dump(), false},
      {"unknown error", unknownError.dump(), false},
      {"fallback with more", fallbackWithMore.dump(), false},
      {"other decoder", otherDecoder.dump(), false},
      {"file name outside the directory", escapingFileName.dump(), false},
  };
  for (const auto& [what, document, valid] : cases) {
    SCOPED_TRACE(what);
    const std::string violations = reportSchemaViolations(document);
    if (valid) {
      EXPECT_EQ(violations, "");
    } else {
      EXPECT_NE(violations, "");
      EXPECT_EQ(violations.find("Traceback"), std::string::npos) << violations;
    }
  }
}

}  // namespace
}  // namespace framepick
