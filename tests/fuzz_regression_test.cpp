// The inputs kept in fuzz/regressions (hand-made hostile files, and any input a fuzz run broke
// the tool with): each ends with one report, a defined exit status and nothing on stderr, reports
// no frame at an impossible time, and costs little memory whatever sizes it claims.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/process.h"

namespace framepick::testing {
namespace {

TEST(FuzzRegressions, EachInputEndsWithOneReport) {
  int tried = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(FRAMEPICK_SOURCE_DIR "/fuzz/regressions")) {
    if (entry.path().filename().string().starts_with(".")) continue;
    SCOPED_TRACE(entry.path().filename());
    ScratchDirectory output;
    const ProcessResult result =
        runFramepick({"--input", entry.path().string(), "--output-dir", output.path().string()});
    EXPECT_TRUE(result.exitStatus >= 0 && result.exitStatus <= 2) << result.exitStatus;
    EXPECT_EQ(result.err, "");
    if (result.maxResidentKilobytes) {
      EXPECT_LT(*result.maxResidentKilobytes, 200'000);
    }
    ASSERT_TRUE(result.out.ends_with("}\n") && nlohmann::json::accept(result.out)) << result.out;
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
