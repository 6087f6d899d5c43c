#include "extract/output_dir.h"

#include <system_error>

namespace framepick {

std::optional<std::string> createOutputDirectory(const std::filesystem::path& outputUrl) {
  std::error_code error;
  std::filesystem::create_directories(outputUrl, error);
  if (!error && !std::filesystem::is_directory(outputUrl, error)) {
    // A regular file in the way is not always reported by create_directories itself.
    error = std::make_error_code(std::errc::file_exists);
  }
  if (!error) return std::nullopt;
  return "output_directory_unavailable: " + error.message();
}

}  // namespace framepick
