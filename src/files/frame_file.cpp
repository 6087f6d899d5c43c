// A still's file: its name, and its JPEG bytes written into the output directory.

#include "files/frame_file.h"

#include <cstdio>
#include <vector>

#include "files/atomic_file.h"
#include "files/jpeg.h"

namespace framepick {

std::string frameFileName(int64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "frame-%03lld.jpg", static_cast<long long>(index));
  return name;
}

Result<std::string> writeFrameFile(const Image& image, int64_t index,
                                   const std::filesystem::path& outputURL) {
  const Result<std::vector<uint8_t>> jpeg = encodeJpeg(image);
  if (!jpeg.ok()) return jpeg.error();
  std::string fileName = frameFileName(index);
  const Result<> written = writeFileAtomically(outputURL / fileName, jpeg.value());
  if (!written.ok()) return written.error();
  return fileName;
}

}  // namespace framepick
