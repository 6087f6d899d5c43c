#pragma once

// The texts the media layer's failures are told in.

#include <string>

namespace framepick {

inline constexpr const char* kOutOfMemoryText = "memory ran out";

// av_strerror's text for an FFmpeg error code, but for exhausted memory, which it names plainly.
std::string errorText(int code);

// Why a capture that ran out of its time budget failed.
std::string outOfTimeText();

// "1.234 s"
std::string secondsText(double seconds);

}  // namespace framepick
