// Paths as the report names them.

#include "files/paths.h"

#include <system_error>

namespace framepick {

std::filesystem::path absolutePath(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? std::filesystem::path(path) : absolute;
}

std::string lastPathComponent(std::string_view path) {
  const size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return path.empty() ? "" : "/";
  const size_t separator = path.rfind('/', end);
  const size_t begin = separator == std::string_view::npos ? 0 : separator + 1;
  return std::string(path.substr(begin, end + 1 - begin));
}

}  // namespace framepick
