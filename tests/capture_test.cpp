// End-to-end captures on videos made at test time whose frames carry their own number.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "extract/media.h"
#include "support/fixtures.h"
#include "support/process.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A clip of numbered frames; the encoder's arguments are split at spaces.
fs::path numbered(const std::string& name, int width, int height, int rate, double seconds,
                  const std::string& encoder) {
  std::istringstream words("-f lavfi -i " + numberedFramesSource(width, height, rate, seconds) +
                           " " + encoder);
  return fixtureVideo(name, {std::istream_iterator<std::string>(words), {}});
}

// Six seconds at 30 fps, a keyframe every second.
fs::path plainClip() {
  return numbered("numbered-180p.mp4", 320, 180, 30, 6, "-c:v libx264 -preset ultrafast -g 30");
}

// Six seconds at 10 fps, a keyframe every second, non-reference B-frames between.
fs::path bFramesClip() {
  return numbered("numbered-b-frames.mp4", 640, 360, 10, 6,
                  "-c:v libx264 -preset ultrafast -bf 3 -b-pyramid normal -g 10");
}

struct Outcome {
  ProcessResult result;
  json report;
};

Outcome capture(const fs::path& video, const fs::path& output, int maxFrames) {
  ProcessResult result =
      runFramepick({"--input", video.string(), "--output-dir", output.string(), "--max-frames",
                    std::to_string(maxFrames), "--max-dimension", "400"});
  EXPECT_EQ(result.err, "");
  json report = json::parse(result.out);
  return {std::move(result), std::move(report)};
}

int frameNumberOf(const DecodedImage& still, std::pair<double, double> (*turn)(double, double)) {
  return readFrameNumber(still, [&](double u, double v) {
    const auto [x, y] = turn(u, v);
    return std::pair{x * still.width, y * still.height};
  });
}

// Where a point of the coded picture, in fractions of its width and height, shows in the still.
std::pair<double, double> asCoded(double u, double v) { return {u, v}; }
std::pair<double, double> turnedClockwise(double u, double v) { return {1 - v, u}; }
std::pair<double, double> mirrored(double u, double v) { return {1 - u, v}; }

// The duration is the one the file states in its own time base, and the requested times are
// taken from it unrounded: 25 frames at 24 fps last 625/600 s, which no count of microseconds is.
TEST(Capture, DurationIsTheFilesOwn) {
  const std::vector<std::string> clip = {"-f", "lavfi", "-i", "testsrc2=s=160x90:r=24",
                                         "-frames:v", "25", "-c:v", "libx264", "-preset",
                                         "ultrafast"};
  const auto made = [&clip](const std::string& name, std::vector<std::string> muxer) {
    muxer.insert(muxer.begin(), clip.begin(), clip.end());
    return fixtureVideo(name, muxer);
  };
  const struct {
    fs::path video;
    double durationSeconds, tolerance;
  } cases[] = {
      {made("exact.mov", {"-video_track_timescale", "600", "-movie_timescale", "600"}),
       1.0416666666666667, 0},
      {made("exact.ts", {"-f", "mpegts"}), 1.0416666666666667, 0},  // 90000ths, from 1.4 s
      // The movie header counts milliseconds: FFmpeg 5.1 reports its 1042 ms, 7 and 9 the track's
      // 12800/12288 s.
      {made("milliseconds.mp4", {}), 1.0416666666666667, 1e-3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.video.filename());
    ScratchDirectory output;
    const Outcome run = capture(c.video, output.path(), 2);
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.out;
    const double duration = run.report["durationSeconds"];
    if (c.tolerance == 0) {
      EXPECT_EQ(duration, c.durationSeconds);
      EXPECT_EQ(run.report["frames"][0]["requestedTimestampSeconds"], 0.125);
      EXPECT_EQ(run.report["frames"][1]["requestedTimestampSeconds"], 0.9166666666666667);
    } else {
      EXPECT_NEAR(duration, c.durationSeconds, c.tolerance);
    }
  }
}

// Every still is the frame on screen at its requested time, its record says so, and the JPEG has
// the recorded size and orientation.
TEST(Capture, StillsAreTheFramesOnScreen) {
  // The way phones store portrait video: landscape pictures and a display matrix that turns them
  // a quarter clockwise.
  const fs::path phone = withDisplayMatrix(plainClip(), "phone.mp4", 0, 1, -1, 0);
  const fs::path mirror = withDisplayMatrix(plainClip(), "mirrored.mp4", -1, 0, 0, 1);
  const struct {
    fs::path video;
    int rate;
    int64_t videoWidth, videoHeight, stillWidth, stillHeight;
    std::pair<double, double> (*turn)(double, double);
  } clips[] = {
      {bFramesClip(), 10, 640, 360, 400, 225, asCoded},
      {phone, 30, 180, 320, 180, 320, turnedClockwise},
      {mirror, 30, 320, 180, 320, 180, mirrored},
      {numbered("vp9.webm", 320, 180, 25, 2, "-c:v libvpx-vp9 -deadline realtime -cpu-used 8"), 25,
       320, 180, 320, 180, asCoded},
      {numbered("anamorphic.mp4", 360, 288, 25, 2, "-vf setsar=64/45 -c:v libx264"), 25, 512, 288,
       400, 225, asCoded},
      // MPEG-TS starts its clock at 1.4 s.
      {numbered("offset.ts", 320, 180, 30, 3, "-c:v libx264 -preset ultrafast -bf 2 -f mpegts"), 30,
       320, 180, 320, 180, asCoded},
  };
  for (const auto& clip : clips) {
    SCOPED_TRACE(clip.video.filename());
    ScratchDirectory output;
    const Outcome run = capture(clip.video, output.path(), 12);
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.out;
    EXPECT_EQ(run.report["videoWidth"], clip.videoWidth);
    EXPECT_EQ(run.report["videoHeight"], clip.videoHeight);
    ASSERT_EQ(run.report["frames"].size(), 12u) << run.result.out;
    for (const json& frame : run.report["frames"]) {
      SCOPED_TRACE(frame.dump());
      const DecodedImage still = decodeJpegFile(output.path() / frame["fileName"]);
      EXPECT_EQ(json({still.width, still.height}), json({frame["width"], frame["height"]}));
      EXPECT_EQ(json({still.width, still.height}), json({clip.stillWidth, clip.stillHeight}));
      const int shown = frameNumberOf(still, clip.turn);
      const double requested = frame["requestedTimestampSeconds"];
      EXPECT_EQ(shown, static_cast<int>(std::floor(requested * clip.rate + 1e-6)));
      EXPECT_NEAR(frame["actualTimestampSeconds"], static_cast<double>(shown) / clip.rate, 1e-9);
    }
  }
}

// A seek only when a keyframe lies between the decoder and the target, in any order of targets;
// non-reference frames are dropped only when they leave the screen before the target: the one on
// screen at 1.55 s started 0.05 s before it.
TEST(FrameGenerator, SeeksOnlyWhereAKeyframeSavesDecoding) {
  const AssetHandle asset = openAsset(bFramesClip());
  loadAsset(*asset);
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 1600);
  const struct {
    double seconds;
    int frame;
    int64_t seeks;
  } steps[] = {{1.55, 15, 1}, {1.6, 16, 1}, {1.6, 16, 1}, {4.5, 45, 2}, {0.5, 5, 3}, {5.99, 59, 4}};
  DecodeCounters before;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.seconds);
    before = decodeCounters(*generator);
    const Result<CapturedImage> captured = copyImageAtTime(*generator, step.seconds);
    ASSERT_TRUE(captured.ok()) << captured.error();
    const Image& image = captured.value().image;
    const DecodedImage still{static_cast<int>(image.width), static_cast<int>(image.height),
                             image.rgb};
    EXPECT_EQ(frameNumberOf(still, asCoded), step.frame);
    EXPECT_EQ(captured.value().actualSeconds, step.frame / 10.0);
    EXPECT_EQ(decodeCounters(*generator).seeks, step.seeks);
  }
  // The last target drains the decoder, so each packet it did not decode was a frame dropped.
  const DecodeCounters after = decodeCounters(*generator);
  EXPECT_LT(after.framesDecoded - before.framesDecoded, after.packetsRead - before.packetsRead);
}

// One second of video in a file that lasts four, because its sound does: samples past the video
// fail and the others land; with none landed the run fails but reports what it probed.
TEST(CaptureFailures, SamplesPastTheVideoFail) {
  const fs::path video =
      numbered("ends-early.mp4", 96, 54, 30, 1, "-f lavfi -i sine=d=4 -c:v libx264 -c:a aac");
  for (const auto& [maxFrames, landed] : {std::pair{4, 1}, std::pair{1, 0}}) {
    ScratchDirectory output;
    const Outcome run = capture(video, output.path(), maxFrames);
    EXPECT_EQ(run.result.exitStatus, landed > 0 ? 0 : 2);
    EXPECT_EQ(run.report["ok"], landed > 0);
    EXPECT_EQ(run.report.value("error", ""), landed > 0 ? "" : "no_frames_extracted");
    EXPECT_NEAR(run.report["durationSeconds"].get<double>(), 4.0, 0.05);
    EXPECT_EQ(run.report["videoWidth"], 96);
    EXPECT_EQ(run.report["frames"].size(), landed);
    EXPECT_EQ(std::distance(fs::directory_iterator(output.path()), {}), landed);
    ASSERT_EQ(run.report["failures"].size(), maxFrames - landed);
    for (const json& failure : run.report["failures"]) {
      EXPECT_GT(failure["index"], landed);
      EXPECT_NE(failure["reason"].get<std::string>().find("the video ends at 1.000 s"),
                std::string::npos);
    }
  }
}

TEST(CaptureFailures, DamageInTheMiddleCostsOnlyTheSamplesThere) {
  // A fixed pattern over a tenth of the file from 45 % on: the frames of about 2.7 s to 3.3 s.
  std::string bytes = readWholeFile(plainClip());
  for (size_t at = bytes.size() * 45 / 100; at < bytes.size() * 55 / 100; ++at) {
    bytes[at] = static_cast<char>(at % 251);
  }
  ScratchDirectory output;
  std::ofstream(output.path() / "damaged.mp4", std::ios::binary) << bytes;
  const Outcome run = capture(output.path() / "damaged.mp4", output.path() / "frames", 7);
  EXPECT_EQ(run.result.exitStatus, 0);
  // 3.0 s lies in the damage; 3.76 s decodes only from the damaged keyframe at 3.0 s on, so
  // without the damage check it showed a stale picture.
  ASSERT_EQ(run.report["failures"].size(), 2u) << run.result.out;
  EXPECT_EQ(run.report["failures"][0]["index"], 4);
  EXPECT_EQ(run.report["failures"][1]["index"], 5);
  for (const json& frame : run.report["frames"]) {
    SCOPED_TRACE(frame.dump());
    const DecodedImage still = decodeJpegFile(output.path() / "frames" / frame["fileName"]);
    const double requested = frame["requestedTimestampSeconds"];
    EXPECT_EQ(frameNumberOf(still, asCoded), static_cast<int>(std::floor(requested * 30)));
  }
}

// 8K pictures in 4:4:4 with 10 bits are 214 MB each, and the encoder lets the decoder keep 16.
// (One encoder thread makes the clip in less than half the time.)
TEST(CaptureFailures, PicturesBeyondTheMemoryBudgetFailTheirSamples) {
  const fs::path video = fixtureVideo(
      "8k-16-references.mp4",
      {"-f", "lavfi", "-i", "color=c=gray:s=8192x4352:r=10:d=0.8,format=yuv444p10le", "-c:v",
       "libx264", "-preset", "ultrafast", "-refs", "16", "-bf", "0", "-threads", "1"});
  ScratchDirectory output;
  const Outcome run = capture(video, output.path(), 3);
  ASSERT_FALSE(run.report["failures"].empty()) << run.result.out;
  for (const json& failure : run.report["failures"]) {
    EXPECT_EQ(failure["reason"],
              "the video's pictures need more than the 1 GiB of memory decoding may use");
  }
  EXPECT_LT(run.result.maxResidentKilobytes, 1'400'000);
}

}  // namespace
}  // namespace framepick::testing
