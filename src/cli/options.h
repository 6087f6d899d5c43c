#pragma once

// The option values and how the argument list is read into them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace framepick {

inline constexpr std::string_view kUsageLine =
    "usage: --input <mov> --output-dir <dir> [--max-frames 7] [--max-dimension 1600]";

// Whether a run may go on where the kernel cannot confine it.
enum class ConfinementLevel { kBestEffort, kRequired };

struct Options {
  std::string inputPath;
  std::string outputDir;
  int64_t maxFrames;
  int64_t maximumDimension;
  ConfinementLevel confinement;
};

// The argument after the first argument equal to `name` (position 0, the program path, included),
// or `fallback` when there is none.
std::string argumentValue(const std::vector<std::string>& arguments, std::string_view name,
                          std::string_view fallback = "");

// An optional sign and ASCII digits only, within the signed 64-bit range.
std::optional<int64_t> parseDecimalInteger(std::string_view text);

// Never fails: malformed integers take their defaults and are clamped. Any --confinement value
// but "best-effort" requires confinement: a misspelt demand must not run unconfined.
Options readOptions(const std::vector<std::string>& arguments);

}  // namespace framepick
