#include "media/intra_refresh.h"

#include <gtest/gtest.h>

#include <vector>

#include "media/media.h"
#include "support/fixtures.h"

namespace framepick {
namespace {

TEST(IntraRefresh, AnAccessUnitWithANonIdrSliceStartsNoPicture) {
  const struct {
    std::vector<uint8_t> unit;
    int lengthBytes;
    bool nonIdr;
  } rows[] = {
      {{0, 0, 0, 2, 0x65, 0x88}, 4, false},                         // IDR slice
      {{0, 0, 0, 2, 0x06, 0x05, 0, 0, 0, 2, 0x41, 0x9a}, 4, true},  // SEI, then a P slice
      {{0, 2, 0x06, 0x05, 0, 2, 0x41, 0x9a}, 2, true},  // SEI, then a P slice; short lengths
      {{0, 0, 0, 2, 0x06, 0x05}, 4, false},             // no slice
      {{0, 0, 0, 9, 0x41, 0x9a}, 4, false},             // a length past the end
  };
  for (const auto& row : rows) {
    EXPECT_EQ(holdsNonIdrSlice(row.unit, row.lengthBytes), row.nonIdr) << row.unit.size();
  }
}

// Every keyframe after the first only starts a refresh: one pass from the start takes all samples.
TEST(IntraRefresh, SamplesOfARefreshedStreamAreTakenInOnePass) {
  const auto video = testing::fixtureVideo("intra-refresh.mp4",
                                           "-f lavfi -i testsrc2=s=320x180:r=30:d=10 -c:v libx264 "
                                           "-x264-params intra-refresh=1:keyint=50");
  const AssetHandle asset = openAsset(video);
  loadAsset(*asset);
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 400);
  EXPECT_TRUE(keyframeSeconds(*generator).empty());
  for (const double seconds : {1.0, 3.5, 6.2, 9.9}) {
    EXPECT_TRUE(copyImageAtTime(*generator, seconds).ok()) << seconds;
  }
  EXPECT_LE(decodeCounters(*generator).packetsRead, 300);
}

}  // namespace
}  // namespace framepick
