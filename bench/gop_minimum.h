#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace framepick::bench {

// The fewest frames any decoder must decode to show the frames on screen at the given times:
// for each, the frames in decode order from the keyframe before it up to it, shared ranges
// counted once. Read from the packets' keyframe flags in a demux-only pass.
int64_t gopForcedFrames(const std::filesystem::path& video, const std::vector<double>& seconds);

}  // namespace framepick::bench
