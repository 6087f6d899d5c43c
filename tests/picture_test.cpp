// Pictures laid out the awkward ways real files have them, and the memory they may take.

#include <gtest/gtest.h>

#include <utility>

#include "media/picture_budget.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

// Each interlaced frame weaves a field with a white box on the left (taken first by the source)
// and one with it on the right. The still shows the field the flags say comes first, whole:
// every line of its box white, none of the other field's box.
TEST(InterlacedFrames, StillsShowTheFirstFieldWithoutCombing) {
  for (const bool topFirst : {true, false}) {
    SCOPED_TRACE(topFirst ? "top first" : "bottom first");
    const std::string name = topFirst ? "top-first" : "bottom-first";
    const std::string arguments =
        "-f lavfi -i nullsrc=s=320x120:r=50:d=1,format=yuv420p,geq=cb=128:cr=128:lum='if("
        "between(Y,30,89)*between(X-160*mod(N,2),40,119),235,16)',tinterlace=mode=merge,setsar=1,"
        "setfield=" +
        std::string(topFirst ? "tff" : "bff") +
        " -c:v libx264 -preset ultrafast -flags +ildct+ilme";
    // FFmpeg 5.1's libx264 takes the field order from -top alone; from 7 on it takes the frames'
    // (setfield), and 9 refuses -top.
    std::filesystem::path video;
    try {
      video = fixtureVideo(name + "-top.mp4", arguments + (topFirst ? " -top 1" : " -top 0"));
    } catch (const std::runtime_error&) {
      video = fixtureVideo(name + ".mp4", arguments);
    }
    const auto stills = captureStills(video, {"--max-frames", "1"}).images;
    ASSERT_EQ(stills.size(), 1u);
    ASSERT_EQ(sizeOf(stills[0]), "320x240");
    for (int y = 70; y < 170; ++y) {  // green, in the middle of either box
      EXPECT_GT(stills[0].rgb[(y * 320 + (topFirst ? 80 : 240)) * 3 + 1], 200) << y;
      EXPECT_LT(stills[0].rgb[(y * 320 + (topFirst ? 240 : 80)) * 3 + 1], 55) << y;
    }
  }
}

// One second of 640x360 and then one of 320x240 in the same stream: each still has its own
// frame's size, with the picture where it belongs.
TEST(SizeChanges, EachStillHasItsOwnFramesSize) {
  const auto part = [](int width, int height, const char* start) {
    return numberedClip("size-" + std::to_string(width) + ".ts", width, height, 30, 1,
                        std::string("-vf setsar=1 -c:v libx264 -preset ultrafast -bf 0 "
                                    "-output_ts_offset ") +
                            start)
        .string();
  };
  const std::string parts = "concat:" + part(640, 360, "0") + "|" + part(320, 240, "1");
  const auto stills = captureStills(fixtureVideo("size-change.ts", "-i " + parts + " -c copy"),
                                    {"--max-frames", "4"})
                          .images;
  ASSERT_EQ(stills.size(), 4u);
  // Samples at 0.24, 0.75, 1.25 and 1.76 s; the second part numbers its frames from 0 again.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(sizeOf(stills[i]), i < 2 ? "640x360" : "320x240");
    EXPECT_EQ(readFrameNumber(stills[i]), i % 2 ? 22 : 7) << i;
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
