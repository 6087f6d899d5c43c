#include "media/picture_budget.h"

#include <gtest/gtest.h>

#include <utility>

namespace framepick {
namespace {

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
}  // namespace framepick
