// Samples after different keyframes taken by several decoders at once: the plan, and stills
// byte for byte the same as one decoder's.

#include <gtest/gtest.h>

#include <sstream>

#include "extract/capture.h"
#include "extract/chains.h"
#include "extract/plan.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;

TEST(Chains, GroupSamplesAfterTheSameKeyframeAndRunWhereTheyFinishSooner) {
  // Each chain's samples, and the seconds decoded to reach its last.
  const auto plan = [](const std::vector<double>& targets, const std::vector<double>& keyframes) {
    std::ostringstream said;
    for (const Chain& chain : planChains(targets, keyframes)) {
      for (const size_t sample : chain.samples) said << sample << " ";
      said << "in " << chain.decodeSeconds << "; ";
    }
    return said.str();
  };
  EXPECT_EQ(plan({1, 3, 5}, {}), "0 1 2 in 5; ");  // no index
  EXPECT_EQ(plan({1, 3, 5, 7}, {0, 4}), "0 1 in 3; 2 3 in 3; ");
  // On a keyframe, and before the first.
  EXPECT_EQ(plan({0.5, 2, 2.5}, {1, 2}), "0 in 0; 1 2 in 0.5; ");
  EXPECT_EQ(criticalPath({4, 3, 3, 2}, 2), 6);
  const auto made = [](std::vector<double> costs) {
    std::vector<Chain> chains;
    for (const double cost : costs) chains.push_back({{}, cost});
    return chains;
  };
  // One long GOP and a short one: one decoder with frame threads finishes first.
  EXPECT_EQ(workerCount(made({7.5, 0.5}), 2, 2), 1);
  EXPECT_EQ(workerCount(made({4, 4, 4, 4, 4, 4, 4}), 2, 2), 2);
  EXPECT_EQ(workerCount(made({4, 4, 4, 4, 4, 4, 4}), 16, 16), 7);
  EXPECT_EQ(workerCount(made({4, 4, 4}), 1, 2), 1);
}

// Every frame a run reports, and its still's bytes.
std::string everything(const CaptureRecords& records, const fs::path& output) {
  std::ostringstream said;
  for (const FrameRecord& frame : records.frames) {
    said << frame.index << " " << frame.actualTimestampSeconds << " " << frame.width << "x"
         << frame.height << " " << std::hash<std::string>{}(readWholeFile(output / frame.fileName))
         << "\n";
  }
  return said.str();
}

// Seven samples of an 8 s clip with a keyframe every 2 s: four chains, two of two samples each
// decoded forward by one decoder, so at most one seek per chain. AVI times its packets by what the
// probe learnt of the stream, so it is read by one decoder.
TEST(ParallelCapture, GivesTheStillsOfOneDecoder) {
  const auto clip = [](const std::string& name, const std::string& encoder) {
    return numberedClip(name, 640, 360, 25, 8, encoder + " -g 50");
  };
  const std::pair<fs::path, bool> videos[] = {
      {clip("gops.mp4", "-c:v libx264 -preset ultrafast -bf 2"), true},
      {clip("gops.webm", "-c:v libvpx-vp9 -deadline realtime"), true},
      {clip("gops.avi", "-c:v mpeg4 -bf 2"), false},
  };
  for (const auto& [video, parallel] : videos) {
    SCOPED_TRACE(video.filename());
    std::string stills[2];
    for (const int maxWorkers : {1, 4}) {
      const AssetHandle asset = openAsset(video);
      loadAsset(*asset);
      const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 1600);
      ScratchDirectory output;
      const CaptureRecords records = captureFrames(
          *generator, sampleFractions(7), assetDurationSeconds(*asset), output.path(), maxWorkers);
      ASSERT_EQ(records.frames.size(), 7u);
      EXPECT_EQ(records.frames.front().index, 1);
      ASSERT_EQ(records.work.chains.size(), 4u);
      EXPECT_EQ(records.work.workers, parallel ? maxWorkers : 1);
      // A worker that takes two chains may reach the second without a seek.
      if (records.work.workers > 1) {
        EXPECT_LE(records.work.counters.seeks, 4);
      }
      stills[maxWorkers > 1] = everything(records, output.path());
    }
    EXPECT_EQ(stills[1], stills[0]);
  }
}

}  // namespace
}  // namespace framepick::testing
