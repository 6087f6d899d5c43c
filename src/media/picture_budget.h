#pragma once

// Decoded pictures drawn from one budget of memory.

#include <atomic>
#include <cstdint>

#include "media/handles.h"

namespace framepick {

// Note [picture budget]: decoders take their pictures from one budget, which refuses once the
// pictures alive in all of them together would pass this many bytes. A decoder keeps up to 16
// reference pictures plus one per thread in flight, and at 8K in 4:4:4 with 16 bits a picture is
// 214 MB: without a budget a small file claiming that costs gigabytes.
inline constexpr int64_t kPictureBudgetBytes = 1LL << 30;

// The bytes of the decoded pictures still referenced, shared by every decoder of a run and their
// threads.
struct PicturePool {
  std::atomic<int64_t> bytesInUse = 0;
};

// One decoder's account with the pool: what went wrong is told to this decoder alone.
struct PictureBudget {
  PicturePool* pool;
  std::atomic<bool> exceeded = false;
  // A decoder that cannot get a picture may go on without it, ending early or with damaged
  // frames: this tells the real cause.
  std::atomic<bool> allocationFailed = false;
};

// How many decoders the budget holds at once when each keeps 18 pictures of this many bytes
// (16 references, the one being made and the one shown): at least one, whose pictures then may not
// all fit, and at most 64. One when the size is unknown (not above zero).
int decodersWithinBudget(int64_t pictureBytes);

// Makes the decoder take its pictures through the budget, which (with its pool) must outlive the
// decoder and every frame it made.
void drawPicturesFrom(PictureBudget& budget, AVCodecContext& decoder);

}  // namespace framepick
