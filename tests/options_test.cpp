#include "cli/options.h"

#include <gtest/gtest.h>

namespace framepick {
namespace {

using Arguments = std::vector<std::string>;

// The program path takes part in the search, and the value may look like an option.
TEST(ArgumentValue, TakesTheArgumentAfterTheFirstExactMatch) {
  EXPECT_EQ(argumentValue({"fp", "--input", "a.mov", "--input", "b.mov"}, "--input"), "a.mov");
  EXPECT_EQ(argumentValue({"--input", "--output-dir", "d"}, "--input"), "--output-dir");
  EXPECT_EQ(argumentValue({"fp", "--INPUT", "a", "--input=b", "--input"}, "--input", "-"), "-");
}

// The last two are ARABIC-INDIC DIGIT FIVE and FULLWIDTH DIGIT FIVE.
TEST(ParseDecimalInteger, RefusesAllButASignAndAsciiDigitsInRange) {
  for (const std::string text : {"9223372036854775808", "-9223372036854775809", "5.0", " 5", "5 ",
                                 "0x10", "+", "-", "+-5", "", "\xD9\xA5", "\xEF\xBC\x95"}) {
    EXPECT_EQ(parseDecimalInteger(text), std::nullopt) << text;
  }
  EXPECT_EQ(parseDecimalInteger(std::string("5\0", 2)), std::nullopt);
}

TEST(ReadOptions, IntegersFallBackToDefaultsAndAreClamped) {
  const std::tuple<Arguments, int64_t, int64_t> cases[] = {
      {{"fp"}, 7, 1600},
      {{"fp", "--max-frames", "+05", "--max-dimension", "0800"}, 5, 800},
      {{"fp", "--max-frames", "-0", "--max-dimension", "319"}, 1, 320},
      {{"fp", "--max-frames", "13", "--max-dimension", "2401"}, 12, 2400},
      {{"fp", "--max-frames", "9223372036854775807", "--max-dimension", "1e3"}, 12, 1600},
      {{"fp", "--max-frames", "-9223372036854775808", "--max-dimension"}, 1, 1600},
      {{"fp", "--max-frames", "99999999999999999999"}, 7, 1600},
  };
  for (const auto& [arguments, maxFrames, maximumDimension] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    EXPECT_EQ(readOptions(arguments).maxFrames, maxFrames);
    EXPECT_EQ(readOptions(arguments).maximumDimension, maximumDimension);
  }
}

}  // namespace
}  // namespace framepick
