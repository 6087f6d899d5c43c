#pragma once

#include <atomic>
#include <cstdint>

#include "media/handles.h"

namespace framepick {

// Note [picture budget]: the decoder takes its pictures from the budget, which refuses once the
// pictures alive would pass this many bytes. A decoder keeps up to 16 reference pictures plus
// one per thread in flight, and at 8K in 4:4:4 with 16 bits a picture is 214 MB: without a
// budget a small file claiming that costs gigabytes.
inline constexpr int64_t kPictureBudgetBytes = 1LL << 30;

// Shared by the decoder's threads: the bytes of the decoded pictures that are still referenced.
struct PictureBudget {
  std::atomic<int64_t> bytesInUse = 0;
  std::atomic<bool> exceeded = false;
  // A decoder that cannot get a picture may go on without it, ending early or with damaged
  // frames: this tells the real cause.
  std::atomic<bool> allocationFailed = false;
};

// Makes the decoder take its pictures through the budget, which must outlive the decoder and
// every frame it made.
void drawPicturesFrom(PictureBudget& budget, AVCodecContext& decoder);

}  // namespace framepick
