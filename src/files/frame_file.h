#pragma once

// A still's file: its name, and its JPEG bytes written into the output directory.

#include <cstdint>
#include <filesystem>
#include <string>

#include "error.h"
#include "files/image.h"

namespace framepick {

// "frame-" and the sample index in at least three digits, then ".jpg".
std::string frameFileName(int64_t index);

// Encodes the image and writes it into the output directory. Returns the bare file name, or the
// reason the sample failed: "jpeg_encode_failed" or the system's description of the write error.
Result<std::string> writeFrameFile(const Image& image, int64_t index,
                                   const std::filesystem::path& outputURL);

}  // namespace framepick
