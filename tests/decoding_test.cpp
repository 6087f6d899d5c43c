// How decoders are driven: where they seek, how the samples are shared among several, and the
// memory their pictures may take.

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <tuple>

#include "extract/capture.h"
#include "extract/plan.h"
#include "media/intra_refresh.h"
#include "media/picture_budget.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;

// A seek only where it skips more than a second of decoding, whatever the order of targets; the
// non-reference frame shown at 1.55 s from 1.5 s is not dropped. MPEG-PS has no index: going back
// lands mid-GOP or past the only keyframe and still finds the frame (seeks unchecked: -1), and a
// seek that finds no keyframe costs at most one pass and what it read before giving up. MPEG-TS's
// seek by timestamp lands after the keyframe before 5.9 s: seeking 1 s, then 2 s earlier finds it.
TEST(FrameGenerator, SeeksOnlyWhereTheySaveDecoding) {
  const struct {
    fs::path video;
    int rate;
    std::vector<std::tuple<double, int, int64_t>> steps;  // seconds, frame shown, seeks made
    int64_t mostPackets = std::numeric_limits<int64_t>::max();
    bool drops = false;  // once the last target drains the decoder, fewer frames than packets
  } clips[] = {
      {bFramesClip(),
       10,
       {{1.55, 15, 0}, {1.6, 16, 0}, {1.6, 16, 0}, {4.5, 45, 1}, {0.5, 5, 2}, {5.99, 59, 3}}},
      {numberedClip("late.ts", 320, 180, 25, 8, "-c:v libx264 -preset ultrafast -g 50 -f mpegts"),
       25,
       {{5.9, 147, 3}}},
      {dvdClip(), 25, {{3.0, 75, -1}, {0.48, 12, -1}, {0.1, 2, -1}}},
      {oneKeyframeClip(), 30, {{5.0, 150, -1}, {9.0, 270, -1}}, 300 + 40},
      {bFramesClip(), 10, {{5.99, 59, 1}}, 60, true},
      {intraRefreshClip(), 30, {{1.05, 31, 0}, {4.05, 121, 0}, {9.95, 298, 0}}, 300},
  };
  for (const auto& clip : clips) {
    SCOPED_TRACE(clip.video.filename());
    const AssetHandle asset = openAsset(clip.video);
    loadAsset(*asset);
    const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 1600);
    for (const auto& [seconds, frame, seeks] : clip.steps) {
      SCOPED_TRACE(seconds);
      const Result<CapturedImage> captured = copyImageAtTime(*generator, seconds);
      ASSERT_TRUE(captured.ok()) << captured.error().message;
      EXPECT_EQ(readFrameNumber(captured.value().image), frame);
      EXPECT_DOUBLE_EQ(captured.value().actualSeconds, static_cast<double>(frame) / clip.rate);
      if (seeks >= 0) {
        EXPECT_EQ(decodeCounters(*generator).seeks, seeks);
      }
    }
    const DecodeCounters counters = decodeCounters(*generator);
    EXPECT_LE(counters.packetsRead, clip.mostPackets);
    EXPECT_TRUE(!clip.drops || counters.framesDecoded < counters.packetsRead);
  }
}

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
  EXPECT_EQ(plan({0.5, 2, 2.5}, {1, 2}), "0 in 0; 1 2 in 0.5; ");  // before the first, and on one
  EXPECT_EQ(criticalPath({4, 3, 3, 2}, 2), 6);
  const auto made = [](std::vector<double> costs) {
    std::vector<Chain> chains;
    for (const double cost : costs) chains.push_back({{}, cost});
    return chains;
  };
  EXPECT_EQ(workerCount(made({7.5, 0.5}), 2, 2), 1);  // a long GOP: one frame-threaded decoder
  EXPECT_EQ(workerCount(made({4, 4, 4, 4, 4, 4, 4}), 2, 2), 2);
  EXPECT_EQ(workerCount(made({4, 4, 4, 4, 4, 4, 4}), 16, 16), 7);
  EXPECT_EQ(workerCount(made({4, 4, 4}), 1, 2), 1);
}

// Several decoders give one decoder's stills, byte for byte: 7 samples of 8 s, keyframes 2 s apart,
// make 4 chains (2 of 2 samples), a seek each at most. AVI, timed by the probe, gets one decoder.
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
      std::ostringstream said;  // every frame reported, and its still's bytes
      for (const FrameRecord& frame : records.frames) {
        said << frame.index << " " << frame.actualTimestampSeconds << " " << frame.width << "x"
             << frame.height << " "
             << std::hash<std::string>{}(readWholeFile(output.path() / frame.fileName)) << "\n";
      }
      stills[maxWorkers > 1] = said.str();
    }
    EXPECT_EQ(stills[1], stills[0]);
  }
}

TEST(IntraRefresh, AnAccessUnitWithANonIdrSliceStartsNoPicture) {
  const std::tuple<std::vector<uint8_t>, int, bool> rows[] = {
      {{0, 0, 0, 2, 0x65, 0x88}, 4, false},                         // IDR slice
      {{0, 0, 0, 2, 0x06, 0x05, 0, 0, 0, 2, 0x41, 0x9a}, 4, true},  // SEI, then a P slice
      {{0, 2, 0x06, 0x05, 0, 2, 0x41, 0x9a}, 2, true},  // SEI, then a P slice; short lengths
      {{0, 0, 0, 2, 0x06, 0x05}, 4, false},             // no slice
      {{0, 0, 0, 9, 0x41, 0x9a}, 4, false},             // a length past the end
  };
  for (const auto& [unit, lengthBytes, nonIdr] : rows) {
    EXPECT_EQ(holdsNonIdrSlice(unit, lengthBytes), nonIdr) << unit.size();
  }
}

TEST(PictureBudget, HoldsDecodersOfEighteenPicturesEach) {
  const std::pair<int64_t, int> rows[] = {
      {1920 * 1080 * 3 / 2, 19},  // 1080p, 8 bits 4:2:0
      {3840 * 2160 * 3, 2},       // 4K, 10 bits in two bytes
      {7680 * 4320 * 3, 1},       // 8K: one decoder, whose pictures may not all fit
      {320 * 180 * 3 / 2, 64},   {0, 1},
      {AVERROR(EINVAL), 1},  // the size of a pixel format FFmpeg does not know
  };
  for (const auto& [pictureBytes, decoders] : rows) {
    EXPECT_EQ(decodersWithinBudget(pictureBytes), decoders) << pictureBytes;
  }
}

// A picture is refused before it is allocated once the pictures alive with it would pass the
// budget, the refusal is told to its decoder, and its bytes are the pool's while it lives.
TEST(PictureBudget, RefusesPicturesThatWouldPassItBeforeAllocatingThem) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_RAWVIDEO);
  const UniqueCodecContext decoder(avcodec_alloc_context3(codec));
  decoder->width = 1920;
  decoder->height = 1080;
  decoder->pix_fmt = AV_PIX_FMT_YUV420P;
  PicturePool pool;
  PictureBudget budget{&pool};
  drawPicturesFrom(budget, *decoder);
  ASSERT_EQ(avcodec_open2(decoder.get(), codec, nullptr), 0);
  constexpr int64_t kPictureBytes = 1920 * 1080 * 3 / 2;
  for (const auto& [inUse, refused] : {std::pair{kPictureBudgetBytes - 2 * kPictureBytes, false},
                                       std::pair{kPictureBudgetBytes - kPictureBytes / 2, true}}) {
    SCOPED_TRACE(inUse);
    pool.bytesInUse = inUse;
    budget.exceeded = false;
    UniqueFrame frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = 1920;
    frame->height = 1080;
    EXPECT_EQ(decoder->get_buffer2(decoder.get(), frame.get(), 0) == 0, !refused);
    EXPECT_EQ(budget.exceeded, refused);
    EXPECT_EQ(pool.bytesInUse >= inUse + kPictureBytes, !refused);
    frame.reset();
    EXPECT_EQ(pool.bytesInUse, inUse);
  }
}

}  // namespace
}  // namespace framepick::testing
