#include "extract/jpeg.h"

#include <turbojpeg.h>

#include <limits>
#include <memory>

namespace framepick {
namespace {

struct TurboJpegDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using UniqueTurboJpeg = std::unique_ptr<void, TurboJpegDeleter>;

struct TurboJpegBufferDeleter {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};
using UniqueTurboJpegBuffer = std::unique_ptr<unsigned char, TurboJpegBufferDeleter>;

}  // namespace

std::optional<std::vector<uint8_t>> encodeJpeg(const Image& image) {
  constexpr int64_t kMaxSide = std::numeric_limits<int>::max() / 3;
  if (image.width <= 0 || image.height <= 0 || image.width > kMaxSide ||
      image.height > kMaxSide ||
      image.rgb.size() != static_cast<size_t>(image.width * image.height * 3)) {
    return std::nullopt;
  }
  const UniqueTurboJpeg compressor(tjInitCompress());
  if (!compressor) return std::nullopt;
  unsigned char* output = nullptr;
  unsigned long outputSize = 0;
  const int status = tjCompress2(compressor.get(), image.rgb.data(), static_cast<int>(image.width),
                                 static_cast<int>(image.width * 3), static_cast<int>(image.height),
                                 TJPF_RGB, &output, &outputSize, TJSAMP_420, kJpegQuality,
                                 TJFLAG_ACCURATEDCT);
  const UniqueTurboJpegBuffer outputOwner(output);
  if (status != 0 || output == nullptr) return std::nullopt;
  return std::vector<uint8_t>(output, output + outputSize);
}

}  // namespace framepick
