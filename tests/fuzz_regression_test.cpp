// The inputs kept in fuzz/regressions (hand-made hostile files, and any input a fuzz run broke
// the tool with): each ends with one report (which the report checker finds sound, no frame at an
// impossible time), a defined exit status and nothing on stderr, and costs little memory whatever
// sizes it claims.

#include <gtest/gtest.h>

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
    ++tried;
  }
  EXPECT_GT(tried, 0);
}

}  // namespace
}  // namespace framepick::testing
