// Stills of videos made at test time, most of whose frames carry their own number, laid out the
// awkward ways real files have them.

#include "extract/capture.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "extract/plan.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

// Frames within this many seconds of the requested time may serve it.
constexpr double kToleranceSeconds = 0.04;

namespace fs = std::filesystem;
using nlohmann::json;

std::pair<double, double> turnedClockwise(double u, double v) { return {1 - v, u}; }
std::pair<double, double> mirrored(double u, double v) { return {1 - u, v}; }
std::pair<double, double> transposed(double u, double v) { return {v, u}; }

// Where a clip's numbered frames sit on the presentation's clock. At time t, an edit from `start`
// shows the frame at media time M + (t - start) * rate (ISO 14496-12), from when it reaches it.
struct Timeline {
  int rate;
  int frames;
  double startSeconds = 0;  // of the first frame
  int heldFrame = -1;       // stays on screen pauseSeconds longer than the others
  double pauseSeconds = 0;
  double endSeconds = std::numeric_limits<double>::infinity();  // of the video, where it is near
  double damagedFrom = 0, damagedUntil = 0;                     // where no frame can be shown
  std::vector<EditEntry> edits = {};

  double secondsOf(int frame) const {
    return startSeconds + static_cast<double>(frame) / rate +
           (heldFrame >= 0 && frame > heldFrame ? pauseSeconds : 0);
  }
  // The frame shown at `seconds`, and since when; -1 where none is.
  std::pair<int, double> shownAt(double seconds) const {
    if (!edits.empty()) {
      double start = 0;
      size_t i = 0;
      for (; i + 1 < edits.size() && seconds >= start + edits[i].durationSeconds; ++i)
        start += edits[i].durationSeconds;
      const EditEntry& edit = edits[i];
      const int shown = static_cast<int>(
          std::floor((edit.mediaSeconds + (seconds - start) * edit.rate) * rate + 1e-6));
      const double since =
          edit.rate == 0 ? 0 : std::max(0.0, 1.0 * shown / rate - edit.mediaSeconds);
      return {edit.mediaSeconds < 0 ? -1 : shown, start + since};
    }
    if (secondsOf(0) > seconds + kToleranceSeconds) return {-1, 0};
    if (seconds >= endSeconds + kToleranceSeconds) return {-1, 0};
    if (seconds >= damagedFrom && seconds < damagedUntil) return {-1, 0};
    int shown = 0;
    while (shown + 1 < frames && secondsOf(shown + 1) <= seconds + 1e-6) ++shown;
    return {shown, secondsOf(shown)};
  }
};

// Frame 47 stays on screen 3 s longer; x264's B-frames without a pyramid make it non-reference.
fs::path pausedClip(const std::string& name) {
  return numberedClip(
      name, 320, 180, 25, 6,
      "-vf settb=1/1000,setpts='round((N+75*gte(N\\,48))*40)' -fps_mode passthrough "
      "-c:v libx264 -g 50 -x264-params b-adapt=0:bframes=3:b-pyramid=0");
}

// Each still is the frame on screen at its requested time, as its record says, in its recorded
// size and turn; where none is, the sample fails. No run decodes more packets than the video has.
TEST(Capture, StillsAreTheFramesOnScreen) {
  const fs::path plain =
      numberedClip("numbered-180p.mp4", 320, 180, 30, 6, "-c:v libx264 -preset ultrafast -g 30");
  // Portrait pictures are fitted by their height; a transposing matrix turns and mirrors them.
  const fs::path portrait =
      numberedClip("portrait.mp4", 360, 640, 25, 2, "-vf setsar=1 -c:v libx264 -preset ultrafast");
  // Xvid packs a B-frame into the chunk of the P-frame after it and leaves empty chunks where it
  // held frames back; the same without its index, read chunk by chunk.
  const fs::path xvid = numberedClip("xvid.avi", 320, 180, 25, 10, "-c:v libxvid -bf 1 -g 50");
  // Frames needing no other are decoded only where a sample shows them, and the next (its end).
  const fs::path mjpeg = withoutAviIndex(numberedClip("mjpeg.avi", 320, 180, 25, 6, "-c:v mjpeg"));
  // A pattern over a tenth of the file from 45 %, about 2.7 s to 3.3 s: those samples fail, and so
  // do those decoded from the damaged keyframe at 3 s, which once showed a stale picture.
  std::string bytes = readWholeFile(plain);
  for (size_t at = bytes.size() * 45 / 100; at < bytes.size() * 55 / 100; ++at) {
    bytes[at] = static_cast<char>(at % 251);
  }
  // A stream copy of a numbered clip, with ffmpeg's options before its input and after the copy.
  const auto copied = [](const std::string& name, double seconds, const std::string& encoder,
                         const std::string& before, const std::string& after) {
    const fs::path source = numberedClip("source-" + name, 320, 180, 25, seconds, encoder);
    return fixtureVideo(name, before + " -i " + source.string() + " -c copy " + after);
  };
  const std::string closedGop = "-c:v libx264 -preset ultrafast -bf 3 -g 50";
  const Timeline cut{25, 200, -3.3};
  const Timeline paused{25, 150, 0, 47, 3};
  struct Clip {
    fs::path video;
    Timeline timeline;
    std::array<int64_t, 2> videoSize = {320, 180};  // the stills are scaled down to fit 400x400
    Turn turn = asCoded;
    int64_t mostFramesDecoded = std::numeric_limits<int64_t>::max();
    double durationSeconds = 0;  // checked where given
  };
  // Edit lists on a clip with B-frames.
  const auto edited = [&closedGop](const char* name, const std::vector<EditEntry>& edits) {
    const fs::path source = numberedClip("edited-source.mp4", 320, 180, 25, 8, closedGop);
    return Clip{.video = withEditList(source, name, edits),
                .timeline = {.rate = 25, .frames = 200, .edits = edits},
                .durationSeconds = 4};
  };
  const Clip clips[] = {
      {bFramesClip(), {10, 60}, {640, 360}},
      // The way phones store portrait video: a display matrix turns landscape pictures clockwise.
      {withDisplayMatrix(plain, "phone.mp4", 0, 1, -1, 0), {30, 180}, {180, 320}, turnedClockwise},
      {withDisplayMatrix(plain, "mirrored.mp4", -1, 0, 0, 1), {30, 180}, {320, 180}, mirrored},
      // A matrix that doubles the picture turns nothing and stretches no still.
      {withDisplayMatrix(plain, "doubled.mp4", 2, 0, 0, 2), {30, 180}},
      {portrait, {25, 50}, {360, 640}},
      {withDisplayMatrix(portrait, "transposed.mp4", 0, 1, 1, 0), {25, 50}, {640, 360}, transposed},
      {numberedClip("vp9.webm", 320, 180, 25, 2, "-c:v libvpx-vp9 -deadline realtime -cpu-used 8"),
       {25, 50}},
      {numberedClip("anamorphic.mp4", 360, 288, 25, 2, "-vf setsar=64/45 -c:v libx264"),
       {25, 50},
       {512, 288}},
      // MPEG-TS starts its clock at 1.4 s.
      {numberedClip("offset.ts", 320, 180, 30, 3, "-c:v libx264 -preset ultrafast -bf 2 -f mpegts"),
       {30, 90}},
      {pausedClip("paused.mp4"), paused},
      {pausedClip("paused.mkv"), paused},
      {pausedClip("paused.ts"), paused},
      // The last frame in decode order (a B-frame) lasts 3.04 s, to the track's end at 7 s.
      {copied("long-last.mp4", 4, "-c:v libx264 -x264-params b-adapt=0:bframes=3 -use_editlist 0",
              "",
              "-bsf:v setts=pts=PTS:dts=DTS:duration=if(eq(N\\,99)\\,38912\\,DURATION) "
              "-use_editlist 0"),
       {25, 100}},
      // An empty edit of 2 s before the video.
      {copied("empty-edit.mp4", 4, "-c:v libx264 -preset ultrafast -g 25", "-itsoffset 2", ""),
       {25, 100, 2}},
      // One second of video in a file that lasts 1.908 s, because its sound does: the sample at
      // 1.02 s gets the last frame, the later ones fail.
      {numberedClip("ends-early.mov", 320, 180, 25, 1,
                    "-f lavfi -i sine=d=1.908:sample_rate=8000 -c:v libx264 -preset ultrafast "
                    "-c:a pcm_s16le"),
       {25, 25, 0, -1, 0, 1.0}},
      // AVI stores no presentation times, and the decoder holds B-frames back two frames.
      {numberedClip("b-frames.avi", 320, 180, 25, 4,
                    "-c:v libx264 -g 50 -x264-params b-adapt=0:bframes=3 -bsf:v h264_mp4toannexb"),
       {25, 100}},
      {dvdClip(), {25, 100}, {1024, 576}},
      {oneKeyframeClip(), {30, 300}, {640, 360}},
      {intraRefreshClip(), {30, 300}},
      // HEVC whose sync-sample table lists I pictures that are no entry points (IRAP): the P
      // pictures after them refer across them, so a decoder started there predicts from grey.
      {withSyncSamples(
           numberedClip("hevc-forced-i.mp4", 320, 180, 25, 8,
                        "-force_key_frames expr:eq(mod(n,50),0) -c:v libx265 -x265-params "
                        "keyint=300:min-keyint=300:scenecut=0:bframes=0:ref=3:log-level=error"),
           "hevc-false-sync.mp4", {1, 52, 102, 152}),
       {25, 200}},
      {xvid, {25, 250}},
      {withoutAviIndex(xvid), {25, 250}},
      {mjpeg, {25, 150}, {320, 180}, asCoded, 2 * 12},
      {writeBeside(plain, "damaged.mp4", bytes),
       {.rate = 30, .frames = 180, .damagedFrom = 2.7, .damagedUntil = 4}},
      // Sixteen seconds at 25 fps in fragments of a second, of which the last six are kept.
      {withFragmentsFrom(numberedClip("fragments.mp4", 320, 180, 25, 16,
                                      "-c:v libx264 -preset ultrafast -g 25 -movflags "
                                      "frag_keyframe+empty_moov+default_base_moof"),
                         "late-fragments.mp4", 10),
       {25, 400, -10}},
      // Stream-copy cuts at 3.3 s, between frames: an edit 0.3 s past the copy's first keyframe
      // shows the 3.28 s frame at 0. Closed and open GOPs, HEVC, and a cut ending at 6.3 s too.
      {copied("cut-closed-gop.mp4", 8, closedGop, "-ss 3.3", ""), cut},
      {copied("cut-open-gop.mp4", 8, "-c:v libx264 -x264-params open-gop=1:keyint=50:bframes=3",
              "-ss 3.3", ""),
       cut},
      {copied("cut-hevc.mp4", 8, "-c:v libx265 -x265-params keyint=50:log-level=error", "-ss 3.3",
              ""),
       cut},
      {copied("cut-trimmed.mp4", 8, closedGop, "-ss 3.3", "-t 3"), cut},
      edited("jump.mp4", {{2, 0, 1}, {2, 5, 1}}),
      edited("repeat.mp4", {{2, 1, 1}, {2, 1, 1}}),
      edited("dwell.mp4", {{1, 0, 1}, {1, 1, 0}, {2, 1, 1}}),
      edited("empty-middle.mp4", {{1, 0, 1}, {1, -1, 1}, {2, 1, 1}}),
  };
  for (const auto& clip : clips) {
    SCOPED_TRACE(clip.video.filename());
    const Stills run = captureStills(clip.video, {"--max-frames", "12", "--max-dimension", "400"});
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.out;
    const auto [width, height] = clip.videoSize;
    EXPECT_EQ(json({run.report["videoWidth"], run.report["videoHeight"]}), json(clip.videoSize));
    const double scale = std::min(1.0, 400.0 / std::max(width, height));
    const json stillSize = {std::lround(width * scale), std::lround(height * scale)};
    ASSERT_EQ(run.report["frames"].size() + run.report["failures"].size(), 12u) << run.result.out;
    if (clip.durationSeconds > 0) {
      EXPECT_EQ(run.report["durationSeconds"], clip.durationSeconds);
    }
    for (size_t i = 0; i < run.images.size(); ++i) {
      const json& frame = run.report["frames"][i];
      SCOPED_TRACE(frame.dump());
      EXPECT_EQ(json({run.images[i].width, run.images[i].height}), stillSize);
      const auto [shown, since] = clip.timeline.shownAt(frame["requestedTimestampSeconds"]);
      EXPECT_EQ(readFrameNumber(run.images[i], clip.turn), shown);
      EXPECT_NEAR(frame["actualTimestampSeconds"], since, 1e-9);
    }
    for (const json& failure : run.report["failures"]) {
      EXPECT_EQ(clip.timeline.shownAt(failure["timestampSeconds"]).first, -1) << failure.dump();
    }
    // One decoder alone gives the same, and decodes at most one pass through the video.
    const AssetHandle asset = openAsset(clip.video);
    loadAsset(*asset);
    const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 400);
    for (const double fraction : sampleFractions(12)) {
      const double seconds = requestedTime(fraction, assetDurationSeconds(*asset));
      EXPECT_EQ(copyImageAtTime(*generator, seconds).ok(),
                clip.timeline.shownAt(seconds).first >= 0);
    }
    EXPECT_LE(decodeCounters(*generator).packetsRead, clip.timeline.frames);
    EXPECT_LE(decodeCounters(*generator).framesDecoded, clip.mostFramesDecoded);
  }
}

// HEVC in MPEG-TS cut mid-GOP: pictures before the first IRAP picture refer to pictures the file
// no longer has. Their samples fail; every still is a frame in its right place.
TEST(CaptureFailures, PicturesFromMissingReferencesAreNeverStills) {
  const fs::path whole =
      numberedClip("hevc-gops.ts", 320, 180, 25, 6,
                   "-c:v libx265 -x265-params "
                   "keyint=25:min-keyint=25:scenecut=0:repeat-headers=1:log-level=error");
  const size_t packets = fs::file_size(whole) / 188;
  const Stills run = captureStills(
      writeBeside(whole, "hevc-cut.ts", readWholeFile(whole).substr(packets / 20 * 188)),
      {"--max-frames", "12", "--max-dimension", "400"});
  ASSERT_EQ(run.result.exitStatus, 0) << run.result.out;
  ASSERT_FALSE(run.report["failures"].empty()) << run.result.out;
  EXPECT_EQ(run.report["failures"][0]["index"], 1);
  for (const json& failure : run.report["failures"]) {
    EXPECT_NE(failure["reason"].get<std::string>().find("is damaged"), std::string::npos);
  }
  const json& frames = run.report["frames"];
  ASSERT_GE(run.images.size(), 6u);
  const int first = readFrameNumber(run.images[0]);
  EXPECT_TRUE(first >= 0 && first < 150) << first;  // not a grey picture
  for (size_t i = 0; i < run.images.size(); ++i) {
    SCOPED_TRACE(frames[i].dump());
    const double sinceFirst = frames[i]["actualTimestampSeconds"].get<double>() -
                              frames[0]["actualTimestampSeconds"].get<double>();
    EXPECT_EQ(readFrameNumber(run.images[i]), first + std::lround(sinceFirst * 25));
  }
}

// 8K pictures in 4:4:4 with 10 bits are 214 MB each, and the encoder lets the decoder keep 16.
// (One encoder thread makes the clip in less than half the time.)
TEST(CaptureFailures, PicturesBeyondTheMemoryBudgetFailTheirSamples) {
  const fs::path video = fixtureVideo(
      "8k-16-references.mp4",
      "-f lavfi -i color=c=gray:s=8192x4352:r=10:d=0.8,format=yuv444p10le -c:v libx264 "
      "-preset ultrafast -refs 16 -bf 0 -threads 1");
  const Stills run = captureStills(video, {"--max-frames", "3"});
  ASSERT_FALSE(run.report["failures"].empty()) << run.result.out;
  for (const json& failure : run.report["failures"]) {
    EXPECT_EQ(failure["reason"],
              "the video's pictures need more than the 1 GiB of memory decoding may use");
  }
  EXPECT_LT(run.result.maxResidentKilobytes.value_or(0), 1'400'000);
}

}  // namespace
}  // namespace framepick::testing
