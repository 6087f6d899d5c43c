// End-to-end captures on videos made at test time whose frames carry their own number.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>

#include "support/fixtures.h"
#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

using nlohmann::json;

struct Clip {
  std::string name;
  std::function<std::filesystem::path()> make;
  int rate;
  int64_t videoWidth;
  int64_t videoHeight;
  int64_t stillWidth;
  int64_t stillHeight;
  bool turnedClockwise;
};

std::function<std::filesystem::path()> numbered(const std::string& name, int width, int height,
                                                int rate, double seconds,
                                                std::vector<std::string> encoder) {
  return [=] {
    std::vector<std::string> arguments = {"-f", "lavfi", "-i",
                                          numberedFramesSource(width, height, rate, seconds)};
    arguments.insert(arguments.end(), encoder.begin(), encoder.end());
    return fixtureVideo(name, arguments);
  };
}

// The way phones store portrait video: landscape pictures and a display matrix that turns them a
// quarter clockwise. ffmpeg 5.1 writes the matrix only when it copies the stream.
std::filesystem::path phoneStyleClip() {
  const std::filesystem::path landscape =
      numbered("phone-landscape.mp4", 1920, 1080, 30, 3,
               {"-c:v", "libx264", "-preset", "ultrafast", "-g", "30"})();
  return fixtureVideo("phone-rotated.mp4", {"-i", landscape.string(), "-c", "copy",
                                            "-metadata:s:v", "rotate=270"});
}

const std::vector<Clip>& clips() {
  static const std::vector<Clip> all = {
      {"h264-bframes-1080p",
       numbered("h264-bframes-1080p.mp4", 1920, 1080, 30, 6,
                {"-c:v", "libx264", "-preset", "ultrafast", "-bf", "3", "-g", "90"}),
       30, 1920, 1080, 1600, 900, false},
      {"phone-rotated", phoneStyleClip, 30, 1080, 1920, 900, 1600, true},
      {"vp9", numbered("vp9.webm", 640, 360, 25, 4, {"-c:v", "libvpx-vp9", "-deadline", "realtime",
                                              "-cpu-used", "8", "-g", "50"}),
       25, 640, 360, 640, 360, false},
      {"anamorphic",
       numbered("anamorphic.mp4", 720, 576, 25, 3,
                {"-vf", "setsar=64/45", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25"}),
       25, 1024, 576, 1024, 576, false},
      {"mpegts-offset",
       numbered("offset.ts", 640, 360, 30, 4,
                {"-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-g", "60", "-f",
                 "mpegts"}),
       30, 640, 360, 640, 360, false},
  };
  return all;
}

class CaptureTest : public ::testing::TestWithParam<Clip> {};

// Every still is the frame on screen at its requested time, its record says so, and the JPEG has
// the recorded size and orientation.
TEST_P(CaptureTest, StillsAreTheFramesOnScreen) {
  const Clip& clip = GetParam();
  const std::filesystem::path video = clip.make();
  ScratchDirectory output;
  const ProcessResult result =
      runFramepick({"--input", video.string(), "--output-dir", output.path().string(),
                    "--max-frames", "12"});
  ASSERT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(result.err, "");
  const json report = json::parse(result.out);
  EXPECT_EQ(report["videoWidth"], clip.videoWidth);
  EXPECT_EQ(report["videoHeight"], clip.videoHeight);
  ASSERT_EQ(report["frames"].size(), 12u) << result.out;

  for (const json& frame : report["frames"]) {
    SCOPED_TRACE(frame.dump());
    const double requested = frame["requestedTimestampSeconds"];
    const double actual = frame["actualTimestampSeconds"];
    const DecodedImage still = decodeJpegFile(output.path() / frame["fileName"].get<std::string>());
    EXPECT_EQ(still.width, frame["width"]);
    EXPECT_EQ(still.height, frame["height"]);
    EXPECT_EQ(still.width, clip.stillWidth);
    EXPECT_EQ(still.height, clip.stillHeight);
    const int shown = readFrameNumber(still, clip.turnedClockwise ? turnedClockwise(still)
                                                                  : upright(still));
    EXPECT_EQ(shown, static_cast<int>(std::floor(requested * clip.rate + 1e-6)));
    EXPECT_NEAR(actual, static_cast<double>(shown) / clip.rate, 1e-9);
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, CaptureTest, ::testing::ValuesIn(clips()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace framepick::testing
