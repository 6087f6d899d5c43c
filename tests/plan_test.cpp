#include "extract/plan.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace framepick {
namespace {

using Times = std::vector<double>;

// Every value below is the exact double that the report prints, so compare bit for bit.
TEST(RequestedTime, WorkedExamples) {
  const std::tuple<double, int64_t, Times> cases[] = {
      {10.0, 4, {1.2, 3.7333333333333334, 6.2666666666666675, 8.8}},
      {60.0, 2, {7.199999999999999, 52.8}},
      {10.0, 1, {5.0}},
      {1.0,
       12,
       {0.12, 0.1890909090909091, 0.2581818181818182, 0.32727272727272727, 0.39636363636363636,
        0.46545454545454545, 0.5345454545454547, 0.6036363636363636, 0.6727272727272727,
        0.7418181818181818, 0.8109090909090909, 0.8799999999999999}},
      {0.05, 3, {0.02, 0.025, 0.030000000000000002}},
      // Below 0.04 s the start limit wins, even past the end of the video.
      {0.01, 3, {0.02, 0.02, 0.02}},
  };
  for (const auto& [durationSeconds, count, expected] : cases) {
    Times times;
    for (double fraction : sampleFractions(count)) {
      times.push_back(requestedTime(fraction, durationSeconds));
    }
    EXPECT_EQ(times, expected) << durationSeconds << " s, " << count;
  }
}

}  // namespace
}  // namespace framepick
