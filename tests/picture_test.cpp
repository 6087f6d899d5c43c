// Pictures laid out the awkward ways real files have them still give sensible upright stills.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/fixtures.h"
#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

using nlohmann::json;

struct Stills {
  json report;
  std::vector<DecodedImage> images;
};

Stills capture(const std::filesystem::path& video, int maxFrames) {
  ScratchDirectory output;
  const ProcessResult result =
      runFramepick({"--input", video.string(), "--output-dir", output.path().string(),
                    "--max-frames", std::to_string(maxFrames)});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(result.err, "");
  Stills stills{json::parse(result.out), {}};
  for (const json& frame : stills.report["frames"]) {
    stills.images.push_back(decodeJpegFile(output.path() / frame["fileName"].get<std::string>()));
  }
  return stills;
}

uint8_t greenAt(const DecodedImage& image, int x, int y) {
  return image.rgb[(static_cast<size_t>(y) * image.width + x) * 3 + 1];
}

// Each interlaced frame weaves a field with a white box on the left (taken first by the source)
// and one with it on the right. The still shows the field the flags say comes first, whole:
// every line of its box white, none of the other field's box.
TEST(InterlacedFrames, StillsShowTheFirstFieldWithoutCombing) {
  const std::string fields =
      "color=c=black:s=320x120:r=50:d=1,format=yuv420p,"
      "drawbox=x=40:y=30:w=80:h=60:color=white:t=fill:enable='eq(mod(n,2),0)',"
      "drawbox=x=200:y=30:w=80:h=60:color=white:t=fill:enable='eq(mod(n,2),1)',"
      "tinterlace=mode=merge,setsar=1";
  const struct {
    std::string name;
    std::string topFieldFirst;
    int shownBoxX;
    int hiddenBoxX;
  } cases[] = {{"top-first.mp4", "1", 80, 240}, {"bottom-first.mp4", "0", 240, 80}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path video =
        fixtureVideo(c.name, {"-f", "lavfi", "-i", fields, "-c:v", "libx264", "-preset",
                              "ultrafast", "-flags", "+ildct+ilme", "-top", c.topFieldFirst});
    const Stills stills = capture(video, 1);
    ASSERT_EQ(stills.images.size(), 1u);
    const DecodedImage& still = stills.images[0];
    ASSERT_EQ(still.width, 320);
    ASSERT_EQ(still.height, 240);
    for (int y = 70; y < 170; ++y) {
      SCOPED_TRACE(y);
      EXPECT_GT(greenAt(still, c.shownBoxX, y), 200);
      EXPECT_LT(greenAt(still, c.hiddenBoxX, y), 55);
    }
  }
}

// One second of 640x360 and then one of 320x240 in the same stream: each still has its own
// frame's size, with the picture where it belongs.
TEST(SizeChanges, EachStillHasItsOwnFramesSize) {
  const std::filesystem::path wide =
      fixtureVideo("size-wide.ts", {"-f", "lavfi", "-i", numberedFramesSource(640, 360, 30, 1),
                                    "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0"});
  const std::filesystem::path narrow = fixtureVideo(
      "size-narrow.ts",
      {"-f", "lavfi", "-i", numberedFramesSource(320, 240, 30, 1) + ",setsar=1", "-c:v", "libx264",
       "-preset", "ultrafast", "-bf", "0", "-output_ts_offset", "1"});
  const std::filesystem::path video = fixtureVideo(
      "size-change.ts", {"-i", "concat:" + wide.string() + "|" + narrow.string(), "-c", "copy"});
  const Stills stills = capture(video, 4);
  ASSERT_EQ(stills.images.size(), 4u) << stills.report.dump();
  // Samples at 0.24, 0.75, 1.25 and 1.76 s; the second part numbers its frames from 0 again.
  const struct {
    int width;
    int height;
    int frame;
  } expected[] = {{640, 360, 7}, {640, 360, 22}, {320, 240, 7}, {320, 240, 22}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(stills.report["frames"][i].dump());
    const DecodedImage& still = stills.images[i];
    EXPECT_EQ(stills.report["frames"][i]["width"], expected[i].width);
    EXPECT_EQ(stills.report["frames"][i]["height"], expected[i].height);
    EXPECT_EQ(still.width, expected[i].width);
    EXPECT_EQ(still.height, expected[i].height);
    EXPECT_EQ(readFrameNumber(still, upright(still)), expected[i].frame);
  }
}

}  // namespace
}  // namespace framepick::testing
