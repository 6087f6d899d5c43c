#include "extract/frame_file.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "extract/atomic_file.h"
#include "extract/jpeg.h"

namespace framepick {

std::string frameFileName(int64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "frame-%03lld.jpg", static_cast<long long>(index));
  return name;
}

Result<std::string> writeFrameFile(const Image& image, int64_t index,
                                   const std::filesystem::path& outputUrl) {
  const std::optional<std::vector<uint8_t>> jpeg = encodeJpeg(image);
  if (!jpeg) return Failure{"jpeg_encode_failed"};
  std::string fileName = frameFileName(index);
  if (auto error = writeFileAtomically(outputUrl / fileName, *jpeg)) return Failure{*error};
  return fileName;
}

}  // namespace framepick
