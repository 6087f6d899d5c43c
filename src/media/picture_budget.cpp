// Decoded pictures drawn from one budget of memory.

#include "media/picture_budget.h"

#include <algorithm>
#include <memory>
#include <new>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace framepick {
namespace {

// A pooled picture buffer wrapped so that its bytes return to the budget with its last reference.
struct BudgetedBuffer {
  PicturePool* pool;
  AVBufferRef* pooled;
  int64_t bytes;
};

void releaseBudgetedBuffer(void* opaque, uint8_t*) {
  auto* buffer = static_cast<BudgetedBuffer*>(opaque);
  buffer->pool->bytesInUse -= buffer->bytes;
  av_buffer_unref(&buffer->pooled);
  delete buffer;
}

// The decoder's get_buffer2: FFmpeg's own allocation, counted against the budget.
int getBudgetedBuffer(AVCodecContext* decoder, AVFrame* frame, int flags) {
  PictureBudget& budget = *static_cast<PictureBudget*>(decoder->opaque);
  // Refused before allocating: FFmpeg's pool would keep a refused picture's zeroed memory.
  const int64_t estimate = av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format),
                                                    frame->width, frame->height, 1);
  PicturePool& pool = *budget.pool;
  if (pool.bytesInUse + std::max<int64_t>(estimate, 0) > kPictureBudgetBytes) {
    budget.exceeded = true;
    return AVERROR(ENOMEM);
  }
  const int status = avcodec_default_get_buffer2(decoder, frame, flags);
  if (status == AVERROR(ENOMEM)) budget.allocationFailed = true;
  if (status < 0) return status;
  int64_t bytes = 0;
  for (const AVBufferRef* buffer : frame->buf) bytes += buffer ? buffer->size : 0;
  for (int i = 0; i < frame->nb_extended_buf; ++i) bytes += frame->extended_buf[i]->size;
  pool.bytesInUse += bytes;
  std::unique_ptr<BudgetedBuffer> tracker(new (std::nothrow)
                                              BudgetedBuffer{&pool, frame->buf[0], bytes});
  AVBufferRef* wrapped = tracker ? av_buffer_create(frame->buf[0]->data, frame->buf[0]->size,
                                                    releaseBudgetedBuffer, tracker.get(), 0)
                                 : nullptr;
  if (wrapped == nullptr) {
    budget.allocationFailed = true;
    pool.bytesInUse -= bytes;
    av_frame_unref(frame);
    return AVERROR(ENOMEM);
  }
  tracker.release();
  frame->buf[0] = wrapped;
  return kAvSuccess;
}

}  // namespace

int decodersWithinBudget(int64_t pictureBytes) {
  constexpr int64_t kPicturesPerDecoder = 18;
  if (pictureBytes <= 0) return 1;
  return static_cast<int>(
      std::clamp<int64_t>(kPictureBudgetBytes / (pictureBytes * kPicturesPerDecoder), 1, 64));
}

void drawPicturesFrom(PictureBudget& budget, AVCodecContext& decoder) {
  decoder.opaque = &budget;
  decoder.get_buffer2 = getBudgetedBuffer;
}

}  // namespace framepick
