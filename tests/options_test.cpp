#include "cli/options.h"

#include <gtest/gtest.h>

namespace framepick {
namespace {

using Arguments = std::vector<std::string>;

TEST(ArgumentValue, TakesTheArgumentAfterTheFirstExactMatch) {
  const std::pair<Arguments, std::string> cases[] = {
      {{"--input", "a.mov"}, "a.mov"},  // the program path takes part in the search
      {{"fp", "--input", "a.mov", "--input", "b.mov"}, "a.mov"},
      {{"fp", "--input", "--output-dir", "d"}, "--output-dir"},
      {{"fp", "--input", "", "x"}, ""},
      {{"fp", "x", "--input"}, "fallback"},
      {{"fp", "--output-dir", "d"}, "fallback"},
      {{"fp", "--input=a.mov"}, "fallback"},
      {{"fp", "--INPUT", "a.mov"}, "fallback"},
  };
  for (const auto& [arguments, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    EXPECT_EQ(argumentValue(arguments, "--input", "fallback"), expected);
  }
}

TEST(ParseDecimalInteger, AcceptsOnlyASignAndAsciiDigitsInRange) {
  const std::pair<std::string, int64_t> valid[] = {{"+5", 5},
                                                   {"05", 5},
                                                   {"-5", -5},
                                                   {"0", 0},
                                                   {"-0", 0},
                                                   {"13", 13},
                                                   {"9223372036854775807", INT64_MAX},
                                                   {"-9223372036854775808", INT64_MIN}};
  for (const auto& [text, value] : valid) EXPECT_EQ(parseDecimalInteger(text), value) << text;
  // The last two are ARABIC-INDIC DIGIT FIVE and FULLWIDTH DIGIT FIVE.
  const std::string invalid[] = {"9223372036854775808",
                                 "-9223372036854775809",
                                 "5.0",
                                 " 5",
                                 "5 ",
                                 "five",
                                 "0x10",
                                 "1_000",
                                 "+",
                                 "-",
                                 "+-5",
                                 "",
                                 std::string("5\0", 2),
                                 "\xD9\xA5",
                                 "\xEF\xBC\x95"};
  for (const std::string& text : invalid) {
    EXPECT_EQ(parseDecimalInteger(text), std::nullopt) << text;
  }
}

TEST(ReadOptions, IntegersFallBackToDefaultsAndAreClamped) {
  struct Case {
    Arguments extra;
    int64_t maxFramesInput, maxFrames, maximumDimension;
  };
  const Case cases[] = {
      {{}, 7, 7, 1600},
      {{"--max-frames", "0", "--max-dimension", "100"}, 0, 1, 320},
      {{"--max-frames", "-5", "--max-dimension", "5000"}, -5, 1, 2400},
      {{"--max-frames", "13", "--max-dimension", "320"}, 13, 12, 320},
      {{"--max-frames", "12", "--max-dimension", "2400"}, 12, 12, 2400},
      {{"--max-frames", "1", "--max-dimension", "-1"}, 1, 1, 320},
      {{"--max-frames", "+5", "--max-dimension", "1e3"}, 5, 5, 1600},
      {{"--max-frames", "05", "--max-dimension", ""}, 5, 5, 1600},
      {{"--max-frames", "5.0", "--max-dimension"}, 7, 7, 1600},
      {{"--max-frames", "-9223372036854775808"}, INT64_MIN, 1, 1600},
      {{"--max-frames", "99999999999999999999"}, 7, 7, 1600},
      {{"--max-frames"}, 7, 7, 1600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.extra));
    Arguments arguments = {"fp", "--input", "a.mov", "--output-dir", "out"};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    const Options options = readOptions(arguments);
    EXPECT_EQ(options.maxFramesInput, c.maxFramesInput);
    EXPECT_EQ(options.maxFrames, c.maxFrames);
    EXPECT_EQ(options.maximumDimension, c.maximumDimension);
    EXPECT_EQ(options.inputPath, "a.mov");
    EXPECT_EQ(options.outputDir, "out");
  }
}

}  // namespace
}  // namespace framepick
