// The argument list read into the option values.

#include "cli/options.h"

#include <algorithm>
#include <charconv>

namespace framepick {
namespace {

constexpr int64_t kDefaultMaxFrames = 7;
constexpr int64_t kDefaultMaximumDimension = 1600;

int64_t integerOption(const std::vector<std::string>& arguments, std::string_view name,
                      int64_t defaultValue) {
  const std::string text = argumentValue(arguments, name, std::to_string(defaultValue));
  return parseDecimalInteger(text).value_or(defaultValue);
}

}  // namespace

std::string argumentValue(const std::vector<std::string>& arguments, std::string_view name,
                          std::string_view fallback) {
  const auto match = std::find(arguments.begin(), arguments.end(), name);
  if (match == arguments.end() || match + 1 == arguments.end()) return std::string(fallback);
  return *(match + 1);
}

std::optional<int64_t> parseDecimalInteger(std::string_view text) {
  std::string_view digits = text;
  const bool negative = !digits.empty() && digits.front() == '-';
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    digits.remove_prefix(1);
  }
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // from_chars takes a minus sign but not a plus, so parse the sign-free digits with the minus
  // glued back on; that also keeps INT64_MIN in range.
  const std::string_view signedDigits = negative ? text : digits;
  int64_t value = 0;
  const auto [end, error] =
      std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
  if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) {
    return std::nullopt;
  }
  return value;
}

Options readOptions(const std::vector<std::string>& arguments) {
  const int64_t maxFramesInput = integerOption(arguments, "--max-frames", kDefaultMaxFrames);
  return Options{
      .inputPath = argumentValue(arguments, "--input"),
      .outputDir = argumentValue(arguments, "--output-dir"),
      .maxFrames = std::clamp<int64_t>(maxFramesInput, 1, 12),
      .maximumDimension = std::clamp<int64_t>(
          integerOption(arguments, "--max-dimension", kDefaultMaximumDimension), 320, 2400),
      .confinement = argumentValue(arguments, "--confinement", "best-effort") == "best-effort"
                         ? ConfinementLevel::kBestEffort
                         : ConfinementLevel::kRequired,
  };
}

}  // namespace framepick
