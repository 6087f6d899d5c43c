#include "extract/probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "support/fixtures.h"
#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

std::vector<std::string> plainVideo(const std::string& size, double seconds,
                                    std::vector<std::string> encoder = {"-c:v", "libx264"}) {
  std::vector<std::string> arguments = {"-f", "lavfi", "-i",
                                        "testsrc2=s=" + size + ":r=25:d=" + std::to_string(seconds)};
  arguments.insert(arguments.end(), encoder.begin(), encoder.end());
  return arguments;
}

std::filesystem::path rotated(int degrees) {
  const std::filesystem::path landscape = fixtureVideo("landscape.mp4", plainVideo("1920x1080", 1));
  return fixtureVideo("rotated-" + std::to_string(degrees) + ".mp4",
                      {"-i", landscape.string(), "-c", "copy", "-metadata:s:v",
                       "rotate=" + std::to_string(degrees)});
}

struct ProbeCase {
  std::string what;
  std::function<std::filesystem::path()> make;
  double durationSeconds;
  int64_t videoWidth;
  int64_t videoHeight;
};

TEST(ProbeVideo, ReadsDurationAndDisplaySize) {
  const std::vector<ProbeCase> cases = {
      {"1080p", [] { return fixtureVideo("landscape.mp4", plainVideo("1920x1080", 1)); }, 1.0,
       1920, 1080},
      {"quarter turn", [] { return rotated(90); }, 1.0, 1080, 1920},
      {"half turn", [] { return rotated(180); }, 1.0, 1920, 1080},
      {"three-quarter turn", [] { return rotated(270); }, 1.0, 1080, 1920},
      {"anamorphic PAL 16:9",
       [] {
         return fixtureVideo("pal-wide.mp4",
                             plainVideo("720x576", 1, {"-vf", "setsar=64/45", "-c:v", "libx264"}));
       },
       1.0, 1024, 576},
      {"two video tracks, first one counts",
       [] {
         return fixtureVideo("two-tracks.mkv",
                             {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=1", "-f", "lavfi",
                              "-i", "testsrc2=s=640x480:r=25:d=1", "-map", "0", "-map", "1",
                              "-c:v", "libx264"});
       },
       1.0, 320, 240},
      // A live Matroska file states no duration; FFmpeg's bit-rate guess must not stand in for
      // the one its timestamps give.
      {"live Matroska",
       [] {
         return fixtureVideo("live.mkv", plainVideo("320x240", 3, {"-c:v", "libx264", "-live", "1"}));
       },
       3.0, 320, 240},
  };
  for (const ProbeCase& probeCase : cases) {
    SCOPED_TRACE(probeCase.what);
    const AssetHandle asset = openAsset(probeCase.make());
    const Result<VideoProbe> probe = probeVideo(*asset);
    ASSERT_TRUE(probe.ok()) << probe.error();
    EXPECT_NEAR(probe.value().durationSeconds, probeCase.durationSeconds, 0.05);
    EXPECT_EQ(probe.value().videoWidth, probeCase.videoWidth);
    EXPECT_EQ(probe.value().videoHeight, probeCase.videoHeight);
  }
}

TEST(ProbeVideo, NamesWhatIsMissing) {
  ScratchDirectory scratch;
  const std::filesystem::path garbage = scratch.path() / "garbage.mov";
  {
    std::ofstream file(garbage, std::ios::binary);
    for (int i = 0; i < 100000; ++i) file.put(static_cast<char>(i * 7919 % 256));
  }
  const std::filesystem::path empty = scratch.path() / "empty.mp4";
  std::ofstream{empty};
  const std::vector<std::pair<std::filesystem::path, std::string>> cases = {
      {fixtureVideo("sound.m4a", {"-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac"}),
       "video_track_unavailable"},
      // Cover art is a picture, not a video track.
      {fixtureVideo("cover.mp3", {"-f", "lavfi", "-i", "sine=d=2", "-f", "lavfi", "-i",
                                  "color=s=64x64:d=1", "-map", "0", "-map", "1", "-frames:v", "1",
                                  "-c:a", "libmp3lame", "-c:v", "mjpeg", "-disposition:v",
                                  "attached_pic"}),
       "video_track_unavailable"},
      {garbage, "duration_unavailable"},
      // A raw stream has neither a stated duration nor timestamps to measure one from.
      {fixtureVideo("raw.h264", plainVideo("320x240", 3)), "duration_unavailable"},
      {empty, "duration_unavailable"},
      {scratch.path(), "duration_unavailable"},
  };
  for (const auto& [path, error] : cases) {
    SCOPED_TRACE(path.string());
    const Result<VideoProbe> probe = probeVideo(*openAsset(path));
    ASSERT_FALSE(probe.ok());
    EXPECT_EQ(probe.error(), error);
  }
}

TEST(ProbeVideo, RoundsDisplaySizesHalfAwayFromZero) {
  EXPECT_EQ(wholePixels(1079.5), 1080);
  EXPECT_EQ(wholePixels(607.49), 607);
  EXPECT_EQ(wholePixels(-1920.0), 1920);
  EXPECT_EQ(wholePixels(std::nan("")), 0);
}

// The failure report zeroes the probed duration even though it was read.
TEST(ProbeVideo, ASoundOnlyFileReportsNoVideoTrackWithZeroDuration) {
  ScratchDirectory output;
  const ProcessResult result = runFramepick(
      {"--input", fixtureVideo("sound.m4a", {"-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac"}),
       "--output-dir", (output.path() / "frames").string()});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "");
  const nlohmann::json report = nlohmann::json::parse(result.out);
  EXPECT_EQ(report["error"], "video_track_unavailable");
  EXPECT_EQ(report["durationSeconds"], 0);
  EXPECT_EQ(report["inputFileName"], "sound.m4a");
  EXPECT_TRUE(std::filesystem::is_empty(output.path() / "frames"));
}

}  // namespace
}  // namespace framepick::testing
