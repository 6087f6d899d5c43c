// The texts of FFmpeg's error codes, of running out of time, and of a time in seconds.

#include "media/failure_text.h"

#include <cerrno>
#include <cstdio>

#include "media/asset.h"

namespace framepick {

std::string errorText(int code) {
  if (code == AVERROR(ENOMEM)) return kOutOfMemoryText;
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

std::string outOfTimeText() {
  return "gave up: decoding took longer than the " + std::to_string(kCaptureBudget.count()) +
         " s a sample may take (" + std::to_string(kAllCapturesBudget.count()) +
         " s for all samples)";
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

}  // namespace framepick
