// The inputs kept in fuzz/regressions (hand-made hostile files, and any input a fuzz run broke
// the tool with): each ends with one report, a defined exit status and nothing on stderr, and
// reports no frame at an impossible time.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

TEST(FuzzRegressions, EachInputEndsWithOneReport) {
  const std::filesystem::path inputs =
      std::filesystem::path(FRAMEPICK_SOURCE_DIR) / "fuzz/regressions";
  int tried = 0;
  for (const auto& entry : std::filesystem::directory_iterator(inputs)) {
    if (entry.path().filename().string().starts_with(".")) continue;
    SCOPED_TRACE(entry.path().filename().string());
    ScratchDirectory output;
    const ProcessResult result =
        runFramepick({"--input", entry.path().string(), "--output-dir", output.path().string()});
    EXPECT_TRUE(result.exitStatus == 0 || result.exitStatus == 1 || result.exitStatus == 2)
        << result.exitStatus;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out.ends_with("}\n")) << result.out;
    ASSERT_TRUE(nlohmann::json::accept(result.out)) << result.out;
    // Whatever the file's timestamps claim, a frame reported is never from before the start
    // nor after the window of the time it was asked for.
    const nlohmann::json report = nlohmann::json::parse(result.out);
    for (const auto& frame : report["frames"]) {
      const double actual = frame["actualTimestampSeconds"];
      EXPECT_GE(actual, -0.04) << frame;
      EXPECT_LE(actual, frame["requestedTimestampSeconds"].get<double>() + 0.04) << frame;
    }
    ++tried;
  }
  EXPECT_GT(tried, 0);
}

}  // namespace
}  // namespace framepick::testing
