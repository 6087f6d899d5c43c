// A run's options, probe, sample times and report, and the runs that fail before sampling.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <iomanip>
#include <limits>
#include <sstream>
#include <tuple>

#include "cli/options.h"
#include "extract/plan.h"
#include "extract/probe.h"
#include "media/asset.h"
#include "response/json.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Arguments = std::vector<std::string>;

// The last two are ARABIC-INDIC DIGIT FIVE and FULLWIDTH DIGIT FIVE.
TEST(ParseDecimalInteger, RefusesAllButASignAndAsciiDigitsInRange) {
  for (const std::string text : {"9223372036854775808", "-9223372036854775809", "5.0", " 5", "5 ",
                                 "0x10", "+", "-", "+-5", "", "\xD9\xA5", "\xEF\xBC\x95"}) {
    EXPECT_EQ(parseDecimalInteger(text), std::nullopt) << text;
  }
  EXPECT_EQ(parseDecimalInteger(std::string("5\0", 2)), std::nullopt);
}

// The first exact match wins (the program path takes part in the search), and its value may look
// like an option; integers fall back to their defaults and are clamped.
TEST(ReadOptions, TakesTheFirstMatchAndClampsIntegers) {
  const std::tuple<Arguments, std::string, std::string, int64_t, int64_t> cases[] = {
      {{"fp"}, "", "", 7, 1600},
      {{"fp", "--input", "a", "--input", "b", "--output-dir", "--input"}, "a", "--input", 7, 1600},
      {{"--input", "--output-dir", "d"}, "--output-dir", "d", 7, 1600},
      {{"fp", "--INPUT", "a", "--input=b", "--input"}, "", "", 7, 1600},
      {{"fp", "--max-frames", "+05", "--max-dimension", "0800"}, "", "", 5, 800},
      {{"fp", "--max-frames", "-0", "--max-dimension", "319"}, "", "", 1, 320},
      {{"fp", "--max-frames", "13", "--max-dimension", "2401"}, "", "", 12, 2400},
      {{"fp", "--max-frames", "9223372036854775807", "--max-dimension", "1e3"}, "", "", 12, 1600},
      {{"fp", "--max-frames", "-9223372036854775808", "--max-dimension"}, "", "", 1, 1600},
      {{"fp", "--max-frames", "99999999999999999999"}, "", "", 7, 1600},
  };
  for (const auto& [arguments, input, output, maxFrames, maximumDimension] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const Options o = readOptions(arguments);
    EXPECT_EQ(std::tuple(o.inputPath, o.outputDir, o.maxFrames, o.maximumDimension),
              std::tuple(input, output, maxFrames, maximumDimension));
  }
}

// Durations are the file's own, exactly: 25 frames at 24 fps last 625/600 s, no whole microseconds.
TEST(ProbeVideo, ReadsDurationAndDisplaySizeOrNamesWhatIsMissing) {
  const std::string small = "-f lavfi -i testsrc2=s=320x240:r=25:d=1";
  const std::string landscape = fixtureVideo("probe-landscape.mp4", small);
  const std::string frames25 = "-f lavfi -i testsrc2=s=160x90:r=24 -frames:v 25 -c:v libx264 ";
  // Lists naming other media: the demuxer may open nothing but the file it is given, here
  // without the kernel's help, as the test process is not confined.
  const ScratchDirectory lists;
  const fs::path elsewhere = fixtureVideo("probe-elsewhere.ts", small);
  fs::copy_file(elsewhere, lists.path() / "beside.ts");
  std::ofstream(lists.path() / "playlist.bin") << "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n"
                                               << elsewhere.string() << "\n";
  std::ofstream(lists.path() / "list.ffconcat") << "ffconcat version 1.0\nfile 'beside.ts'\n";
  // Past the decoding cap the container's stated size stands and every capture fails.
  const fs::path huge = fixtureVideo("huge-9000x4100.mkv",
                                     "-f lavfi -i color=s=9000x4100:r=5:d=0.4 -c:v mjpeg -q:v 31");
  const std::string cap =
      "; the video's pictures of 9000x4100 pixels are larger than the 8192x4352 decoding allows";
  // The probe's error, or duration to `digits` digits, size, and why no middle frame can be had.
  const struct {
    fs::path video;
    std::string probed;
    int digits = 17;
  } cases[] = {
      {withDisplayMatrix(landscape, "turned-90.mp4", 0, -1, 1, 0), "1 s, 240x320"},
      {withDisplayMatrix(landscape, "turned-180.mp4", -1, 0, 0, -1), "1 s, 320x240"},
      {fixtureVideo("two-tracks.mkv", small + " -f lavfi -i testsrc2=s=640x480:d=1 -map 0 -map 1"),
       "1 s, 320x240"},  // the first video track counts
      {fixtureVideo("exact.mov", frames25 + "-video_track_timescale 600 -movie_timescale 600"),
       "1.0416666666666667 s, 160x90"},
      {fixtureVideo("exact.ts", frames25 + "-f mpegts"), "1.0416666666666667 s, 160x90"},
      // The movie header's milliseconds: 1042 ms in FFmpeg 5.1, the track's 12800/12288 s in 7, 9.
      {fixtureVideo("milliseconds.mp4", frames25), "1.042 s, 160x90", 4},
      // A fragmented MP4 joined late: fragments from 10 s to 16 s of decode time.
      {withFragmentsFrom(fixtureVideo("probe-fragments.mp4",
                                      "-f lavfi -i testsrc2=s=320x240:r=25:d=16 -g 25 -movflags "
                                      "frag_keyframe+empty_moov+default_base_moof"),
                         "probe-late-fragments.mp4", 10),
       "6 s, 320x240", 9},
      // Raw MPEG-1 states no duration and FFmpeg guesses 0.02 s from its bit rate: packets tell.
      {fixtureVideo("bit-rate-guess.m1v", small + " -c:v mpeg1video"), "1 s, 320x240"},
      {fixtureVideo("cover.mp3",
                    "-f lavfi -i sine=d=2 -f lavfi -i color=s=64x64:d=1 -map 0 -map 1 "
                    "-frames:v 1 -c:v mjpeg -disposition:v attached_pic"),
       "video_track_unavailable"},  // cover art is a picture, not a video track
      // A raw stream has neither a stated duration nor timestamps to measure one from.
      {fixtureVideo("raw.h264", small), "duration_unavailable"},
      {lists.path() / "playlist.bin", "duration_unavailable"},
      {lists.path() / "list.ffconcat", "duration_unavailable"},
      {huge, "0.4 s, 9000x4100" + cap, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.video);
    const AssetHandle asset = openAsset(c.video);
    loadAsset(*asset);
    const Result<VideoProbe> probe = probeVideo(*asset);
    std::ostringstream probed;
    if (probe.ok()) {
      const VideoProbe& video = probe.value();
      probed << std::setprecision(c.digits) << video.durationSeconds << " s, " << video.videoWidth
             << "x" << video.videoHeight;
      const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 320);
      const Result<CapturedImage> middle = copyImageAtTime(*generator, video.durationSeconds / 2);
      if (!middle.ok()) probed << "; " << middle.error().message;
    }
    EXPECT_EQ(probe.ok() ? probed.str() : probe.error().message, c.probed);
  }
}

// An edit list of one edit at rate 1; a media time of -1 makes it empty.
std::string editList(bool wide, int64_t mediaTime) {
  const auto field = [wide](int64_t value) {
    return (wide ? bigEndian32(static_cast<uint32_t>(value >> 32)) : "") +
           bigEndian32(static_cast<uint32_t>(value));
  };
  return mp4Box("edts", mp4Box("elst", bigEndian32(wide << 24) + bigEndian32(1) + field(4096) +
                                           field(mediaTime) + bigEndian32(1 << 16)));
}

// Only an empty first edit in some track moves time zero to the movie's start; boxes that claim
// more than their parent holds end the search.
TEST(EditList, LeadingEmptyEditIsFoundInAnyTrack) {
  const std::string header = mp4Box("tkhd", std::string(84, '\0'));
  const std::string delayed = mp4Box("trak", header + editList(false, -1));
  const auto size = [&delayed](size_t more) {
    return bigEndian32(uint32_t(delayed.size() + more));
  };
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"version 0", mp4Box("ftyp", "isom") + mp4Box("moov", delayed), true},
      {"version 1", mp4Box("moov", mp4Box("trak", header + editList(true, -1))), true},
      {"a starting offset", mp4Box("moov", mp4Box("trak", header + editList(false, 1024))), false},
      {"the second track", mp4Box("moov", mp4Box("trak", header) + delayed), true},
      {"no edit list", mp4Box("moov", mp4Box("trak", header)), false},
      {"a 64-bit size", bigEndian32(1) + "moov" + bigEndian32(0) + size(16) + delayed, true},
      {"a box longer than the file", size(9) + "moov" + delayed, false},
  };
  for (const auto& [name, file, found] : cases) {
    SCOPED_TRACE(name);
    const ReadAt readAt = [&file](int64_t offset, unsigned char* bytes, int count) {
      if (offset < 0 || offset + count > static_cast<int64_t>(file.size())) return false;
      std::memcpy(bytes, file.data() + offset, static_cast<size_t>(count));
      return true;
    };
    EXPECT_EQ(hasLeadingEmptyEdit(static_cast<int64_t>(file.size()), readAt), found);
  }
}

// Every value below is the exact double that the report prints, so compare bit for bit.
TEST(RequestedTime, WorkedExamples) {
  const std::tuple<double, int64_t, std::vector<double>> cases[] = {
      {10.0, 4, {1.2, 3.7333333333333334, 6.2666666666666675, 8.8}},
      {60.0, 2, {7.199999999999999, 52.8}},
      {10.0, 1, {5.0}},
      {1.0,
       12,
       {0.12, 0.1890909090909091, 0.2581818181818182, 0.32727272727272727, 0.39636363636363636,
        0.46545454545454545, 0.5345454545454547, 0.6036363636363636, 0.6727272727272727,
        0.7418181818181818, 0.8109090909090909, 0.8799999999999999}},
      {0.05, 3, {0.02, 0.025, 0.030000000000000002}},
      // Below 0.04 s the start limit wins, even past the end of the video.
      {0.01, 3, {0.02, 0.02, 0.02}},
  };
  for (const auto& [durationSeconds, count, expected] : cases) {
    std::vector<double> times;
    for (double fraction : sampleFractions(count)) {
      times.push_back(requestedTime(fraction, durationSeconds));
    }
    EXPECT_EQ(times, expected) << durationSeconds << " s, " << count;
  }
}

ExtractorResponse report(double seconds, double failureTime, double frameTime = 1.2,
                         const std::string& name = "clip.mov") {
  ExtractorResponse response{true, kDecoderName, name, seconds, 640, 360, 2, {}, {}, {}};
  response.frames = {{1, 1.2, frameTime, 640, 360, "frame-001.jpg"}};
  response.failures = {{2, failureTime, "jpeg_encode_failed"}};
  return response;
}

// Failure records are checked against the schema in every run that has them.
TEST(ResponseDocument, MatchesGoldenTextWithSortedKeysAndOneLineFeed) {
  ExtractorResponse withoutFailures = report(10, 1, 1.1666666666666667);
  withoutFailures.failures.clear();
  EXPECT_EQ(responseDocument(withoutFailures), R"({
  "decoder": "AVFoundation",
  "durationSeconds": 10.0,
  "failures": [],
  "frames": [
    {
      "actualTimestampSeconds": 1.1666666666666667,
      "fileName": "frame-001.jpg",
      "height": 360,
      "index": 1,
      "requestedTimestampSeconds": 1.2,
      "width": 640
    }
  ],
  "inputFileName": "clip.mov",
  "maxFrames": 2,
  "ok": true,
  "videoHeight": 360,
  "videoWidth": 640
}
)");
}

TEST(ResponseDocument, NonFiniteTimesGiveExactlyTheFallback) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const ExtractorResponse& value : {report(nan, 1), report(1, inf), report(1, 1, -inf)}) {
    EXPECT_EQ(responseDocument(value),
              R"({"ok":false,"decoder":"AVFoundation","error":"json_encode_failed"})"
              "\n");
  }
}

TEST(ResponseDocument, TextRoundTripsAndBadUtf8BecomesReplacementCharacter) {
  const std::string name = "\"hi\" \\ \n\t\x01\x7f caf\xC3\xA9 a\xFF.mov cut\xE2\x82";
  EXPECT_EQ(json::parse(responseDocument(report(1, 1, 1, name)))["inputFileName"],
            "\"hi\" \\ \n\t\x01\x7f caf\xC3\xA9 a\xEF\xBF\xBD.mov cut\xEF\xBF\xBD");
}

// A failure document with only what was learnt so far, stdout holding nothing else, and nothing
// made but an empty output directory.
TEST(Run, FailuresBeforeSamplingLeaveNoFrames) {
  ScratchDirectory work;
  std::ofstream(work.path() / "empty.mov");
  std::ofstream(work.path() / "blocker") << "keep me";
  fs::create_directory(work.path() / "folder.mov");
  fs::create_symlink(work.path() / "nowhere", work.path() / "dangling.mov");
  // Nobody writes to this FIFO: opening it for reading would block forever.
  ASSERT_EQ(mkfifo((work.path() / "pipe.mov").c_str(), 0600), 0);

  const std::string tone = fixtureVideo("tone.m4a", "-f lavfi -i sine=d=1 -c:a aac").string();
  const std::string usage(kUsageLine), in = "--input", out = "--output-dir";
  const std::string notDirectory = "output_directory_unavailable: Not a directory";
  const std::tuple<Arguments, std::string, std::string> cases[] = {
      {{}, "", usage},
      {{in, "clips/a.mov/", "--max-frames", "3"}, "a.mov", usage},
      {{in, "a.mov", out, ""}, "a.mov", usage},
      {{"--input=a.mov", out, "out"}, "", usage},
      {{in, "absent.mov", out, "out"}, "absent.mov", "input_missing"},
      {{in, "dangling.mov", out, "out"}, "dangling.mov", "input_missing"},
      {{in, "empty.mov", out, "blocker"}, "empty.mov", notDirectory},
      {{in, "empty.mov", out, "blocker/a/b"}, "empty.mov", notDirectory},
      {{in, "empty.mov", out, "out"}, "empty.mov", "duration_unavailable"},
      {{in, "folder.mov", out, "out"}, "folder.mov", "duration_unavailable"},
      {{in, "pipe.mov", out, "out"}, "pipe.mov", "duration_unavailable"},
      {{in, tone, out, "out"}, "tone.m4a", "video_track_unavailable"},
  };
  json expected = json::parse(R"({"ok": false, "decoder": "AVFoundation", "durationSeconds": 0,
      "videoWidth": 0, "videoHeight": 0, "maxFrames": 0, "frames": [], "failures": []})");
  for (const auto& [arguments, inputFileName, error] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ProcessResult result = runFramepick(arguments, work.path());
    EXPECT_EQ(result.exitStatus, 1);
    expected["inputFileName"] = inputFileName;
    expected["error"] = error;
    EXPECT_EQ(json::parse(result.out), expected);
    // Only probing fails after the output directory is made.
    std::error_code notEmpty;
    EXPECT_EQ(fs::remove(work.path() / "out", notEmpty),
              error == "duration_unavailable" || error == "video_track_unavailable")
        << notEmpty.message();
  }
  EXPECT_EQ(fs::file_size(work.path() / "blocker"), 7u);
}

}  // namespace
}  // namespace framepick::testing
