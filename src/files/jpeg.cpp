// JPEG encoding, the only libjpeg-turbo user.

#include "files/jpeg.h"

#include <turbojpeg.h>

#include <limits>
#include <memory>

namespace framepick {
namespace {

struct TurboJpegDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using UniqueTurboJpeg = std::unique_ptr<void, TurboJpegDeleter>;

const Error kEncodeFailed{"jpeg_encode_failed"};

}  // namespace

Result<std::vector<uint8_t>> encodeJpeg(const Image& image) {
  constexpr int64_t kMaxSide = std::numeric_limits<int>::max() / 3;
  if (image.width <= 0 || image.height <= 0 || image.width > kMaxSide || image.height > kMaxSide ||
      image.rgb.size() != static_cast<size_t>(image.width * image.height * 3)) {
    return kEncodeFailed;
  }
  const int width = static_cast<int>(image.width);
  const int height = static_cast<int>(image.height);
  // The worst case up front, from our own allocator: running out of memory then shows as
  // std::bad_alloc, which the caller reports as such, not as a failure to encode. Left
  // uninitialised, only the pages the encoder writes become resident.
  unsigned long outputSize = tjBufSize(width, height, TJSAMP_420);
  const std::unique_ptr<unsigned char[]> output(new unsigned char[outputSize]);
  const UniqueTurboJpeg compressor(tjInitCompress());
  if (!compressor) return kEncodeFailed;
  unsigned char* destination = output.get();
  const int status = tjCompress2(compressor.get(), image.rgb.data(), width, width * 3, height,
                                 TJPF_RGB, &destination, &outputSize, TJSAMP_420, kJpegQuality,
                                 TJFLAG_ACCURATEDCT | TJFLAG_NOREALLOC);
  if (status != 0) return kEncodeFailed;
  return std::vector<uint8_t>(output.get(), output.get() + outputSize);
}

}  // namespace framepick
