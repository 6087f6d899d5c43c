// Making the output directory.

#include "files/output_dir.h"

#include <system_error>

namespace framepick {

Result<> createOutputDirectory(const std::filesystem::path& outputURL) {
  std::error_code error;
  std::filesystem::create_directories(outputURL, error);
  if (!error && !std::filesystem::is_directory(outputURL, error)) {
    // A regular file in the way is not always reported by create_directories itself.
    error = std::make_error_code(std::errc::file_exists);
  }
  if (!error) return {};
  return Error{"output_directory_unavailable: " + error.message()};
}

}  // namespace framepick
