#include "extract/plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace framepick {
namespace {

// Every value below is the exact double that the report prints, so compare bit for bit.
TEST(SampleFractions, FixedRows) {
  const std::pair<int64_t, std::vector<double>> rows[] = {
      {1, {0.5}},
      {2, {0.12, 0.88}},
      {3, {0.12, 0.5, 0.88}},
      {4, {0.12, 0.37333333333333335, 0.6266666666666667, 0.8800000000000001}},
      {7,
       {0.12, 0.24666666666666667, 0.37333333333333335, 0.5, 0.6266666666666667, 0.7533333333333333,
        0.8800000000000001}},
  };
  for (const auto& [count, expected] : rows) {
    SCOPED_TRACE(count);
    EXPECT_EQ(sampleFractions(count), expected);
  }
  const std::vector<double> twelve = sampleFractions(12);
  ASSERT_EQ(twelve.size(), 12u);
  EXPECT_EQ(twelve[0], 0.12);
  EXPECT_EQ(twelve[1], 0.1890909090909091);
  EXPECT_EQ(twelve[10], 0.8109090909090909);
  EXPECT_EQ(twelve[11], 0.8799999999999999);
}

TEST(SampleFractions, StrictlyAscendingForEveryCount) {
  for (int64_t count = 2; count <= 12; ++count) {
    SCOPED_TRACE(count);
    const std::vector<double> fractions = sampleFractions(count);
    ASSERT_EQ(fractions.size(), static_cast<size_t>(count));
    for (size_t i = 1; i < fractions.size(); ++i) EXPECT_LT(fractions[i - 1], fractions[i]);
  }
}

TEST(RequestedTime, WorkedExamples) {
  struct Case {
    double durationSeconds;
    int64_t count;
    std::vector<double> expected;
  };
  const Case cases[] = {
      {10.0,
       7,
       {1.2, 2.466666666666667, 3.7333333333333334, 5.0, 6.2666666666666675, 7.533333333333333,
        8.8}},
      {10.0, 1, {5.0}},
      {60.0, 2, {7.199999999999999, 52.8}},
      {0.05,
       7,
       {0.02, 0.02, 0.02, 0.025, 0.030000000000000002, 0.030000000000000002, 0.030000000000000002}},
      // Below 0.04 s the start limit wins, even past the end of the video.
      {0.03, 7, std::vector<double>(7, 0.02)},
      {0.01, 7, std::vector<double>(7, 0.02)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.durationSeconds) + " s, " + std::to_string(c.count));
    std::vector<double> times;
    for (double fraction : sampleFractions(c.count)) {
      times.push_back(requestedTime(fraction, c.durationSeconds));
    }
    EXPECT_EQ(times, c.expected);
  }
}

}  // namespace
}  // namespace framepick
