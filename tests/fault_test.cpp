// Hostile inputs and faults met while a run goes on: each costs only the samples it hits, which
// say why, and leaves no partial or temporary file behind. Failing system calls of a frame write
// are the atomic-file test's rows.

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The hostile files kept in fuzz/regressions, made by hand or by a fuzz run that broke the tool:
// each ends with one sound report and a defined exit status, at little memory whatever it claims.
TEST(FuzzRegressions, EachInputEndsWithOneReport) {
  int tried = 0;
  for (const auto& entry : fs::directory_iterator(FRAMEPICK_SOURCE_DIR "/fuzz/regressions")) {
    if (entry.path().filename().string().starts_with(".")) continue;
    SCOPED_TRACE(entry.path().filename());
    ScratchDirectory output;
    const ProcessResult result =
        runFramepick({"--input", entry.path().string(), "--output-dir", output.path().string()});
    EXPECT_TRUE(result.exitStatus >= 0 && result.exitStatus <= 2) << result.exitStatus;
    EXPECT_LT(result.maxResidentKilobytes.value_or(0), 200'000);
    ++tried;
  }
  EXPECT_GT(tried, 0);
}

// SIGXFSZ must not end the run, every write fails on its own, and an earlier run's frame stays.
// With no frame written the run fails, but reports what it probed.
TEST(Faults, FileSizeLimitFailsEachWriteAndKeepsEarlierFrames) {
  const fs::path video =
      numberedClip("numbered-1080p.mp4", 1920, 1080, 30, 2, "-c:v libx264 -preset ultrafast");
  ScratchDirectory output;
  std::ofstream(output.path() / "frame-001.jpg") << "an earlier run's frame";
  const ProcessResult result =
      runFramepick({"--input", video, "--output-dir", output.path(), "--max-frames", "3"}, {},
                   {"prlimit", "--fsize=4096"});
  EXPECT_EQ(result.exitStatus, 2);
  const json report = json::parse(result.out);
  EXPECT_EQ(report["error"], "no_frames_extracted");
  EXPECT_EQ(json({report["durationSeconds"], report["videoWidth"]}), json({2.0, 1920}));
  ASSERT_EQ(report["failures"].size(), 3u);
  for (const json& failure : report["failures"]) EXPECT_EQ(failure["reason"], "File too large");
  EXPECT_EQ(readWholeFile(output.path() / "frame-001.jpg"), "an earlier run's frame");
  EXPECT_EQ(std::distance(fs::directory_iterator(output.path()), {}), 1);
}

// Heap limits that make allocations fail at different points of decoding, converting, encoding
// and writing: every run completes, and each sample that ran out of memory says so.
TEST(Faults, MemoryRunningOutFailsOnlyTheSamplesItHits) {
#ifdef FRAMEPICK_SANITIZED
  GTEST_SKIP() << "AddressSanitizer's shadow memory cannot live under a heap limit";
#endif
  const fs::path video =
      fixtureVideo("memory-720p.mp4",
                   "-f lavfi -i testsrc2=s=1280x720:r=30:d=12 -c:v libx264 -preset ultrafast");
  int samplesOutOfMemory = 0;
  for (int megabytes = 40; megabytes <= 80; megabytes += 8) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB");
    ScratchDirectory scratch;
    const ProcessResult result = runFramepick(
        {"--input", video, "--output-dir", scratch.path() / "frames", "--max-dimension", "2400"},
        {}, {"prlimit", "--data=" + std::to_string(megabytes << 20)});
    if (result.exitStatus == 127) continue;  // too little for the dynamic loader
    EXPECT_TRUE(result.exitStatus == 0 || result.exitStatus == 2) << result.out;
    const json report = json::parse(result.out);
    for (const json& failure : report["failures"]) {
      EXPECT_NE(failure["reason"].get<std::string>().find("memory ran out"), std::string::npos)
          << failure["reason"];
      ++samplesOutOfMemory;
    }
  }
  EXPECT_GT(samplesOutOfMemory, 0) << "no limit made memory run out";
}

}  // namespace
}  // namespace framepick::testing
