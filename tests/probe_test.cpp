#include "extract/probe.h"

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace framepick::testing {
namespace {

// Rotated and anamorphic pictures are measured end to end by the capture test too; empty files,
// directories and sound alone by the run test.
TEST(ProbeVideo, ReadsDurationAndDisplaySizeOrNamesWhatIsMissing) {
  const std::string small = "testsrc2=s=320x240:r=25:d=1";
  const std::string landscape = fixtureVideo("probe-landscape.mp4", {"-f", "lavfi", "-i", small});
  const struct {
    std::filesystem::path video;
    std::string error;  // empty when the probe succeeds
    double durationSeconds = 0;
    int64_t videoWidth = 0, videoHeight = 0;
  } cases[] = {
      {fixtureVideo("turned-90.mp4", {"-i", landscape, "-c", "copy", "-metadata:s:v", "rotate=90"}),
       "", 1.0, 240, 320},
      {fixtureVideo("turned-180.mp4",
                    {"-i", landscape, "-c", "copy", "-metadata:s:v", "rotate=180"}),
       "", 1.0, 320, 240},
      // The first video track counts.
      {fixtureVideo("two-tracks.mkv", {"-f", "lavfi", "-i", small, "-f", "lavfi", "-i",
                                       "testsrc2=s=640x480:r=25:d=1", "-map", "0", "-map", "1"}),
       "", 1.0, 320, 240},
      // A live Matroska file states no duration; FFmpeg's bit-rate guess must not stand in for
      // the one its timestamps give.
      {fixtureVideo("live.mkv", {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3", "-live", "1"}),
       "", 3.0, 320, 240},
      // Cover art is a picture, not a video track.
      {fixtureVideo("cover.mp3", {"-f", "lavfi", "-i", "sine=d=2", "-f", "lavfi", "-i",
                                  "color=s=64x64:d=1", "-map", "0", "-map", "1", "-frames:v", "1",
                                  "-c:v", "mjpeg", "-disposition:v", "attached_pic"}),
       "video_track_unavailable"},
      // A raw stream has neither a stated duration nor timestamps to measure one from.
      {fixtureVideo("raw.h264", {"-f", "lavfi", "-i", small}), "duration_unavailable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.video);
    const AssetHandle asset = openAsset(c.video);
    loadAsset(*asset);
    const Result<VideoProbe> probe = probeVideo(*asset);
    ASSERT_EQ(probe.ok() ? "" : probe.error(), c.error);
    if (!probe.ok()) continue;
    EXPECT_NEAR(probe.value().durationSeconds, c.durationSeconds, 0.05);
    EXPECT_EQ(probe.value().videoWidth, c.videoWidth);
    EXPECT_EQ(probe.value().videoHeight, c.videoHeight);
  }
}

}  // namespace
}  // namespace framepick::testing
