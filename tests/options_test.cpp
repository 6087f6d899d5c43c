#include "cli/options.h"

#include <gtest/gtest.h>

namespace framepick {
namespace {

using Arguments = std::vector<std::string>;

// The last two are ARABIC-INDIC DIGIT FIVE and FULLWIDTH DIGIT FIVE.
TEST(ParseDecimalInteger, RefusesAllButASignAndAsciiDigitsInRange) {
  for (const std::string text : {"9223372036854775808", "-9223372036854775809", "5.0", " 5", "5 ",
                                 "0x10", "+", "-", "+-5", "", "\xD9\xA5", "\xEF\xBC\x95"}) {
    EXPECT_EQ(parseDecimalInteger(text), std::nullopt) << text;
  }
  EXPECT_EQ(parseDecimalInteger(std::string("5\0", 2)), std::nullopt);
}

// The first exact match wins (the program path takes part in the search), and its value may look
// like an option; integers fall back to their defaults and are clamped.
TEST(ReadOptions, TakesTheFirstMatchAndClampsIntegers) {
  const std::tuple<Arguments, std::string, std::string, int64_t, int64_t> cases[] = {
      {{"fp"}, "", "", 7, 1600},
      {{"fp", "--input", "a.mov", "--input", "b.mov", "--output-dir", "--input"},
       "a.mov",
       "--input",
       7,
       1600},
      {{"--input", "--output-dir", "d"}, "--output-dir", "d", 7, 1600},
      {{"fp", "--INPUT", "a", "--input=b", "--input"}, "", "", 7, 1600},
      {{"fp", "--max-frames", "+05", "--max-dimension", "0800"}, "", "", 5, 800},
      {{"fp", "--max-frames", "-0", "--max-dimension", "319"}, "", "", 1, 320},
      {{"fp", "--max-frames", "13", "--max-dimension", "2401"}, "", "", 12, 2400},
      {{"fp", "--max-frames", "9223372036854775807", "--max-dimension", "1e3"}, "", "", 12, 1600},
      {{"fp", "--max-frames", "-9223372036854775808", "--max-dimension"}, "", "", 1, 1600},
      {{"fp", "--max-frames", "99999999999999999999"}, "", "", 7, 1600},
  };
  for (const auto& [arguments, input, output, maxFrames, maximumDimension] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const Options options = readOptions(arguments);
    EXPECT_EQ(options.inputPath, input);
    EXPECT_EQ(options.outputDir, output);
    EXPECT_EQ(options.maxFrames, maxFrames);
    EXPECT_EQ(options.maximumDimension, maximumDimension);
  }
}

}  // namespace
}  // namespace framepick
