// Pictures laid out the awkward ways real files have them still give sensible upright stills.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/fixtures.h"

namespace framepick::testing {
namespace {

// Each interlaced frame weaves a field with a white box on the left (taken first by the source)
// and one with it on the right. The still shows the field the flags say comes first, whole:
// every line of its box white, none of the other field's box.
TEST(InterlacedFrames, StillsShowTheFirstFieldWithoutCombing) {
  for (const bool topFirst : {true, false}) {
    SCOPED_TRACE(topFirst ? "top first" : "bottom first");
    const std::string name = topFirst ? "top-first" : "bottom-first";
    const std::string arguments =
        "-f lavfi -i nullsrc=s=320x120:r=50:d=1,format=yuv420p,geq=cb=128:cr=128:lum='if("
        "between(Y,30,89)*between(X-160*mod(N,2),40,119),235,16)',tinterlace=mode=merge,setsar=1,"
        "setfield=" +
        std::string(topFirst ? "tff" : "bff") +
        " -c:v libx264 -preset ultrafast -flags +ildct+ilme";
    // FFmpeg 5.1's libx264 takes the field order from -top alone; from 7 on it takes the frames'
    // (setfield), and 9 refuses -top.
    std::filesystem::path video;
    try {
      video = fixtureVideo(name + "-top.mp4", arguments + (topFirst ? " -top 1" : " -top 0"));
    } catch (const std::runtime_error&) {
      video = fixtureVideo(name + ".mp4", arguments);
    }
    const auto stills = captureStills(video, {"--max-frames", "1"}).images;
    ASSERT_EQ(stills.size(), 1u);
    ASSERT_EQ(sizeOf(stills[0]), "320x240");
    for (int y = 70; y < 170; ++y) {  // green, in the middle of either box
      EXPECT_GT(stills[0].rgb[(y * 320 + (topFirst ? 80 : 240)) * 3 + 1], 200) << y;
      EXPECT_LT(stills[0].rgb[(y * 320 + (topFirst ? 240 : 80)) * 3 + 1], 55) << y;
    }
  }
}

// One second of 640x360 and then one of 320x240 in the same stream: each still has its own
// frame's size, with the picture where it belongs.
TEST(SizeChanges, EachStillHasItsOwnFramesSize) {
  const auto part = [](int width, int height, const char* start) {
    return numberedClip("size-" + std::to_string(width) + ".ts", width, height, 30, 1,
                        std::string("-vf setsar=1 -c:v libx264 -preset ultrafast -bf 0 "
                                    "-output_ts_offset ") +
                            start)
        .string();
  };
  const std::string parts = "concat:" + part(640, 360, "0") + "|" + part(320, 240, "1");
  const auto stills = captureStills(fixtureVideo("size-change.ts", "-i " + parts + " -c copy"),
                                    {"--max-frames", "4"})
                          .images;
  ASSERT_EQ(stills.size(), 4u);
  // Samples at 0.24, 0.75, 1.25 and 1.76 s; the second part numbers its frames from 0 again.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(sizeOf(stills[i]), i < 2 ? "640x360" : "320x240");
    EXPECT_EQ(readFrameNumber(stills[i]), i % 2 ? 22 : 7) << i;
  }
}

}  // namespace
}  // namespace framepick::testing
