// End-to-end captures on videos made at test time whose frames carry their own number.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

#include "extract/plan.h"
#include "media/media.h"
#include "support/fixtures.h"
#include "support/process.h"

namespace framepick::testing {
namespace {

// Frames within this many seconds of the requested time may serve it.
constexpr double kToleranceSeconds = 0.04;

namespace fs = std::filesystem;
using nlohmann::json;

// A clip of numbered frames; the encoder's arguments are split at spaces.
fs::path numbered(const std::string& name, int width, int height, int rate, double seconds,
                  const std::string& encoder) {
  return fixtureVideo(
      name, "-f lavfi -i " + numberedFramesSource(width, height, rate, seconds) + " " + encoder);
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

// MPEG-PS, without an index: a DVD's short open GOPs, and one keyframe for the whole stream.
fs::path dvdClip() { return numbered("dvd.mpg", 720, 576, 25, 4, "-target pal-dvd"); }
fs::path oneKeyframeClip() {
  return numbered("one-keyframe.mpg", 640, 360, 30, 10, "-c:v mpeg2video -g 300 -bf 2");
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

// Sixteen seconds at 25 fps in fragments of a second, of which the last six are kept.
fs::path lateFragments() {
  return withFragmentsFrom(numbered("fragments.mp4", 320, 180, 25, 16,
                                    "-c:v libx264 -preset ultrafast -g 25 -movflags "
                                    "frag_keyframe+empty_moov+default_base_moof"),
                           "late-fragments.mp4", 10);
}

// The duration is the one the file states in its own time base, and the requested times are
// taken from it unrounded: 25 frames at 24 fps last 625/600 s, which no count of microseconds is.
TEST(Capture, DurationIsTheFilesOwn) {
  const std::vector<std::string> clip = {"-f",        "lavfi",    "-i",   "testsrc2=s=160x90:r=24",
                                         "-frames:v", "25",       "-c:v", "libx264",
                                         "-preset",   "ultrafast"};
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
      // Joined late: a stream's last fragment ends at 16 s of decode time, its first starts at 10.
      {lateFragments(), 6.0, 1e-9},
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

// Where a clip's numbered frames sit on the presentation's clock.
struct Timeline {
  int rate;
  int frames;
  double startSeconds = 0;  // of the first frame
  int heldFrame = -1;       // stays on screen pauseSeconds longer than the others
  double pauseSeconds = 0;

  double secondsOf(int frame) const {
    return startSeconds + static_cast<double>(frame) / rate +
           (heldFrame >= 0 && frame > heldFrame ? pauseSeconds : 0);
  }
  // The first frame serves from the tolerance before it; -1 before that.
  int frameAt(double seconds) const {
    if (secondsOf(0) > seconds + kToleranceSeconds) return -1;
    int shown = 0;
    while (shown + 1 < frames && secondsOf(shown + 1) <= seconds + 1e-6) ++shown;
    return shown;
  }
};

// A clip in which frame 47 stays on screen 3 s longer; x264's B-frames without a pyramid make it
// a non-reference frame.
fs::path pausedClip(const std::string& name) {
  return numbered(name, 320, 180, 25, 6,
                  "-vf settb=1/1000,setpts='round((N+75*gte(N\\,48))*40)' -fps_mode passthrough "
                  "-c:v libx264 -g 50 -x264-params b-adapt=0:bframes=3:b-pyramid=0");
}

// Every still is the frame on screen at its requested time, its record says so, and the JPEG has
// the recorded size and orientation. Where no frame is on screen the sample fails, and no run
// decodes more packets than the video has.
TEST(Capture, StillsAreTheFramesOnScreen) {
  // The way phones store portrait video: landscape pictures and a display matrix that turns them
  // a quarter clockwise.
  const fs::path phone = withDisplayMatrix(plainClip(), "phone.mp4", 0, 1, -1, 0);
  const fs::path mirror = withDisplayMatrix(plainClip(), "mirrored.mp4", -1, 0, 0, 1);
  // The last frame in decode order (a B-frame) lasts 3.04 s, to the track's end at 7 s.
  const fs::path longLast = fixtureVideo(
      "long-last.mp4",
      {"-i",
       numbered("long-last-source.mp4", 320, 180, 25, 4,
                "-c:v libx264 -x264-params b-adapt=0:bframes=3 -use_editlist 0"),
       "-c", "copy", "-bsf:v", "setts=pts=PTS:dts=DTS:duration=if(eq(N\\,99)\\,38912\\,DURATION)",
       "-use_editlist", "0"});
  // An empty edit of 2 s before the video.
  const fs::path delayed = fixtureVideo(
      "empty-edit.mp4",
      {"-itsoffset", "2", "-i",
       numbered("undelayed.mp4", 320, 180, 25, 4, "-c:v libx264 -preset ultrafast -g 25"), "-c",
       "copy"});
  const fs::path vp9 =
      numbered("vp9.webm", 320, 180, 25, 2, "-c:v libvpx-vp9 -deadline realtime -cpu-used 8");
  const fs::path anamorphic =
      numbered("anamorphic.mp4", 360, 288, 25, 2, "-vf setsar=64/45 -c:v libx264");
  // MPEG-TS starts its clock at 1.4 s.
  const fs::path offset =
      numbered("offset.ts", 320, 180, 30, 3, "-c:v libx264 -preset ultrafast -bf 2 -f mpegts");
  // AVI stores no presentation times, and the decoder holds B-frames back two frames.
  const fs::path avi = numbered("b-frames.avi", 320, 180, 25, 4,
                                "-c:v libx264 -g 50 -x264-params b-adapt=0:bframes=3 "
                                "-bsf:v h264_mp4toannexb");
  // Intra refresh: the keyframes after the first are where a picture starts to build up.
  const fs::path intraRefresh =
      numbered("intra-refresh.mp4", 320, 180, 30, 10,
               "-c:v libx264 -x264-params intra-refresh=1:keyint=60:bframes=0");
  // HEVC whose sync-sample table lists I pictures that are no entry points (IRAP): the P pictures
  // after them refer across them, so a decoder started there predicts from grey stand-ins.
  const fs::path falseSyncSamples = withSyncSamples(
      numbered("hevc-forced-i.mp4", 320, 180, 25, 8,
               "-force_key_frames expr:eq(mod(n,50),0) -c:v libx265 -x265-params "
               "keyint=300:min-keyint=300:scenecut=0:bframes=0:ref=3:log-level=error"),
      "hevc-false-sync.mp4", {1, 52, 102, 152});
  // Xvid packs a B-frame into the chunk of the P-frame after it and leaves empty chunks where it
  // held frames back; the same without its index, read chunk by chunk.
  const fs::path xvid = numbered("xvid.avi", 320, 180, 25, 10, "-c:v libxvid -bf 1 -g 50");
  std::string unindexed = readWholeFile(xvid);
  unindexed.replace(unindexed.rfind("idx1"), 4, "JUNK");
  std::ofstream(xvid.parent_path() / "xvid-unindexed.avi", std::ios::binary) << unindexed;
  // Stream-copy cuts at 3.3 s, between two frames: one edit whose media time is 0.3 s past the
  // keyframe the copy starts at, so time 0 shows the frame of 3.28 s. Closed and open GOPs,
  // HEVC, and a cut that ends at 6.3 s too.
  const auto cutAt3_3 = [](const std::string& name, const std::string& encoder,
                           std::vector<std::string> end) {
    std::vector<std::string> arguments = {
        "-ss", "3.3", "-i", numbered("uncut-" + name, 320, 180, 25, 8, encoder).string(),
        "-c",  "copy"};
    arguments.insert(arguments.end(), end.begin(), end.end());
    return fixtureVideo("cut-" + name, arguments);
  };
  const std::string closedGop = "-c:v libx264 -preset ultrafast -bf 3 -g 50";
  const fs::path cuts[] = {
      cutAt3_3("closed-gop.mp4", closedGop, {}),
      cutAt3_3("open-gop.mp4", "-c:v libx264 -x264-params open-gop=1:keyint=50:bframes=3", {}),
      cutAt3_3("hevc.mp4", "-c:v libx265 -x265-params keyint=50:log-level=error", {}),
      cutAt3_3("trimmed.mp4", closedGop, {"-t", "3"}),
  };
  using Sides = std::array<int64_t, 2>;  // width and height
  const Sides small{320, 180};
  const struct {
    fs::path video;
    Timeline timeline;
    Sides videoSize, stillSize;
    std::pair<double, double> (*turn)(double, double);
  } clips[] = {
      {bFramesClip(), {10, 60}, {640, 360}, {400, 225}, asCoded},
      {phone, {30, 180}, {180, 320}, {180, 320}, turnedClockwise},
      {mirror, {30, 180}, small, small, mirrored},
      {vp9, {25, 50}, small, small, asCoded},
      {anamorphic, {25, 50}, {512, 288}, {400, 225}, asCoded},
      {offset, {30, 90}, small, small, asCoded},
      {pausedClip("paused.mp4"), {25, 150, 0, 47, 3}, small, small, asCoded},
      {pausedClip("paused.mkv"), {25, 150, 0, 47, 3}, small, small, asCoded},
      {pausedClip("paused.ts"), {25, 150, 0, 47, 3}, small, small, asCoded},
      {longLast, {25, 100}, small, small, asCoded},
      {delayed, {25, 100, 2}, small, small, asCoded},
      {avi, {25, 100}, small, small, asCoded},
      {dvdClip(), {25, 100}, {1024, 576}, {400, 225}, asCoded},
      {oneKeyframeClip(), {30, 300}, {640, 360}, {400, 225}, asCoded},
      {intraRefresh, {30, 300}, small, small, asCoded},
      {falseSyncSamples, {25, 200}, small, small, asCoded},
      {xvid, {25, 250}, small, small, asCoded},
      {lateFragments(), {25, 400, -10}, small, small, asCoded},
      {cuts[0], {25, 200, -3.3}, small, small, asCoded},
      {cuts[1], {25, 200, -3.3}, small, small, asCoded},
      {cuts[2], {25, 200, -3.3}, small, small, asCoded},
      {cuts[3], {25, 200, -3.3}, small, small, asCoded},
      {xvid.parent_path() / "xvid-unindexed.avi", {25, 250}, small, small, asCoded},
  };
  for (const auto& clip : clips) {
    SCOPED_TRACE(clip.video.filename());
    ScratchDirectory output;
    const Outcome run = capture(clip.video, output.path(), 12);
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.out;
    EXPECT_EQ(json({run.report["videoWidth"], run.report["videoHeight"]}), json(clip.videoSize));
    ASSERT_EQ(run.report["frames"].size() + run.report["failures"].size(), 12u) << run.result.out;
    for (const json& frame : run.report["frames"]) {
      SCOPED_TRACE(frame.dump());
      const DecodedImage still = decodeJpegFile(output.path() / frame["fileName"]);
      EXPECT_EQ(json({still.width, still.height}), json({frame["width"], frame["height"]}));
      EXPECT_EQ(json({still.width, still.height}), json(clip.stillSize));
      const int shown = frameNumberOf(still, clip.turn);
      EXPECT_EQ(shown, clip.timeline.frameAt(frame["requestedTimestampSeconds"]));
      EXPECT_NEAR(frame["actualTimestampSeconds"], clip.timeline.secondsOf(shown), 1e-9);
    }
    for (const json& failure : run.report["failures"]) {
      SCOPED_TRACE(failure.dump());
      EXPECT_EQ(clip.timeline.frameAt(failure["timestampSeconds"]), -1);
    }

    const AssetHandle asset = openAsset(clip.video);
    loadAsset(*asset);
    const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 400);
    for (const double fraction : sampleFractions(12)) {
      const double seconds = requestedTime(fraction, assetDurationSeconds(*asset));
      EXPECT_EQ(copyImageAtTime(*generator, seconds).ok(), clip.timeline.frameAt(seconds) >= 0);
    }
    EXPECT_LE(decodeCounters(*generator).packetsRead, clip.timeline.frames);
  }
}

// Edit lists as ISO 14496-12 reads them, on a clip with B-frames: at presentation time t, an
// edit from `start` shows the frame on screen at media time M + (t - start) * rate, from the
// time the edit reaches it; an empty edit shows nothing.
TEST(Capture, EditListsPlayAsTheStandardDefinesThem) {
  const fs::path source =
      numbered("edited-source.mp4", 320, 180, 25, 8, "-c:v libx264 -preset ultrafast -bf 3 -g 50");
  const struct {
    const char* name;
    std::vector<EditEntry> edits;
  } lists[] = {
      {"jump.mp4", {{2, 0, 1}, {2, 5, 1}}},
      {"repeat.mp4", {{2, 1, 1}, {2, 1, 1}}},
      {"dwell.mp4", {{1, 0, 1}, {1, 1, 0}, {2, 1, 1}}},
      {"empty-middle.mp4", {{1, 0, 1}, {1, -1, 1}, {2, 1, 1}}},
  };
  for (const auto& list : lists) {
    SCOPED_TRACE(list.name);
    ScratchDirectory output;
    const Outcome run = capture(withEditList(source, list.name, list.edits), output.path(), 12);
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.out;
    EXPECT_EQ(run.report["durationSeconds"], 4.0);
    const auto editAt = [&list](double seconds) {
      double start = 0;
      for (const EditEntry& edit : list.edits) {
        if (seconds < start + edit.durationSeconds) return std::pair{start, edit};
        start += edit.durationSeconds;
      }
      return std::pair{start - list.edits.back().durationSeconds, list.edits.back()};
    };
    for (const json& frame : run.report["frames"]) {
      SCOPED_TRACE(frame.dump());
      const double requested = frame["requestedTimestampSeconds"];
      const auto [start, edit] = editAt(requested);
      const int shown = static_cast<int>(
          std::floor((edit.mediaSeconds + (requested - start) * edit.rate) * 25 + 1e-6));
      EXPECT_EQ(frameNumberOf(decodeJpegFile(output.path() / frame["fileName"]), asCoded), shown);
      const double since = edit.rate == 0 ? 0 : std::max(0.0, shown / 25.0 - edit.mediaSeconds);
      EXPECT_NEAR(frame["actualTimestampSeconds"], start + since, 1e-9);
    }
    for (const json& failure : run.report["failures"]) {
      EXPECT_LT(editAt(failure["timestampSeconds"]).second.mediaSeconds, 0) << failure.dump();
    }
  }
}

// A seek only when it skips more than a second of decoding, in any order of targets; the
// non-reference frame on screen at 1.55 s, started 0.05 s before it, is not dropped. MPEG-PS
// has no index: going back lands in the middle of a GOP, or past the only keyframe, and still
// finds the frame (seek counts unchecked: -1); a seek that finds no keyframe costs no more than
// one pass and the packets it read before giving up. MPEG-TS's search by timestamp lands after
// the keyframe before 5.9 s: seeking 1 s, then 2 s earlier finds it.
TEST(FrameGenerator, SeeksOnlyWhereTheySaveDecoding) {
  struct Step {
    double seconds;
    int frame;
    int64_t seeks;
  };
  const struct {
    fs::path video;
    int rate;
    std::vector<Step> steps;
    int64_t mostPackets = std::numeric_limits<int64_t>::max();
  } clips[] = {
      {bFramesClip(),
       10,
       {{1.55, 15, 0}, {1.6, 16, 0}, {1.6, 16, 0}, {4.5, 45, 1}, {0.5, 5, 2}, {5.99, 59, 3}}},
      {numbered("late.ts", 320, 180, 25, 8, "-c:v libx264 -preset ultrafast -g 50 -f mpegts"),
       25,
       {{5.9, 147, 3}}},
      {dvdClip(), 25, {{3.0, 75, -1}, {0.48, 12, -1}, {0.1, 2, -1}}},
      {oneKeyframeClip(), 30, {{5.0, 150, -1}, {9.0, 270, -1}}, 300 + 40},
  };
  for (const auto& clip : clips) {
    SCOPED_TRACE(clip.video.filename());
    const AssetHandle asset = openAsset(clip.video);
    loadAsset(*asset);
    const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 1600);
    for (const Step& step : clip.steps) {
      SCOPED_TRACE(step.seconds);
      const Result<CapturedImage> captured = copyImageAtTime(*generator, step.seconds);
      ASSERT_TRUE(captured.ok()) << captured.error().message;
      const Image& image = captured.value().image;
      const DecodedImage still{static_cast<int>(image.width), static_cast<int>(image.height),
                               image.rgb};
      EXPECT_EQ(frameNumberOf(still, asCoded), step.frame);
      EXPECT_DOUBLE_EQ(captured.value().actualSeconds, static_cast<double>(step.frame) / clip.rate);
      if (step.seeks >= 0) {
        EXPECT_EQ(decodeCounters(*generator).seeks, step.seeks);
      }
    }
    EXPECT_LE(decodeCounters(*generator).packetsRead, clip.mostPackets);
  }
  // The last target drains the decoder, so each packet it did not decode was a frame dropped.
  const AssetHandle asset = openAsset(bFramesClip());
  loadAsset(*asset);
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 1600);
  ASSERT_TRUE(copyImageAtTime(*generator, 5.99).ok());
  const DecodeCounters counters = decodeCounters(*generator);
  EXPECT_LT(counters.framesDecoded, counters.packetsRead);
}

// HEVC in MPEG-TS cut in the middle of a GOP: the pictures before the first IRAP picture are
// predicted from references the file no longer has. Their samples fail; every still is a frame
// in its right place.
TEST(CaptureFailures, PicturesFromMissingReferencesAreNeverStills) {
  const fs::path whole =
      numbered("hevc-gops.ts", 320, 180, 25, 6,
               "-c:v libx265 -x265-params "
               "keyint=25:min-keyint=25:scenecut=0:repeat-headers=1:log-level=error");
  const size_t packets = fs::file_size(whole) / 188;
  const fs::path cut = withoutStart(whole, "hevc-cut.ts", packets / 20 * 188);
  ScratchDirectory output;
  const Outcome run = capture(cut, output.path(), 12);
  ASSERT_EQ(run.result.exitStatus, 0) << run.result.out;
  ASSERT_FALSE(run.report["failures"].empty()) << run.result.out;
  EXPECT_EQ(run.report["failures"][0]["index"], 1);
  for (const json& failure : run.report["failures"]) {
    EXPECT_NE(failure["reason"].get<std::string>().find("is damaged"), std::string::npos);
  }
  const json& frames = run.report["frames"];
  ASSERT_GE(frames.size(), 6u);
  const int first = frameNumberOf(decodeJpegFile(output.path() / frames[0]["fileName"]), asCoded);
  EXPECT_TRUE(first >= 0 && first < 150) << first;  // not a grey picture
  for (const json& frame : frames) {
    SCOPED_TRACE(frame.dump());
    const int shown = frameNumberOf(decodeJpegFile(output.path() / frame["fileName"]), asCoded);
    const double sinceFirst = frame["actualTimestampSeconds"].get<double>() -
                              frames[0]["actualTimestampSeconds"].get<double>();
    EXPECT_EQ(shown, first + std::lround(sinceFirst * 25));
  }
}

// Frames that need no other frame are decoded only where a sample shows them: an MJPEG AVI
// without its index, read chunk by chunk, decodes two frames per sample: the one shown and the
// next, which ends its time on screen.
TEST(FrameGenerator, DecodesOnlyTheFramesShownOfIntraOnlyVideo) {
  std::string bytes = readWholeFile(numbered("mjpeg.avi", 320, 180, 25, 6, "-c:v mjpeg"));
  bytes.replace(bytes.rfind("idx1"), 4, "JUNK");
  ScratchDirectory directory;
  std::ofstream(directory.path() / "unindexed.avi", std::ios::binary) << bytes;
  const AssetHandle asset = openAsset(directory.path() / "unindexed.avi");
  loadAsset(*asset);
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 400);
  for (const double fraction : sampleFractions(12)) {
    const double seconds = requestedTime(fraction, assetDurationSeconds(*asset));
    const Result<CapturedImage> captured = copyImageAtTime(*generator, seconds);
    ASSERT_TRUE(captured.ok()) << captured.error().message;
    const Image& image = captured.value().image;
    const DecodedImage still{static_cast<int>(image.width), static_cast<int>(image.height),
                             image.rgb};
    EXPECT_EQ(frameNumberOf(still, asCoded), static_cast<int>(std::floor(seconds * 25 + 1e-6)));
  }
  EXPECT_LE(decodeCounters(*generator).framesDecoded, 2 * 12);
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
      "-f lavfi -i color=c=gray:s=8192x4352:r=10:d=0.8,format=yuv444p10le -c:v libx264 "
      "-preset ultrafast -refs 16 -bf 0 -threads 1");
  ScratchDirectory output;
  const Outcome run = capture(video, output.path(), 3);
  ASSERT_FALSE(run.report["failures"].empty()) << run.result.out;
  for (const json& failure : run.report["failures"]) {
    EXPECT_EQ(failure["reason"],
              "the video's pictures need more than the 1 GiB of memory decoding may use");
  }
  if (run.result.maxResidentKilobytes) {
    EXPECT_LT(*run.result.maxResidentKilobytes, 1'400'000);
  }
}

}  // namespace
}  // namespace framepick::testing
