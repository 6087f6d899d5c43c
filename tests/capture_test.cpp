// End-to-end captures on videos made at test time whose frames carry their own number.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "extract/media.h"
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
  PictureToStill (*place)(const DecodedImage&);
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

// ffmpeg cannot write a mirroring display matrix, so patch one into the track header: the matrix
// sits 48 bytes into a version-0 tkhd box, nine big-endian 32-bit numbers.
std::filesystem::path mirroredClip() {
  const std::filesystem::path path = fixtureVideo(
      "to-mirror.mp4", {"-f", "lavfi", "-i", numberedFramesSource(640, 360, 30, 2), "-c:v",
                        "libx264", "-preset", "ultrafast", "-g", "30"});
  const std::filesystem::path mirroredPath = path.parent_path() / "mirrored.mp4";
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t box = bytes.find("tkhd") - 4;
  const uint32_t matrix[9] = {0xFFFF0000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
  for (int i = 0; i < 9; ++i) {
    for (int byte = 0; byte < 4; ++byte) {
      bytes[box + 48 + i * 4 + byte] = static_cast<char>(matrix[i] >> (24 - 8 * byte));
    }
  }
  std::ofstream(mirroredPath, std::ios::binary) << bytes;
  return mirroredPath;
}

const std::vector<Clip>& clips() {
  static const std::vector<Clip> all = {
      {"h264-bframes-1080p",
       numbered("h264-bframes-1080p.mp4", 1920, 1080, 30, 6,
                {"-c:v", "libx264", "-preset", "ultrafast", "-bf", "3", "-g", "90"}),
       30, 1920, 1080, 1600, 900, upright},
      {"phone-rotated", phoneStyleClip, 30, 1080, 1920, 900, 1600, turnedClockwise},
      {"mirrored", mirroredClip, 30, 640, 360, 640, 360, mirrored},
      {"vp9", numbered("vp9.webm", 640, 360, 25, 4, {"-c:v", "libvpx-vp9", "-deadline", "realtime",
                                              "-cpu-used", "8", "-g", "50"}),
       25, 640, 360, 640, 360, upright},
      {"anamorphic",
       numbered("anamorphic.mp4", 720, 576, 25, 3,
                {"-vf", "setsar=64/45", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25"}),
       25, 1024, 576, 1024, 576, upright},
      {"mpegts-offset",
       numbered("offset.ts", 640, 360, 30, 4,
                {"-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-g", "60", "-f",
                 "mpegts"}),
       30, 640, 360, 640, 360, upright},
  };
  return all;
}

void PrintTo(const Clip& clip, std::ostream* stream) { *stream << clip.name; }

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
    const int shown = readFrameNumber(still, clip.place(still));
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

struct ReportedRun {
  ProcessResult result;
  json report;
};

ReportedRun capture(const std::filesystem::path& video, const ScratchDirectory& output,
            const std::string& maxFrames) {
  ProcessResult result = runFramepick({"--input", video.string(), "--output-dir",
                                       output.path().string(), "--max-frames", maxFrames});
  EXPECT_EQ(result.err, "");
  json report = json::parse(result.out);
  return {std::move(result), std::move(report)};
}

// One second of numbered 30 fps video in a file that lasts four, because its sound does.
std::filesystem::path videoEndingEarly() {
  return fixtureVideo("ends-early.mp4",
                      {"-f", "lavfi", "-i", numberedFramesSource(96, 54, 30, 1), "-f", "lavfi",
                       "-i", "sine=d=4", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"});
}

TEST(CaptureFailures, SamplesPastTheVideoFailAndTheOthersStillLand) {
  ScratchDirectory output;
  const ReportedRun run = capture(videoEndingEarly(), output, "4");
  EXPECT_EQ(run.result.exitStatus, 0);
  EXPECT_TRUE(run.report["ok"]);
  EXPECT_FALSE(run.report.contains("error"));
  ASSERT_EQ(run.report["frames"].size(), 1u);
  EXPECT_EQ(run.report["frames"][0]["index"], 1);
  ASSERT_EQ(run.report["failures"].size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const json& failure = run.report["failures"][i];
    EXPECT_EQ(failure["index"], i + 2);
    EXPECT_NE(failure["reason"].get<std::string>().find("the video ends at 1.000 s"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(output.path() / ("frame-00" + std::to_string(i + 2) + ".jpg")));
  }
}

TEST(CaptureFailures, NoFrameAtAllEndsWithStatusTwoAndTheProbedValues) {
  const std::filesystem::path video = fixtureVideo(
      "tenth-of-a-second.mp4", {"-f", "lavfi", "-i", numberedFramesSource(96, 54, 30, 0.1), "-f",
                                "lavfi", "-i", "sine=d=5", "-c:v", "libx264", "-c:a", "aac"});
  ScratchDirectory output;
  const ReportedRun run = capture(video, output, "3");
  EXPECT_EQ(run.result.exitStatus, 2);
  EXPECT_FALSE(run.report["ok"]);
  EXPECT_EQ(run.report["error"], "no_frames_extracted");
  EXPECT_NEAR(run.report["durationSeconds"].get<double>(), 5.0, 0.05);
  EXPECT_EQ(run.report["videoWidth"], 96);
  EXPECT_EQ(run.report["maxFrames"], 3);
  EXPECT_TRUE(run.report["frames"].empty());
  EXPECT_EQ(run.report["failures"].size(), 3u);
  EXPECT_TRUE(std::filesystem::is_empty(output.path()));
}

// Six seconds of numbered 30 fps video, a keyframe every second.
std::filesystem::path numbered360p() {
  return fixtureVideo("numbered-360p.mp4",
                      {"-f", "lavfi", "-i", numberedFramesSource(640, 360, 30, 6), "-c:v",
                       "libx264", "-preset", "ultrafast", "-g", "30"});
}

int frameNumberOf(const CapturedImage& captured) {
  const DecodedImage still{static_cast<int>(captured.image.width),
                           static_cast<int>(captured.image.height), captured.image.rgb};
  return readFrameNumber(still, upright(still));
}

// A seek only when a keyframe lies between the decoder and the target; any order of targets.
TEST(FrameGenerator, SeeksOnlyWhereAKeyframeSavesDecoding) {
  const AssetHandle asset = openAsset(numbered360p());
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 1600);
  const struct {
    double seconds;
    int frame;
    int64_t seeks;
  } steps[] = {{1.5, 45, 1}, {1.6, 48, 1}, {1.6, 48, 1}, {4.5, 135, 2}, {0.5, 15, 3}, {5.99, 179, 4}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.seconds);
    const Result<CapturedImage> captured = copyImageAtTime(*generator, step.seconds);
    ASSERT_TRUE(captured.ok()) << captured.error();
    EXPECT_EQ(frameNumberOf(captured.value()), step.frame);
    EXPECT_EQ(captured.value().actualSeconds, step.frame / 30.0);
    EXPECT_EQ(decodeCounters(*generator).seeks, step.seeks);
  }
}

// Non-reference frames are dropped only when they leave the screen before the target: at 10 fps
// the frame on screen at 1.55 s, a non-reference B-frame, started 0.05 s before it.
TEST(FrameGenerator, KeepsTheFrameOnScreenAtSlowFrameRates) {
  const AssetHandle asset = openAsset(fixtureVideo(
      "h264-bframes-10fps.mp4",
      {"-f", "lavfi", "-i", numberedFramesSource(320, 180, 10, 6), "-c:v", "libx264", "-preset",
       "ultrafast", "-bf", "3", "-b-pyramid", "normal", "-g", "60"}));
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 1600);
  const Result<CapturedImage> captured = copyImageAtTime(*generator, 1.55);
  ASSERT_TRUE(captured.ok()) << captured.error();
  EXPECT_EQ(frameNumberOf(captured.value()), 15);
  EXPECT_LT(decodeCounters(*generator).framesDecoded, decodeCounters(*generator).packetsRead);
}

TEST(CaptureFailures, DamageInTheMiddleCostsOnlyTheSamplesThere) {
  const std::filesystem::path intact = numbered360p();
  ScratchDirectory output;
  const std::filesystem::path damaged = output.path() / "damaged.mp4";
  std::filesystem::copy_file(intact, damaged);
  {
    // Overwrite a tenth of the file from 45 % on with a fixed pattern: the frames of about 2.7 s
    // to 3.3 s.
    std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
    const auto size = static_cast<std::streamoff>(std::filesystem::file_size(damaged));
    file.seekp(size * 45 / 100);
    for (std::streamoff i = 0; i < size / 10; ++i) file.put(static_cast<char>(i * 37 % 251));
  }
  const std::filesystem::path frames = output.path() / "frames";
  std::filesystem::create_directory(frames);
  const ProcessResult result = runFramepick({"--input", damaged.string(), "--output-dir",
                                             frames.string(), "--max-frames", "7"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  const json report = json::parse(result.out);
  // 3.0 s lies in the damage; 3.76 s decodes only from the damaged keyframe at 3.0 s on, so
  // without the damage check it showed a stale picture.
  ASSERT_EQ(report["failures"].size(), 2u) << result.out;
  EXPECT_EQ(report["failures"][0]["index"], 4);
  EXPECT_EQ(report["failures"][1]["index"], 5);
  for (const json& frame : report["frames"]) {
    SCOPED_TRACE(frame.dump());
    const DecodedImage still = decodeJpegFile(frames / frame["fileName"].get<std::string>());
    EXPECT_EQ(readFrameNumber(still, upright(still)),
              static_cast<int>(std::floor(frame["requestedTimestampSeconds"].get<double>() * 30)));
  }
}

// Clips shorter than the 0.04 s margins: every sample asks for 0.02 s and gets its own file.
TEST(CaptureFailures, AVideoShorterThanTheMarginsGivesEverySampleItsFile) {
  const std::filesystem::path video = fixtureVideo(
      "one-frame.mp4",
      {"-f", "lavfi", "-i", numberedFramesSource(96, 54, 30, 0.03), "-c:v", "libx264"});
  ScratchDirectory output;
  const ReportedRun run = capture(video, output, "5");
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.report["frames"].size(), 5u) << run.result.out;
  for (const json& frame : run.report["frames"]) {
    EXPECT_EQ(frame["requestedTimestampSeconds"], 0.02);
    EXPECT_EQ(frame["actualTimestampSeconds"], 0.0);
    EXPECT_TRUE(std::filesystem::exists(output.path() / frame["fileName"].get<std::string>()));
  }
}

// A frame file that cannot be replaced fails its own sample; an older frame file is replaced.
TEST(CaptureFailures, AnUnwritableFrameFileFailsOnlyItsSample) {
  ScratchDirectory output;
  std::filesystem::create_directory(output.path() / "frame-002.jpg");
  { std::ofstream(output.path() / "frame-001.jpg") << "left by an earlier run"; }
  const ReportedRun run = capture(numbered360p(), output, "2");
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.report["failures"].size(), 1u);
  EXPECT_EQ(run.report["failures"][0]["index"], 2);
  EXPECT_EQ(run.report["failures"][0]["reason"], "Is a directory");
  const DecodedImage first = decodeJpegFile(output.path() / "frame-001.jpg");
  EXPECT_EQ(readFrameNumber(first, upright(first)), 21);  // 0.72 s
  for (const auto& entry : std::filesystem::directory_iterator(output.path())) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << "temporary file left behind";
  }
}

// A peak resident size measures framepick alone only when nothing else shares its process:
// not under AddressSanitizer, which keeps freed memory in quarantine, nor under a wrapper.
bool residentSizeIsFramepicks() {
#ifdef FRAMEPICK_SANITIZED
  return false;
#else
  return std::getenv("FRAMEPICK_TEST_WRAPPER") == nullptr;
#endif
}

// 8K pictures in 4:4:4 with 10 bits are 214 MB each, and the encoder lets the decoder keep 16.
TEST(CaptureFailures, PicturesBeyondTheMemoryBudgetFailTheirSamples) {
  const std::filesystem::path video = fixtureVideo(
      "8k-16-references.mp4",
      {"-f", "lavfi", "-i", "color=c=gray:s=8192x4352:r=10:d=0.8", "-c:v", "libx264", "-preset",
       "ultrafast", "-refs", "16", "-bf", "0", "-pix_fmt", "yuv444p10le"});
  ScratchDirectory output;
  const ReportedRun run = capture(video, output, "3");
  ASSERT_FALSE(run.report["failures"].empty()) << run.result.out;
  for (const json& failure : run.report["failures"]) {
    EXPECT_EQ(failure["reason"],
              "the video's pictures need more than the 1 GiB of memory decoding may use");
  }
  if (residentSizeIsFramepicks()) {
    EXPECT_LT(run.result.maxResidentKilobytes, 1'400'000);
  }
}

// A JPEG stream whose frames claim 16000x16000: neither the probe nor the decoder allocates it.
TEST(CaptureFailures, PicturesTooLargeToDecodeAreRefusedCheaply) {
  const std::filesystem::path small = fixtureVideo(
      "small-mjpeg.avi", {"-f", "lavfi", "-i", "testsrc2=s=64x48:r=10:d=1", "-c:v", "mjpeg"});
  ScratchDirectory output;
  const std::filesystem::path huge = output.path() / "huge.avi";
  {
    std::ifstream in(small, std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    // Start of frame: marker, length, precision, then height and width as 16-bit big endian.
    for (size_t at = bytes.find("\xff\xc0"); at != std::string::npos;
         at = bytes.find("\xff\xc0", at + 2)) {
      bytes.replace(at + 5, 4, "\x3e\x80\x3e\x80");
    }
    std::ofstream(huge, std::ios::binary) << bytes;
  }
  const std::filesystem::path frames = output.path() / "frames";
  std::filesystem::create_directory(frames);
  const ProcessResult result = runFramepick(
      {"--input", huge.string(), "--output-dir", frames.string(), "--max-frames", "2"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.err, "");
  const json report = json::parse(result.out);
  ASSERT_EQ(report["failures"].size(), 2u);
  for (const json& failure : report["failures"]) {
    EXPECT_TRUE(failure["reason"].get<std::string>().starts_with(
        "no video frame could be decoded: the decoder rejected"))
        << failure;
  }
  if (residentSizeIsFramepicks()) {
    EXPECT_LT(result.maxResidentKilobytes, 200'000);
  }
}

}  // namespace
}  // namespace framepick::testing
